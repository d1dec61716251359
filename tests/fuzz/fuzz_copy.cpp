// The disk copy against a packet stream the input describes: for each track
// in turn, one input byte per packet says what the adapter sends next (the
// next sector, that sector with a bad check byte or an invalid sector code,
// the last sector again, or the retries-exhausted packet). The packets are
// built in the encode direction by the unit tests' packet builder and reach
// copy_disk through the scripted fake port after a good prompt and echo;
// when the input ends, the adapter falls silent.
//
// Without rejected packets the stream defines every track end, so every
// sector stored must then be the one sent for its place, and the copy must
// succeed exactly when all 35 tracks ended. With rejected packets the host
// may have to guess a track's end; then only the bounds are checked. A packet
// whose sector code is invalid is accepted, stores nothing and still ends its
// track when it carries the mark.
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "diskcopy/copy.h"
#include "diskcopy/d64.h"
#include "diskcopy/packet.h"
#include "fake_port.h"
#include "link/protocol.h"
#include "packet_builder.h"
#include "quiet_stderr.h"

namespace {

constexpr int DRIVE = 8;

std::FILE* g_image = nullptr;

enum packet_kind { NEXT, BAD_CHECK, BAD_CODE, REPEAT, RETRIES };

packet_kind kind_of(std::uint8_t b) {
    switch (b >> 5) {
    case 4: return BAD_CHECK;
    case 5: return BAD_CODE;
    case 6: return REPEAT;
    case 7: return RETRIES;
    default: return NEXT;  // the common case: half of all byte values
    }
}

struct stream {
    std::string bytes;
    bool sent[D64_TRACKS + 1][D64_MAX_SECTORS_PER_TRACK] = {};
    bool guessing = false;  // a packet was rejected: track ends may be guessed
    int tracks_ended = 0;
};

// Every packet a stream can hold, built once: bit by bit the builder is far
// slower than the code under test. A sector's packet carries the mark when it
// is its track's last, as it always is in these streams.
struct packet_set {
    builder::raw_packet good[D64_TRACKS + 1][D64_MAX_SECTORS_PER_TRACK];
    builder::raw_packet bad_code[D64_TRACKS + 1][D64_MAX_SECTORS_PER_TRACK];
    builder::raw_packet unmarked[D64_TRACKS + 1][D64_MAX_SECTORS_PER_TRACK];  // repeats
    builder::raw_packet retries;
};

packet_set* g_packets = nullptr;

void build_packets(packet_set* set) {
    for (int track = 1; track <= D64_TRACKS; ++track) {
        for (int sector = 0; sector < builder::track_sectors(track); ++sector) {
            builder::packet_spec spec;
            spec.data = builder::pattern(track, sector);
            spec.sector = sector;
            set->unmarked[track][sector] = builder::build_packet(spec);
            spec.last = sector == builder::track_sectors(track) - 1;
            set->good[track][sector] = builder::build_packet(spec);
            spec.sector_code_override = 0x00;  // no nybble's code
            set->bad_code[track][sector] = builder::build_packet(spec);
        }
    }
    builder::packet_spec retries;
    retries.retries_exhausted = true;
    set->retries = builder::build_packet(retries);
}

void put_packet(stream* out, const builder::raw_packet& packet, bool bad_check) {
    const std::size_t at = out->bytes.size();
    out->bytes.append(reinterpret_cast<const char*>(packet.data()), packet.size());
    if (bad_check) out->bytes[at + PACKET_CHECK] ^= 0x41;  // never the accepted bit-3 deviation
}

// One track; false when the input ran out first.
bool put_track(stream* out, int track, const std::uint8_t** data, const std::uint8_t* end) {
    const int count = builder::track_sectors(track);
    int next = 0;
    int previous = -1;
    while (*data < end) {
        const packet_kind kind = kind_of(*(*data)++);
        if (kind == RETRIES) {
            put_packet(out, g_packets->retries, false);
            ++out->tracks_ended;
            return true;
        }
        if (kind == REPEAT) {
            if (previous < 0) continue;
            // Unmarked: the track's end is still to come.
            put_packet(out, g_packets->unmarked[track][previous], false);
            out->sent[track][previous] = true;
            continue;
        }
        const int sector = next++;
        put_packet(out, kind == BAD_CODE ? g_packets->bad_code[track][sector] : g_packets->good[track][sector],
                   kind == BAD_CHECK);
        // A refused sector code still carries the mark; a rejected packet
        // loses it, and the host may have to guess where the track ends.
        if (kind == BAD_CHECK) out->guessing = true;
        if (kind == NEXT) out->sent[track][sector] = true;
        previous = sector;
        if (next == count) {
            ++out->tracks_ended;
            return true;
        }
    }
    return false;
}

void check_image(const stream& s, int result) {
    if (std::fflush(g_image) != 0 || std::fseek(g_image, 0, SEEK_END) != 0) std::abort();
    const long size = std::ftell(g_image);
    if (size < 0 || size > D64_IMAGE_BYTES || size % D64_SECTOR_BYTES != 0) std::abort();
    if (result == 1 && size != D64_IMAGE_BYTES) std::abort();
    if (s.guessing) return;
    if (result != (s.tracks_ended == D64_TRACKS ? 1 : 0)) std::abort();
    static std::uint8_t image[D64_IMAGE_BYTES];
    std::rewind(g_image);
    if (std::fread(image, 1, static_cast<std::size_t>(size), g_image) != static_cast<std::size_t>(size))
        std::abort();
    const builder::sector_data zeros{};
    for (int track = 1; track <= D64_TRACKS; ++track) {
        for (int sector = 0; sector < builder::track_sectors(track); ++sector) {
            const long at = builder::image_offset(track, sector);
            if (at >= size) return;
            const builder::sector_data wanted = s.sent[track][sector] ? builder::pattern(track, sector) : zeros;
            if (std::memcmp(image + at, wanted.data(), D64_SECTOR_BYTES) != 0) std::abort();
        }
    }
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int* argc, char*** argv) {
    fuzz_quiet_stderr(argc, argv);
    if (std::freopen("/dev/null", "w", stdout) == nullptr) std::abort();
    g_image = std::tmpfile();
    if (g_image == nullptr) std::abort();
    g_packets = new packet_set;
    build_packets(g_packets);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    static stream s;
    s = stream{};
    char line[32];
    std::snprintf(line, sizeof line, FORMAT_COPY_COMMAND, static_cast<unsigned>(DRIVE), LINE_TERMINATOR);
    s.bytes = line;  // the echo; the packets follow at once
    const std::uint8_t* end = data + size;
    for (int track = 1; track <= D64_TRACKS && put_track(&s, track, &data, end); ++track) {
    }

    fake_reset();
    fake_read_bytes(PROMPT);  // its own read call: the host sends its line after it
    // The echo, then a packet per read step: one step for the whole stream
    // would make the fake port's bookkeeping the slowest part of a run.
    const std::size_t echo = std::strlen(line);
    fake_read_bytes(s.bytes.substr(0, echo));
    for (std::size_t at = echo; at < s.bytes.size(); at += PACKET_SIZE)
        fake_read_bytes(s.bytes.substr(at, PACKET_SIZE));
    if (std::fflush(g_image) != 0 || ftruncate(fileno(g_image), 0) != 0) std::abort();
    std::rewind(g_image);

    serial_port port;
    port.os_handle = 3;
    progress_display display;  // no terminal: no display
    const int result = copy_disk(&port, DRIVE, g_image, 1, &display);
    if (result != 0 && result != 1) std::abort();
    check_image(s, result);
    return 0;
}
