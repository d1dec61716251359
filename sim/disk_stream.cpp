// "ws COUNT [START] 0x%x": the adapter reads COUNT tracks from START (default
// 1) with the fast transfer and sends one 324-byte packet per sector, with no
// reply pair: the first byte after the echo is the first packet's. Each track's
// sectors go out in an interleaved order, the last one marked; on every third
// track the last packet's check byte is in its bit-3 form. Sectors come from
// the --disk image (a blank disk without one).
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "commands.h"
#include "disk_stream.h"
#include "gcr_encode.h"
#include "output.h"

namespace {

constexpr int TRACKS = 35;
constexpr long IMAGE_SIZE = 174848;
constexpr long IMAGE_WITH_ERRORS_SIZE = IMAGE_SIZE + 683;
constexpr int INTERLEAVE = 11;         // coprime with every zone's sector count
constexpr int OUT_OF_RANGE_SECTOR = 31;
constexpr int INVALID_CODE = 0x00;

const char* const KIND_NAMES[STREAM_FAULT_KINDS] = {"bad-check", "retries", "bad-code", "out-of-range",
                                                     "duplicate", "silent",  "hangup"};

int sectors_in(int track) {
    if (track <= 17) return 21;
    if (track <= 24) return 19;
    if (track <= 30) return 18;
    return 17;
}

long track_offset(int track) {
    long sectors = 0;
    for (int t = 1; t < track; ++t) sectors += sectors_in(t);
    return sectors * static_cast<long>(SIM_SECTOR_SIZE);
}

struct stream_state {
    sim_context* ctx;
    const std::uint8_t* image;
    const stream_faults* faults;
    int packets = 0;  // sent so far
};

bool listed(const stream_faults* faults, stream_fault_kind kind, int number) {
    for (int i = 0; i < STREAM_FAULT_SLOTS && faults->at[kind][i] != 0; ++i)
        if (faults->at[kind][i] == number) return true;
    return false;
}

// Sends one packet, then applies a fault that strikes after it. False when
// the session cannot go on.
bool send_packet(stream_state* state, std::uint8_t* packet) {
    ++state->packets;
    if (listed(state->faults, STREAM_BAD_CHECK, state->packets)) packet[SIM_PACKET_SIZE - 1] ^= 0x5A;
    if (!sim_send_payload(state->ctx, packet, SIM_PACKET_SIZE)) return false;
    if (listed(state->faults, STREAM_SILENT, state->packets)) {
        state->ctx->muted = true;
        return false;
    }
    if (listed(state->faults, STREAM_HANGUP, state->packets)) {
        sim_hang_up(state->ctx);
        return false;
    }
    return true;
}

bool send_sector(stream_state* state, int track, int sector, bool last) {
    std::uint8_t packet[SIM_PACKET_SIZE];
    const std::uint8_t* data = state->image + track_offset(track) + sector * static_cast<long>(SIM_SECTOR_SIZE);
    sim_packet_form form;
    form.sector = sector;
    form.last = last;
    form.check_bit3 = track % 3 == 0;
    if (listed(state->faults, STREAM_DUPLICATE, state->packets + 1)) {
        sim_packet_form early = form;
        early.last = false;
        sim_build_sector_packet(data, &early, packet);
        if (!send_packet(state, packet)) return false;
    }
    const int number = state->packets + 1;
    if (listed(state->faults, STREAM_BAD_CODE, number)) form.raw_sector_code = INVALID_CODE;
    if (listed(state->faults, STREAM_OUT_OF_RANGE, number)) form.sector = OUT_OF_RANGE_SECTOR;
    sim_build_sector_packet(data, &form, packet);
    return send_packet(state, packet);
}

bool send_track(stream_state* state, int track) {
    const int count = sectors_in(track);
    const bool gives_up = listed(state->faults, STREAM_RETRIES, track);
    const int sent = gives_up ? count / 2 : count;
    const int first = (track * 7) % count;
    for (int k = 0; k < sent; ++k) {
        const int sector = (first + k * INTERLEAVE) % count;
        if (!send_sector(state, track, sector, !gives_up && k == sent - 1)) return false;
    }
    if (!gives_up) return true;
    std::uint8_t packet[SIM_PACKET_SIZE];
    sim_build_retries_packet(packet);
    return send_packet(state, packet);
}

bool load_image(const char* path, std::uint8_t* image) {
    std::memset(image, 0, IMAGE_SIZE);
    if (path == nullptr) return true;
    std::FILE* file = std::fopen(path, "rb");
    if (file == nullptr) {
        std::fprintf(stderr, "orvelan-sim: cannot open disk image %s\n", path);
        return false;
    }
    long total = static_cast<long>(std::fread(image, 1, IMAGE_SIZE, file));
    std::uint8_t rest[1024];
    total += static_cast<long>(std::fread(rest, 1, sizeof rest, file));
    std::fclose(file);
    if (total != IMAGE_SIZE && total != IMAGE_WITH_ERRORS_SIZE) {
        std::fprintf(stderr, "orvelan-sim: %s is no 35-track D64 image (%ld bytes)\n", path, total);
        return false;
    }
    return true;
}

// "COUNT [START]": false unless both are whole numbers within the disk.
bool parse_tracks(const char* args, int* count, int* start) {
    char* end = nullptr;
    const long n = std::strtol(args, &end, 10);
    if (end == args) return false;
    long from = 1;
    const char* rest = end;
    while (*rest == ' ') ++rest;
    if (*rest != '\0') {
        from = std::strtol(rest, &end, 10);
        if (end == rest || *end != '\0') return false;
    }
    if (n < 1 || from < 1 || from + n - 1 > TRACKS) return false;
    *count = static_cast<int>(n);
    *start = static_cast<int>(from);
    return true;
}

}  // namespace

