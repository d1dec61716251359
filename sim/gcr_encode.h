#pragma once
// The adapter's side of the disk copy: one sector as the fast transfer delivers
// it. Encode direction only, written from the recording and transfer formats:
// data -> GCR -> the two-bit offset stream with status bits and marks ->
// transfer form of every byte -> check byte.
#include <cstddef>
#include <cstdint>

inline constexpr std::size_t SIM_PACKET_SIZE = 324;
inline constexpr std::size_t SIM_SECTOR_SIZE = 256;

struct sim_packet_form {
    int sector = 0;             // 0-31; bit 4 goes into bit 5 of the sector code
    bool last = false;          // the last packet of its track
    bool check_bit3 = false;    // on a last packet: check byte as if the mark were not yet set
    int raw_sector_code = -1;   // 0-31: send this 5-bit code in place of the sector's own
};

// The 5-bit recording of a nybble.
std::uint8_t sim_gcr_code(unsigned nybble);

// A byte as the fast transfer delivers it: every bit inverted, bits 0/3 and
// 4/7 exchanged.
std::uint8_t sim_transfer_form(std::uint8_t recorded);

// One sector packet for `data` (256 bytes).
void sim_build_sector_packet(const std::uint8_t* data, const sim_packet_form* form, std::uint8_t* packet);

// The packet that ends a track on which the drive gave up: status bits all
// set together with the last-sector mark; it carries no sector.
void sim_build_retries_packet(std::uint8_t* packet);
