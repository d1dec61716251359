#include "diskcopy/packet.h"

#include <array>
#include <cstring>

namespace {

// The packet is worked on eight bytes at a time: it arrives at the link's
// full speed and has to be decoded between two reads.
inline constexpr std::uint32_t WORD_BYTES = 8;
inline constexpr std::uint32_t STREAM_WORDS = 40;  // bytes 0-319

std::uint64_t load_word(const std::uint8_t* p) {
    std::uint64_t v;
    std::memcpy(&v, p, sizeof v);
    return v;
}

void store_word(std::uint8_t* p, std::uint64_t v) { std::memcpy(p, &v, sizeof v); }

// Eight bytes as one big number, first byte most significant: the order of
// the recorded stream.
std::uint64_t load_stream_word(const std::uint8_t* p) {
    std::uint64_t v = 0;
    for (std::uint32_t i = 0; i < WORD_BYTES; ++i) v = (v << 8) | p[i];
    return v;
}

void store_stream_word(std::uint8_t* p, std::uint64_t v) {
    for (std::uint32_t i = WORD_BYTES; i-- > 0;) {
        p[i] = static_cast<std::uint8_t>(v);
        v >>= 8;
    }
}

// transfer_byte on each of eight bytes: invert, then exchange bits 0/3 and
// 4/7 of every byte (a delta swap; no bit crosses into a neighbour byte).
std::uint64_t transfer_word(std::uint64_t v) {
    v = ~v;
    const std::uint64_t differ = (v ^ (v >> 3)) & 0x1111111111111111u;
    return v ^ differ ^ (differ << 3);
}

// The transform as a table: one load per byte in the restore loop.
constexpr std::array<std::uint8_t, 256> make_transfer_table() {
    std::array<std::uint8_t, 256> table{};
    for (unsigned b = 0; b < 256; ++b) table[b] = transfer_byte(static_cast<std::uint8_t>(b));
    return table;
}

constexpr std::array<std::uint8_t, 256> transfer_table = make_transfer_table();

}  // namespace

int packet_checksum_ok(const std::uint8_t* raw) {
    std::uint64_t wide = 0;
    for (std::uint32_t w = 0; w < STREAM_WORDS; ++w) wide ^= load_word(raw + w * WORD_BYTES);
    wide ^= wide >> 32;
    wide ^= wide >> 16;
    wide ^= wide >> 8;
    std::uint8_t sum = static_cast<std::uint8_t>(wide);
    for (std::uint32_t i = STREAM_WORDS * WORD_BYTES; i < PACKET_CHECK; ++i)
        sum = static_cast<std::uint8_t>(sum ^ raw[i]);
    if (sum == raw[PACKET_CHECK]) return 1;
    if (!packet_last_mark(raw)) return 0;
    return static_cast<std::uint8_t>(sum ^ 0x08u) == raw[PACKET_CHECK] ? 1 : 0;
}

void unscramble_packet(std::uint8_t* packet) {
    for (std::uint32_t w = 0; w < STREAM_WORDS; ++w)
        store_word(packet + w * WORD_BYTES, transfer_word(load_word(packet + w * WORD_BYTES)));
    for (std::uint32_t i = STREAM_WORDS * WORD_BYTES; i < PACKET_SIZE; ++i) packet[i] = transfer_table[packet[i]];

    // Drop the stream's first two bits. Each byte takes its low two bits from
    // the byte after it before that one is shifted, so walk upwards.
    for (std::uint32_t w = 0; w < STREAM_WORDS; ++w) {
        std::uint8_t* at = packet + w * WORD_BYTES;
        store_stream_word(at, (load_stream_word(at) << 2) | (at[WORD_BYTES] >> 6));
    }
    const std::uint8_t marks = packet[PACKET_MARKS];
    packet[320] = static_cast<std::uint8_t>((packet[320] << 2) | (marks >> 6));
    // Keep the checksum code's last two bits (bits 5-4, now 7-6) and the
    // last-sector mark (bit 0).
    packet[PACKET_MARKS] = static_cast<std::uint8_t>(((marks << 2) & 0xC0u) | (marks & 0x01u));
}
