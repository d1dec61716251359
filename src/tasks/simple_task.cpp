#include <cstdio>

#include "link/protocol.h"
#include "link/tick.h"
#include "tasks/frame.h"

int run_simple_task(serial_port* port, int drive, const char* label, const char* verb,
                    std::int32_t budget) {
    if (!sync_with_adapter(port, reply_buffer, REPLY_BUFFER_SIZE, &budget)) return 0;
    announce_task(label);

    // The longest line whose echo still fits the reply buffer, and its NUL.
    char line[REPLY_BUFFER_SIZE + 1];
    const int length = std::snprintf(line, sizeof line, FORMAT_DRIVE_COMMAND, verb,
                                     static_cast<unsigned>(drive), LINE_TERMINATOR);
    if (length < 0 || static_cast<std::size_t>(length) >= sizeof line) {
        // Its echo could not be checked; sending half a command is worse.
        report_transfer_failure(IO_TOO_LARGE);
        return 0;
    }
    if (!send_task_command(port, reply_buffer, REPLY_BUFFER_SIZE, line, &budget)) return 0;

    const std::uint32_t start = tick_ms();
    if (!await_reply_ok(port, &budget)) return 0;
    report_success(start);
    return 1;
}
