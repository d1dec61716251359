#include "link/transfer.h"

#include <cstring>

#include "link/protocol.h"

const char* io_result_name(io_result result) {
    switch (result) {
    case IO_OK: return "IO_OK";
    case IO_FAILED: return "IO_FAILED";
    case IO_TIMED_OUT: return "IO_TIMED_OUT";
    case IO_TOO_LARGE: return "IO_TOO_LARGE";
    }
    return "io_result(?)";
}

namespace {

// What a primitive's completion test says after a poll that moved bytes.
enum poll_verdict { POLL_MORE, POLL_DONE_OK, POLL_DONE_FAILED };

// The read poll shared by every reading primitive: read what is still missing
// of `target` straight into place; only calls that move nothing cost budget.
template <typename Complete>
io_result read_poll(serial_port* port, std::uint8_t* buffer, std::uint32_t target,
                    std::int32_t* budget, Complete complete) {
    std::uint32_t received = 0;
    for (;;) {
        const port_call call = port_read(port, buffer + received, target - received);
        received += call.moved;
        if (call.moved == 0) {
            --*budget;
            if (!call.ok) return IO_FAILED;
            if (*budget == 0) return IO_TIMED_OUT;
            continue;
        }
        if (!call.ok) return IO_FAILED;
        if (*budget == 0) return IO_TIMED_OUT;
        switch (complete(received)) {
        case POLL_DONE_OK: return IO_OK;
        case POLL_DONE_FAILED: return IO_FAILED;
        case POLL_MORE: break;
        }
    }
}

// Length on the wire: the line without its final LF.
std::uint32_t wire_length(const char* line) {
    const std::size_t length = std::strlen(line);
    return length == 0 ? 0 : static_cast<std::uint32_t>(length - 1);
}

}  // namespace

io_result read_exact(serial_port* port, std::uint8_t* buffer, std::uint32_t capacity,
                     std::uint32_t count, std::int32_t* budget) {
    if (count > capacity) return IO_TOO_LARGE;
    // Nothing to wait for: polling for zero bytes could only spend the budget
    // and then report a time-out for a transfer that is already complete.
    if (count == 0) return IO_OK;
    return read_poll(port, buffer, count, budget, [count](std::uint32_t received) {
        return received == count ? POLL_DONE_OK : POLL_MORE;
    });
}

io_result read_until_prompt(serial_port* port, std::uint8_t* buffer, std::uint32_t capacity,
                            std::int32_t* budget) {
    return read_poll(port, buffer, capacity, budget, [buffer](std::uint32_t received) {
        // Only the tail counts: a prompt followed by more text is not the end.
        if (received >= PROMPT_LENGTH &&
            std::memcmp(buffer + received - PROMPT_LENGTH, PROMPT, PROMPT_LENGTH) == 0)
            return POLL_DONE_OK;
        return POLL_MORE;
    });
}

io_result write_line(serial_port* port, const char* line, std::int32_t* budget) {
    const std::uint32_t length = wire_length(line);
    const auto* bytes = reinterpret_cast<const std::uint8_t*>(line);
    std::uint32_t sent = 0;
    do {
        const port_call call = port_write(port, bytes + sent, length - sent);
        sent += call.moved;
        if (call.moved == 0) --*budget;
        if (!call.ok) return IO_FAILED;
        if (*budget == 0) return IO_TIMED_OUT;
    } while (sent < length);
    return IO_OK;
}

io_result send_command(serial_port* port, std::uint8_t* buffer, std::uint32_t capacity,
                       const char* line, std::int32_t* budget) {
    const io_result written = write_line(port, line, budget);
    if (written != IO_OK) return written;
    const auto length = static_cast<std::uint32_t>(std::strlen(line));
    if (length > capacity) return IO_TOO_LARGE;
    return read_poll(port, buffer, length, budget, [&](std::uint32_t received) {
        if (received < length) return POLL_MORE;
        return std::memcmp(buffer, line, length) == 0 ? POLL_DONE_OK : POLL_DONE_FAILED;
    });
}

io_result read_ok(serial_port* port, std::uint8_t* buffer, std::uint32_t capacity,
                  std::int32_t* budget) {
    if (capacity < 2) return IO_TOO_LARGE;
    return read_poll(port, buffer, 2, budget, [buffer](std::uint32_t received) {
        if (received < 2) return POLL_MORE;
        return std::memcmp(buffer, REPLY_OK, 2) == 0 ? POLL_DONE_OK : POLL_DONE_FAILED;
    });
}
