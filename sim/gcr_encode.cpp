// Packet layout, in recorded form, as a 2576-bit stream of bytes 0-321 (most
// significant bit first): two bits left over from the block marker, the 256
// data bytes in GCR (10 bits each), the GCR of the data block's XOR checksum,
// three status bits and the last-sector mark. Byte 322 holds the sector code,
// byte 323 the XOR of the 323 bytes before it as they go on the wire.
#include "gcr_encode.h"

#include <cstring>

namespace {

// Recorded codes of the nybbles 0-15.
constexpr std::uint8_t GCR_CODES[16] = {0x0A, 0x0B, 0x12, 0x13, 0x0E, 0x0F, 0x16, 0x17,
                                        0x09, 0x19, 0x1A, 0x1B, 0x0D, 0x1D, 0x1E, 0x15};

constexpr std::size_t SECTOR_CODE_BYTE = 322;
constexpr std::size_t CHECK_BYTE = 323;
// The block marker 0x07 ends in the code 10111: its last two bits lead the stream.
constexpr unsigned LEAD_BITS = 0x3;
constexpr unsigned STATUS_GAVE_UP = 0x7;

// Appends bits to a zeroed buffer, most significant first.
struct bit_sink {
    std::uint8_t* bytes;
    std::size_t at = 0;
};

void put_bits(bit_sink* sink, unsigned value, int count) {
    for (int i = count - 1; i >= 0; --i) {
        if ((value >> i) & 1u) sink->bytes[sink->at >> 3] |= static_cast<std::uint8_t>(0x80u >> (sink->at & 7));
        ++sink->at;
    }
}

void put_gcr_byte(bit_sink* sink, std::uint8_t value) {
    put_bits(sink, sim_gcr_code(value >> 4), 5);
    put_bits(sink, sim_gcr_code(value & 0x0Fu), 5);
}

// Lays out the recorded stream, turns it into transfer form and appends the
// check byte.
void finish_packet(std::uint8_t* packet, std::uint8_t sector_code, bool check_bit3) {
    packet[SECTOR_CODE_BYTE] = sector_code;
    std::uint8_t check = 0;
    for (std::size_t i = 0; i < CHECK_BYTE; ++i) {
        packet[i] = sim_transfer_form(packet[i]);
        check = static_cast<std::uint8_t>(check ^ packet[i]);
    }
    // The adapter may fold the check before it clears bit 3 of byte 321 for the
    // mark; the host accepts that form on last packets.
    if (check_bit3) check = static_cast<std::uint8_t>(check ^ 0x08u);
    packet[CHECK_BYTE] = check;
}

void lay_stream(const std::uint8_t* data, unsigned status, bool last, std::uint8_t* packet) {
    std::memset(packet, 0, SIM_PACKET_SIZE);
    bit_sink sink{packet};
    put_bits(&sink, LEAD_BITS, 2);
    std::uint8_t checksum = 0;
    for (std::size_t i = 0; i < SIM_SECTOR_SIZE; ++i) {
        put_gcr_byte(&sink, data[i]);
        checksum = static_cast<std::uint8_t>(checksum ^ data[i]);
    }
    put_gcr_byte(&sink, checksum);
    put_bits(&sink, status, 3);
    put_bits(&sink, last ? 1u : 0u, 1);
}

}  // namespace

std::uint8_t sim_gcr_code(unsigned nybble) { return GCR_CODES[nybble & 0x0Fu]; }

std::uint8_t sim_transfer_form(std::uint8_t recorded) {
    // Wire bit w carries recorded bit SOURCE[w], inverted.
    static constexpr int SOURCE[8] = {3, 1, 2, 0, 7, 5, 6, 4};
    unsigned wire = 0;
    for (int w = 0; w < 8; ++w) wire |= ((~recorded >> SOURCE[w]) & 1u) << w;
    return static_cast<std::uint8_t>(wire);
}

void sim_build_sector_packet(const std::uint8_t* data, const sim_packet_form* form, std::uint8_t* packet) {
    lay_stream(data, 0, form->last, packet);
    unsigned code = form->raw_sector_code >= 0 ? static_cast<unsigned>(form->raw_sector_code) & 0x1Fu
                                               : sim_gcr_code(static_cast<unsigned>(form->sector));
    if (form->sector & 0x10) code |= 0x20u;
    finish_packet(packet, static_cast<std::uint8_t>(code), form->last && form->check_bit3);
}

void sim_build_retries_packet(std::uint8_t* packet) {
    std::uint8_t nothing[SIM_SECTOR_SIZE] = {};
    lay_stream(nothing, STATUS_GAVE_UP, true, packet);
    finish_packet(packet, 0, false);
}
