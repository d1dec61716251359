#pragma once
#include <cstdint>

// What the host and the adapter say to each other. The adapter shows a prompt
// when it is ready, echoes each command line (answering its CR with CR LF),
// then replies with two letters: "OK" or a status code.

inline constexpr char PROMPT[] = "\r\n> ";
inline constexpr std::uint32_t PROMPT_LENGTH = 4;
inline constexpr char LINE_TERMINATOR[] = "\r\n";
inline constexpr char REPLY_OK[] = "OK";

// Command line formats; "%x" takes the drive number, the last "%s" the line
// terminator. The host sends each line without its final LF.
inline constexpr char FORMAT_DRIVE_COMMAND[] = "%s 0x%x%s";  // verb, drive, terminator
inline constexpr char FORMAT_EXECUTE_VERB[] = "dc \"%s\"";    // the user's text
inline constexpr char VERB_FORMAT[] = "ff";
inline constexpr char VERB_INITIALIZE[] = "di";
inline constexpr char VERB_RESET[] = "rs";
inline constexpr char VERB_VALIDATE[] = "dc \"V0\"";
inline constexpr char FORMAT_STATUS_COMMAND[] = "de 0x%x%s";
inline constexpr char FORMAT_DIRECTORY_COMMAND[] = "dd \"$\" 0x%x%s";
inline constexpr char FORMAT_COPY_COMMAND[] = "ws 35 0x%x%s";
inline constexpr char FORMAT_BOOTLOADER_COMMAND[] = "j%s";  // no echo, no reply

// Default idle timeouts in seconds, used when -t is absent.
inline constexpr int TIMEOUT_EXECUTE = 180;
inline constexpr int TIMEOUT_FORMAT = 25;
inline constexpr int TIMEOUT_INITIALIZE = 2;
inline constexpr int TIMEOUT_LIST = 20;
inline constexpr int TIMEOUT_STATUS = 2;
inline constexpr int TIMEOUT_RESET = 1;
inline constexpr int TIMEOUT_COPY = 45;
inline constexpr int TIMEOUT_UPDATE = 5;
inline constexpr int TIMEOUT_VALIDATE = 180;

// The idle budget is a signed 32-bit count of milliseconds: seconds times 1000
// must fit.
inline constexpr int TIMEOUT_MAX_SECONDS = 2147483;

// Every read or write call waits at most this long.
inline constexpr std::uint32_t CALL_TIMEOUT_MS = 1;

inline constexpr int DRIVE_MIN = 8;
inline constexpr int DRIVE_MAX = 11;
inline constexpr int DRIVE_DEFAULT = 8;
