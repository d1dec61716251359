#pragma once
#include <array>
#include <cstdint>

// Commodore GCR: each nybble is recorded as a 5-bit code, most significant bit
// first; a data byte is two codes, high nybble first. Five bytes hold eight
// codes, that is four data bytes.

inline constexpr std::uint8_t GCR_INVALID = 255;
inline constexpr std::uint32_t GCR_GROUP_BYTES = 5;
inline constexpr std::uint32_t GCR_GROUP_DATA = 4;

// The nybble for each of the 32 codes; the 16 codes that are no nybble's hold
// GCR_INVALID.
inline constexpr std::array<std::uint8_t, 32> gcr_decode_table = {
    255, 255, 255, 255, 255, 255, 255, 255,  // 0x00-0x07
    255, 8,   0,   1,   255, 12,  4,   5,    // 0x08-0x0F
    255, 255, 2,   3,   255, 15,  6,   7,    // 0x10-0x17
    255, 9,   10,  11,  255, 13,  14,  255,  // 0x18-0x1F
};

// Two codes (10 bits, first code high) straight to the byte they make, so a
// group costs four lookups.
constexpr std::array<std::uint8_t, 1024> make_gcr_pair_table() {
    std::array<std::uint8_t, 1024> table{};
    for (unsigned pair = 0; pair < 1024; ++pair) {
        const unsigned high = gcr_decode_table[pair >> 5];
        const unsigned low = gcr_decode_table[pair & 0x1Fu];
        table[pair] = static_cast<std::uint8_t>(((high << 4) | (low & 0x0Fu)) & 0xFFu);
    }
    return table;
}

inline constexpr std::array<std::uint8_t, 1024> gcr_pair_table = make_gcr_pair_table();

// Decodes the eight codes of `gcr` (5 bytes) into `data` (4 bytes). Output
// byte j is (entry of code 2j) << 4 | (entry of code 2j+1) & 0x0F, so an
// invalid code leaves the nybble 15 in its place; nothing is reported.
// Inline: the copy decodes 64 groups per packet at the link's full speed.
inline void gcr_decode_group(const std::uint8_t* gcr, std::uint8_t* data) {
    const std::uint64_t bits = (static_cast<std::uint64_t>(gcr[0]) << 32) |
                               (static_cast<std::uint64_t>(gcr[1]) << 24) |
                               (static_cast<std::uint64_t>(gcr[2]) << 16) |
                               (static_cast<std::uint64_t>(gcr[3]) << 8) | gcr[4];
    data[0] = gcr_pair_table[(bits >> 30) & 0x3FFu];
    data[1] = gcr_pair_table[(bits >> 20) & 0x3FFu];
    data[2] = gcr_pair_table[(bits >> 10) & 0x3FFu];
    data[3] = gcr_pair_table[bits & 0x3FFu];
}
