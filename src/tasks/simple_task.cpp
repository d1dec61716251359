#include <cstdio>

#include "link/protocol.h"
#include "tasks/frame.h"

int run_simple_task(serial_port* port, int drive, const char* label, const char* verb,
                    std::int32_t budget) {
    // The longest line whose echo still fits the reply buffer, and its NUL.
    char line[REPLY_BUFFER_SIZE + 1];
    const int length = std::snprintf(line, sizeof line, FORMAT_DRIVE_COMMAND, verb,
                                     static_cast<unsigned>(drive), LINE_TERMINATOR);
    // A line whose echo could not be checked is not sent: half a command
    // reaching the drive is worse.
    const bool fits = length >= 0 && static_cast<std::size_t>(length) < sizeof line;

    std::uint32_t start = 0;
    if (!start_conversation(port, reply_buffer, REPLY_BUFFER_SIZE, label, fits ? line : nullptr,
                            &budget, &start))
        return 0;
    if (!await_reply_ok(port, &budget)) return 0;
    report_success(start);
    return 1;
}
