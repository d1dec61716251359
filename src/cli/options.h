#pragma once
#include <cstddef>

enum task_kind {
    TASK_NONE,
    TASK_EXECUTE,
    TASK_FORMAT,
    TASK_INITIALIZE,
    TASK_LIST,
    TASK_STATUS,
    TASK_RESET,
    TASK_COPY,
    TASK_UPDATE,
    TASK_VALIDATE,
};

// What the command line asks for. The texts point into the argument list; the
// command text is case-swapped there in place.
struct settings {
    task_kind task = TASK_NONE;
    int drive = 8;
    int timeout = 0;  // seconds; 0 while no -t has been seen
    bool escape = false;
    char* command_text = nullptr;
    const char* output_file = nullptr;
    const char* boot_port = nullptr;
    const char* port_name = nullptr;
    const char* program_name = "orvelan";
};

enum scan_result {
    SCAN_RUN,      // a task and the port are known
    SCAN_HELP,     // incomplete command line: show the help screen
    SCAN_INVALID,  // a message went to standard error already
};

// The longest -c text whose command line still has its echo checked.
inline constexpr std::size_t COMMAND_TEXT_MAX = 245;

scan_result scan_command_line(int argc, char** argv, settings* out);

// Swaps the case of ASCII letters in place, up to `length` bytes or the first NUL.
void swap_case(char* text, std::size_t length);

// Reads a number as "%d" does: leading white space and a sign, then digits up
// to the first non-digit. False when no digit follows. Values beyond the range
// of long are clamped, so that a huge number is refused rather than wrapped.
bool read_decimal(const char* text, long* value);
