#pragma once
// Builds sector packets the way the adapter sends them, written from the
// packet format in the encode direction only: data -> GCR -> two-bit offset
// stream with the status bits and marks -> transfer form -> check byte. It
// shares no code with the decoder under test.
#include <array>
#include <cstdint>
#include <string>
#include <vector>

namespace builder {

using sector_data = std::array<std::uint8_t, 256>;
using raw_packet = std::array<std::uint8_t, 324>;

// The recorded code of each nybble.
inline constexpr std::uint8_t nybble_code[16] = {0x0A, 0x0B, 0x12, 0x13, 0x0E, 0x0F, 0x16, 0x17,
                                                 0x09, 0x19, 0x1A, 0x1B, 0x0D, 0x1D, 0x1E, 0x15};

// Received bit r is recorded bit from_bit[r], inverted.
inline std::uint8_t to_transfer_form(std::uint8_t b) {
    static constexpr int from_bit[8] = {3, 1, 2, 0, 7, 5, 6, 4};
    unsigned out = 0;
    for (int r = 0; r < 8; ++r)
        if (!((b >> from_bit[r]) & 1u)) out |= 1u << r;
    return static_cast<std::uint8_t>(out);
}

struct bit_writer {
    std::uint8_t* bytes;
    int position = 0;  // in bits, most significant bit of each byte first
    void put(unsigned value, int width) {
        for (int i = width - 1; i >= 0; --i, ++position) {
            if ((value >> i) & 1u) bytes[position / 8] |= static_cast<std::uint8_t>(0x80u >> (position % 8));
        }
    }
};

inline unsigned byte_gcr(std::uint8_t b) { return (nybble_code[b >> 4] << 5) | nybble_code[b & 15]; }

struct packet_spec {
    sector_data data{};
    int sector = 0;
    bool last = false;
    bool retries_exhausted = false;
    bool check_with_bit3 = false;  // last packets: check byte as if the mark were not set
    unsigned lead_bits = 0x2;      // the two dropped stream bits
    std::uint8_t code_high_bits = 0x00;  // bits 6-7 of the sector code, ignored by the host
    int sector_code_override = -1;       // a raw 5-bit code in place of the sector's own
};

// The restored form (before the transfer transform) of bytes 0-322.
inline std::array<std::uint8_t, 323> restored_bytes(const packet_spec& spec) {
    std::array<std::uint8_t, 323> restored{};
    bit_writer w{restored.data()};
    w.put(spec.lead_bits & 3u, 2);
    std::uint8_t checksum = 0;
    for (std::uint8_t b : spec.data) {
        w.put(byte_gcr(b), 10);
        checksum ^= b;
    }
    w.put(byte_gcr(checksum), 10);
    w.put(spec.retries_exhausted ? 7u : 0u, 3);
    w.put(spec.last || spec.retries_exhausted ? 1u : 0u, 1);
    unsigned code = spec.sector_code_override >= 0 ? static_cast<unsigned>(spec.sector_code_override)
                                                   : nybble_code[spec.sector & 15];
    if (spec.sector & 16) code |= 0x20;
    restored[322] = static_cast<std::uint8_t>(code | spec.code_high_bits);
    return restored;
}

inline raw_packet build_packet(const packet_spec& spec) {
    const std::array<std::uint8_t, 323> restored = restored_bytes(spec);
    raw_packet raw{};
    std::uint8_t check = 0;
    for (int i = 0; i < 323; ++i) {
        raw[i] = to_transfer_form(restored[i]);
        check ^= raw[i];
    }
    if (spec.check_with_bit3) check ^= 0x08;
    raw[323] = check;
    return raw;
}

inline std::string as_string(const raw_packet& p) {
    return std::string(reinterpret_cast<const char*>(p.data()), p.size());
}

// Sector contents that differ by track and sector, so a misplaced sector shows.
inline sector_data pattern(int track, int sector) {
    sector_data d{};
    for (int i = 0; i < 256; ++i)
        d[i] = static_cast<std::uint8_t>(track * 7 + sector * 13 + i * 31 + (i >> 3));
    return d;
}

inline int track_sectors(int track) { return track <= 17 ? 21 : track <= 24 ? 19 : track <= 30 ? 18 : 17; }

inline long image_offset(int track, int sector) {
    long index = 0;
    for (int t = 1; t < track; ++t) index += track_sectors(t);
    return (index + sector) * 256;
}

}  // namespace builder
