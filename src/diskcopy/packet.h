#pragma once
#include <cstdint>

// The 324-byte sector packet the adapter sends per sector during the disk copy.
// Bytes 0-321 carry the recorded GCR stream (offset by two bits) and the
// packet's marks, 322 the sector code, 323 the check byte; every byte arrives
// in the fast transfer's form (see transfer_byte).

inline constexpr std::uint32_t PACKET_SIZE = 324;
inline constexpr std::uint32_t PACKET_MARKS = 321;        // last-sector and retries marks
inline constexpr std::uint32_t PACKET_SECTOR_CODE = 322;  // GCR code of the sector number
inline constexpr std::uint32_t PACKET_CHECK = 323;        // XOR of bytes 0-322

// The fast transfer delivers each byte inverted, with bits 0/3 and 4/7
// exchanged. The transform is its own inverse.
constexpr std::uint8_t transfer_byte(std::uint8_t b) {
    const unsigned v = b;
    const unsigned swapped = (v & 0x66u) | ((v & 0x10u) << 3) | ((v & 0x80u) >> 3) |
                             ((v & 0x01u) << 3) | ((v & 0x08u) >> 3);
    return static_cast<std::uint8_t>(~swapped & 0xFFu);
}

// Marks, read on the raw packet before anything else. The last-sector mark is
// raw bit 3 of byte 321 clear; the retries-exhausted mark is its low four bits
// all clear (and so always comes with the last-sector mark).
inline bool packet_retries_exhausted(const std::uint8_t* raw) {
    return (raw[PACKET_MARKS] & 0x0Fu) == 0;
}
inline bool packet_last_mark(const std::uint8_t* raw) { return (raw[PACKET_MARKS] & 0x08u) == 0; }

// 1 when the check byte equals the XOR of raw bytes 0-322, or, on a packet with
// the last-sector mark, equals it with bit 3 inverted (the adapter may compute
// it before clearing the mark). Else 0.
int packet_checksum_ok(const std::uint8_t* raw);

// Turns the raw packet in place into the unscrambled one: bytes 0-319 the 64
// GCR groups of the sector, 320 and bits 7-6 of 321 the checksum's GCR code,
// bit 0 of 321 the last-sector mark (bits 5-1 zero), 322 the sector code, 323
// the transformed check byte.
void unscramble_packet(std::uint8_t* packet);
