#include "tasks/status.h"

#include <cstdint>
#include <cstdio>

#include "link/protocol.h"
#include "link/tick.h"
#include "link/transfer.h"
#include "tasks/frame.h"

namespace {

constexpr std::uint32_t STATUS_BUFFER_SIZE = 256;
constexpr std::uint32_t COMMAND_LINE_SIZE = 32;

// The length byte, then the text: n is at most 255, so the terminator always
// fits after it.
bool receive_status_text(serial_port* port, std::uint8_t* text, std::int32_t* budget) {
    io_result result = read_exact(port, reply_buffer, REPLY_BUFFER_SIZE, 1, budget);
    if (result == IO_OK) {
        const std::uint32_t length = reply_buffer[0];
        result = read_exact(port, text, STATUS_BUFFER_SIZE, length, budget);
        if (result == IO_OK) text[length] = 0;
    }
    if (result == IO_OK) return true;
    report_transfer_failure(result);
    return false;
}

}  // namespace

int query_status(serial_port* port, int drive, int timeout_seconds) {
    std::int32_t budget = static_cast<std::int32_t>(timeout_seconds) * 1000;
    char line[COMMAND_LINE_SIZE];
    std::snprintf(line, sizeof line, FORMAT_STATUS_COMMAND, static_cast<unsigned>(drive), LINE_TERMINATOR);
    std::uint32_t start = 0;
    if (!start_conversation(port, reply_buffer, REPLY_BUFFER_SIZE, "Fetching drive status", line,
                            &budget, &start))
        return 0;
    if (!await_reply_ok(port, &budget)) return 0;
    std::uint8_t text[STATUS_BUFFER_SIZE];
    if (!receive_status_text(port, text, &budget)) return 0;
    report_success(start);

    std::putchar('\n');
    // The text as the drive sent it, up to its first 0 byte.
    std::puts(reinterpret_cast<const char*>(text));
    return 1;
}
