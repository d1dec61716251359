#include "diskcopy/gcr.h"

namespace {

// Two codes (10 bits, first code high) straight to the byte they make, so a
// group costs four lookups.
constexpr std::array<std::uint8_t, 1024> make_pair_table() {
    std::array<std::uint8_t, 1024> table{};
    for (unsigned pair = 0; pair < 1024; ++pair) {
        const unsigned high = gcr_decode_table[pair >> 5];
        const unsigned low = gcr_decode_table[pair & 0x1Fu];
        table[pair] = static_cast<std::uint8_t>(((high << 4) | (low & 0x0Fu)) & 0xFFu);
    }
    return table;
}

constexpr std::array<std::uint8_t, 1024> pair_table = make_pair_table();

}  // namespace

void gcr_decode_group(const std::uint8_t* gcr, std::uint8_t* data) {
    const std::uint64_t bits = (static_cast<std::uint64_t>(gcr[0]) << 32) |
                               (static_cast<std::uint64_t>(gcr[1]) << 24) |
                               (static_cast<std::uint64_t>(gcr[2]) << 16) |
                               (static_cast<std::uint64_t>(gcr[3]) << 8) | gcr[4];
    data[0] = pair_table[(bits >> 30) & 0x3FFu];
    data[1] = pair_table[(bits >> 20) & 0x3FFu];
    data[2] = pair_table[(bits >> 10) & 0x3FFu];
    data[3] = pair_table[bits & 0x3FFu];
}
