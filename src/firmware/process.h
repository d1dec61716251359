#pragma once
#include <cstdint>

// The platform's process and file calls the firmware update needs, in one
// place. None of them prints anything.

// The files the update needs in the current directory, looked for in this
// order; the first is the programmer, run from there.
#ifdef _WIN32
inline constexpr const char* UPDATE_COMPONENTS[] = {"avrdude.exe", "avrdude.conf", "libusb0.dll"};
inline constexpr char PROGRAMMER_PATH[] = "avrdude.exe";
#else
// The USB library is found by the system's loader.
inline constexpr const char* UPDATE_COMPONENTS[] = {"avrdude", "avrdude.conf"};
inline constexpr char PROGRAMMER_PATH[] = "./avrdude";
#endif

// True when `name` exists (any kind of file).
bool file_exists(const char* name);

// Removes `name`; true on success.
bool delete_file(const char* name);

// Waits whole seconds, resuming after interruptions.
void sleep_seconds(unsigned seconds);

// Starts `program` (a path; no search of PATH) with the argument list `argv`,
// argv[0] first and a null pointer last, without any command interpreter, so
// no argument is ever parsed as shell syntax; waits for it to end. Standard
// input, output and error are the tool's own. Returns the program's exit
// status, or -1 when it could not be started or did not exit normally.
int run_program(const char* program, const char* const* argv);

// Joins `argv` into one Windows command line that the C runtime's argument
// parser splits back into exactly those arguments: an argument holding white
// space or quotes, or an empty one, is quoted, with backslashes doubled before
// a quote. False, with `out` emptied, when the result would not fit in
// `capacity` bytes with its NUL. Pure text work, so it is built everywhere.
bool compose_command_line(const char* const* argv, char* out, std::uint32_t capacity);