bool parse_stream_fault(const char* option, const char* text, stream_faults* faults) {
    const char* colon = std::strchr(text, ':');
    int kind = -1;
    for (int k = 0; k < STREAM_FAULT_KINDS && colon != nullptr; ++k) {
        const std::size_t length = std::strlen(KIND_NAMES[k]);
        if (static_cast<std::size_t>(colon - text) == length && std::strncmp(text, KIND_NAMES[k], length) == 0)
            kind = k;
    }
    if (kind < 0) {
        std::fprintf(stderr,
                     "orvelan-sim: %s: expects bad-check, retries, bad-code, out-of-range, duplicate, silent or "
                     "hangup, a colon and numbers (see --help)\n",
                     option);
        return false;
    }
    int* slots = faults->at[kind];
    int used = 0;
    while (used < STREAM_FAULT_SLOTS && slots[used] != 0) ++used;
    const char* at = colon + 1;
    for (;;) {
        char* end = nullptr;
        const long value = std::strtol(at, &end, 10);
        if (end == at || value < 1 || value > 100000 || (*end != ',' && *end != '\0') || used == STREAM_FAULT_SLOTS) {
            std::fprintf(stderr, "orvelan-sim: %s: expects up to %d numbers from 1 (see --help)\n", option,
                         STREAM_FAULT_SLOTS);
            return false;
        }
        slots[used++] = static_cast<int>(value);
        if (*end == '\0') return true;
        at = end + 1;
    }
}

bool handle_disk_stream(sim_context* ctx, const sim_request* request) {
    static std::uint8_t image[IMAGE_SIZE];
    int count = 0;
    int start = 1;
    const char* code = sim_drive_reply(request);
    if (std::strcmp(code, "OK") == 0 && !parse_tracks(request->args, &count, &start)) code = "KO";
    if (std::strcmp(code, "OK") == 0 && !load_image(ctx->options->disk_path, image)) code = "KO";
    if (std::strcmp(code, "OK") != 0) {
        // No stream: the adapter answers with its status code instead.
        sim_send(ctx, code, 2);
        return sim_live(ctx);
    }
    if (!sim_sleep_ms(ctx, ctx->options->delay_ms)) return false;
    stream_state state{ctx, image, &ctx->options->ws_faults};
    for (int track = start; track < start + count; ++track)
        if (!send_track(&state, track)) return false;
    return true;
}
