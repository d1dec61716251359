#include "tasks/directory.h"

#include <cstdio>

#include "link/protocol.h"
#include "link/tick.h"
#include "link/transfer.h"
#include "listing/render.h"
#include "tasks/frame.h"

namespace {

constexpr std::uint32_t COMMAND_LINE_SIZE = 32;
constexpr std::uint32_t LOAD_ADDRESS_SIZE = 2;

// The load address, then chunks each preceded by its 16-bit little-endian
// length, up to a length of 0. Each chunk goes straight to its place; one that
// does not fit the room left is refused before any of it is read.
io_result receive_image(serial_port* port, std::uint8_t* image, std::uint32_t* received,
                        std::int32_t* budget) {
    std::uint32_t chunk = LOAD_ADDRESS_SIZE;
    for (;;) {
        io_result result = read_exact(port, image + *received, LISTING_BUFFER_SIZE - *received, chunk, budget);
        if (result != IO_OK) return result;
        result = read_exact(port, reply_buffer, REPLY_BUFFER_SIZE, 2, budget);
        if (result != IO_OK) return result;
        *received += chunk;
        chunk = static_cast<std::uint32_t>(reply_buffer[0] | (reply_buffer[1] << 8));
        if (chunk == 0) return IO_OK;
    }
}

}  // namespace

int fetch_directory(serial_port* port, int drive, int escape, int timeout_seconds) {
    std::int32_t budget = static_cast<std::int32_t>(timeout_seconds) * 1000;
    char line[COMMAND_LINE_SIZE];
    std::snprintf(line, sizeof line, FORMAT_DIRECTORY_COMMAND, static_cast<unsigned>(drive), LINE_TERMINATOR);
    std::uint32_t start = 0;
    if (!start_conversation(port, reply_buffer, REPLY_BUFFER_SIZE, "Fetching directory listing", line,
                            &budget, &start))
        return 0;
    if (!await_reply_ok(port, &budget)) return 0;
    std::uint8_t image[LISTING_BUFFER_SIZE];
    std::uint32_t received = 0;
    const io_result result = receive_image(port, image, &received, &budget);
    if (result != IO_OK) {
        report_transfer_failure(result);
        return 0;
    }
    // The clock stops before rendering: the time is the adapter's and the link's.
    report_success(start);
    std::putchar('\n');

    relink_listing(image, received);
    return print_listing(image, received, escape != 0 ? 1 : 0);
}
