#include "diskcopy/packet.h"

#include <array>

namespace {

// The transform as a table: one load per byte in the restore loop.
constexpr std::array<std::uint8_t, 256> make_transfer_table() {
    std::array<std::uint8_t, 256> table{};
    for (unsigned b = 0; b < 256; ++b) table[b] = transfer_byte(static_cast<std::uint8_t>(b));
    return table;
}

constexpr std::array<std::uint8_t, 256> transfer_table = make_transfer_table();

}  // namespace

int packet_checksum_ok(const std::uint8_t* raw) {
    std::uint8_t sum = 0;
    for (std::uint32_t i = 0; i < PACKET_CHECK; ++i) sum = static_cast<std::uint8_t>(sum ^ raw[i]);
    if (sum == raw[PACKET_CHECK]) return 1;
    if (!packet_last_mark(raw)) return 0;
    return static_cast<std::uint8_t>(sum ^ 0x08u) == raw[PACKET_CHECK] ? 1 : 0;
}

void unscramble_packet(std::uint8_t* packet) {
    // Byte i takes its low two bits from byte i+1 before that one is shifted,
    // so walk upwards, carrying the transformed next byte along.
    std::uint8_t current = transfer_table[packet[0]];
    for (std::uint32_t i = 0; i < PACKET_MARKS; ++i) {
        const std::uint8_t next = transfer_table[packet[i + 1]];
        packet[i] = static_cast<std::uint8_t>((current << 2) | (next >> 6));
        current = next;
    }
    // `current` is byte 321 transformed: keep the checksum code's last two bits
    // (its bits 5-4, now 7-6) and the last-sector mark (bit 0).
    packet[PACKET_MARKS] = static_cast<std::uint8_t>(((current << 2) & 0xC0u) | (current & 0x01u));
    packet[PACKET_SECTOR_CODE] = transfer_table[packet[PACKET_SECTOR_CODE]];
    packet[PACKET_CHECK] = transfer_table[packet[PACKET_CHECK]];
}
