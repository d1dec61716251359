#include "tasks/frame.h"

#include <cstdio>
#include <cstring>

#include "link/protocol.h"
#include "link/tick.h"
#include "link/transfer.h"

std::uint8_t reply_buffer[REPLY_BUFFER_SIZE];

namespace {

bool sync_with_adapter(serial_port* port, std::uint8_t* buffer, std::uint32_t capacity,
                       std::int32_t* budget) {
    const io_result result = read_until_prompt(port, buffer, capacity, budget);
    if (result == IO_OK) return true;
    std::fputs(result == IO_TIMED_OUT ? "Timeout synchronizing with device.\n"
                                      : "Error synchronizing with device.\n",
               stderr);
    return false;
}

void announce_task(const char* label) {
    std::printf("%s... ", label);
    std::fflush(stdout);
}

}  // namespace

void report_transfer_failure(io_result result) {
    std::puts(result == IO_TIMED_OUT ? "timed out." : "failed.");
}

bool start_conversation(serial_port* port, std::uint8_t* buffer, std::uint32_t capacity,
                        const char* label, const char* line, std::int32_t* budget,
                        std::uint32_t* start_tick) {
    if (!sync_with_adapter(port, buffer, capacity, budget)) return false;
    announce_task(label);
    const io_result result =
        line == nullptr ? IO_TOO_LARGE : send_command(port, buffer, capacity, line, budget);
    if (result != IO_OK) {
        report_transfer_failure(result);
        return false;
    }
    *start_tick = tick_ms();
    return true;
}

bool await_reply_ok(serial_port* port, std::int32_t* budget) {
    const io_result result = read_ok(port, reply_buffer, REPLY_BUFFER_SIZE, budget);
    if (result == IO_OK) return true;
    if (result == IO_TIMED_OUT)
        report_transfer_failure(result);
    else
        report_device_error();
    return false;
}

void report_success(std::uint32_t start_tick) {
    std::printf("succeeded in %.2f seconds.\n", tick_seconds(start_tick, tick_ms()));
}

void report_device_error() {
    struct code_message {
        const char* code;
        const char* message;
    };
    static constexpr code_message messages[] = {
        {"NF", "file not found."},
        {"NP", "device not present."},
        {"FM", "missing filename."},
        {"ID", "illegal device number."},
    };
    for (const code_message& entry : messages) {
        if (std::memcmp(reply_buffer, entry.code, 2) == 0) {
            std::puts(entry.message);
            return;
        }
    }
    std::puts("failed.");
}
