#include "diskcopy/copy.h"

#include <cstdint>

#include "diskcopy/d64.h"
#include "diskcopy/follow.h"
#include "diskcopy/packet.h"
#include "link/protocol.h"
#include "link/terminal.h"
#include "link/tick.h"
#include "link/transfer.h"
#include "tasks/frame.h"

namespace {

// What the packet loop knows between packets.
struct copy_state {
    track_follow follow;
    std::int32_t packets = 0;         // every packet read, the first is 1
    int stored_count = 0;             // distinct sectors written to the image
    bool stored[D64_SECTORS] = {};    // by image index
    progress_display* display = nullptr;
};

void note_stored(copy_state* state, int track, int sector) {
    bool* slot = &state->stored[sector_index(track, sector)];
    if (!*slot) ++state->stored_count;
    *slot = true;
}

// Handles one accepted packet; false when the image can no longer be written,
// which ends the copy.
bool take_sector(copy_state* state, std::uint8_t* packet, std::FILE* file) {
    unscramble_packet(packet);
    const int track = follow_track_for(&state->follow, packet[PACKET_MARKS] & 0x01);
    const store_outcome outcome = place_sector(packet, track, file);
    if (outcome.status == STORE_OK) {
        note_stored(state, track, outcome.sector);
    } else {
        progress_erase(state->display);
        report_store_status(outcome.status);
    }
    follow_accepted(&state->follow, track, outcome.sector, outcome.last);
    return outcome.status != STORE_SEEK_FAILED && outcome.status != STORE_WRITE_FAILED;
}

// Examines one raw packet as the stream defines it; false ends the copy.
bool take_packet(copy_state* state, std::uint8_t* packet, std::FILE* file) {
    ++state->packets;
    if (packet_retries_exhausted(packet)) {
        progress_erase(state->display);
        std::fprintf(stderr, "WARNING: Sector retries exhausted for track %d\n", state->follow.track);
        follow_retries_exhausted(&state->follow);
        return true;
    }
    if (!packet_checksum_ok(packet)) {
        progress_erase(state->display);
        std::fprintf(stderr, "ERROR: transmission checkbyte does not match expected for packet %ld-th!\n",
                     static_cast<long>(state->packets));
        follow_rejected(&state->follow);
        return true;
    }
    return take_sector(state, packet, file);
}

// Brings a completed image to its full size (sectors that never arrived read
// as zero bytes) and makes sure every byte reached the file.
bool finish_image(std::FILE* file) {
    if (std::fseek(file, 0, SEEK_END) != 0) return false;
    long size = std::ftell(file);
    if (size < 0) return false;
    const std::uint8_t zeros[D64_SECTOR_BYTES] = {};
    while (size < D64_IMAGE_BYTES) {
        const long chunk = D64_IMAGE_BYTES - size < D64_SECTOR_BYTES ? D64_IMAGE_BYTES - size
                                                                      : D64_SECTOR_BYTES;
        if (std::fwrite(zeros, 1, static_cast<std::size_t>(chunk), file) != static_cast<std::size_t>(chunk))
            return false;
        size += chunk;
    }
    return std::fflush(file) == 0 && !std::ferror(file);
}


}  // namespace

int copy_disk(serial_port* port, int drive, std::FILE* file, int timeout_seconds,
              progress_display* display) {
    std::int32_t budget = static_cast<std::int32_t>(timeout_seconds) * 1000;
    std::uint8_t packet[PACKET_SIZE];
    char line[32];
    std::snprintf(line, sizeof line, FORMAT_COPY_COMMAND, static_cast<unsigned>(drive), LINE_TERMINATOR);
    // The sync and the echo go into the packet buffer: no reply buffer here.
    std::uint32_t start = 0;
    if (!start_conversation(port, packet, PACKET_SIZE, "Dumping disk contents", line, &budget, &start))
        return 0;
    copy_state state;
    state.display = display;
    while (state.follow.track <= D64_TRACKS) {
        const io_result result = read_exact(port, packet, PACKET_SIZE, PACKET_SIZE, &budget);
        if (result != IO_OK) {
            progress_erase(display);
            report_transfer_failure(result);
            return 0;
        }
        if (!take_packet(&state, packet, file)) {
            // The image cannot be written (its message is out): going on
            // would only lose every later sector the same way.
            report_transfer_failure(IO_FAILED);
            return 0;
        }
        progress_draw(display, state.follow.track, state.follow.seen, state.stored_count);
    }
    const std::uint32_t end = tick_ms();
    progress_erase(display);

    if (!finish_image(file)) {
        std::fputs("ERROR: could not save to file\n", stderr);
        report_transfer_failure(IO_FAILED);
        return 0;
    }
    std::printf("succeeded in %.2f seconds.\n\n", tick_seconds(start, end));
    std::fflush(stdout);
    const int missing = D64_SECTORS - state.stored_count;
    if (missing > 0) std::fprintf(stderr, "WARNING: %d sectors missing from image\n", missing);
    return 1;
}

int warp_copy_disk(serial_port* port, int drive, std::FILE* file, int timeout_seconds) {
    progress_display display;
    if (stream_is_terminal(stderr)) display.out = stderr;
    return copy_disk(port, drive, file, timeout_seconds, &display);
}
