// GCR group decoding: eight 5-bit codes in five bytes, two codes to a byte.
#include <gtest/gtest.h>

#include <array>
#include <cstdint>
#include <string>

#include "diskcopy/gcr.h"
#include "fake_port.h"
#include "packet_builder.h"

namespace {

std::string bytes_of(const std::uint8_t* p, std::size_t n) {
    return std::string(reinterpret_cast<const char*>(p), n);
}

// Packs eight 5-bit codes, first code in the most significant bits.
std::array<std::uint8_t, 5> pack_codes(const std::array<unsigned, 8>& codes) {
    std::array<std::uint8_t, 5> group{};
    builder::bit_writer w{group.data()};
    for (unsigned c : codes) w.put(c, 5);
    return group;
}

struct group_case {
    const char* name;
    std::array<std::uint8_t, 5> gcr;
    std::array<std::uint8_t, 4> data;
};

class GcrGroup : public testing::TestWithParam<group_case> {};

TEST_P(GcrGroup, DecodesWorkedExample) {
    const group_case c = GetParam();
    std::array<std::uint8_t, 4> out{0x11, 0x22, 0x33, 0x44};
    gcr_decode_group(c.gcr.data(), out.data());
    EXPECT_EQ(out, c.data) << "expected " << hex_dump(bytes_of(c.data.data(), 4)) << "\nactual   "
                           << hex_dump(bytes_of(out.data(), 4));
}

INSTANTIATE_TEST_SUITE_P(
    Examples, GcrGroup,
    testing::Values(group_case{"zeros", {0x52, 0x94, 0xA5, 0x29, 0x4A}, {0x00, 0x00, 0x00, 0x00}},
                    group_case{"all_codes_zero", {0x00, 0x00, 0x00, 0x00, 0x00}, {0xFF, 0xFF, 0xFF, 0xFF}},
                    group_case{"all_codes_one", {0xFF, 0xFF, 0xFF, 0xFF, 0xFF}, {0xFF, 0xFF, 0xFF, 0xFF}},
                    // 0x12 0x34 0x56 0x78: codes 0B 12 13 0E 0F 16 17 09.
                    group_case{"counting", {0x5C, 0xA6, 0xE7, 0xDA, 0xE9}, {0x12, 0x34, 0x56, 0x78}},
                    // 0xFF 0xFE 0xC9 0x08: codes 15 15 15 1E 0D 19 09 0A.
                    group_case{"high_nybbles", {0xAD, 0x6B, 0xE6, 0xE5, 0x49}, {0xFF, 0xFE, 0xC9, 0x08}}),
    [](const testing::TestParamInfo<group_case>& p) { return std::string(p.param.name); });

TEST(GcrGroup, EveryByteValueInEveryPosition) {
    for (int position = 0; position < 4; ++position) {
        for (unsigned value = 0; value < 256; ++value) {
            std::array<std::uint8_t, 4> data{0x5A, 0xC3, 0x0F, 0x96};
            data[position] = static_cast<std::uint8_t>(value);
            std::array<unsigned, 8> codes;
            for (int j = 0; j < 4; ++j) {
                codes[2 * j] = builder::nybble_code[data[j] >> 4];
                codes[2 * j + 1] = builder::nybble_code[data[j] & 15];
            }
            const std::array<std::uint8_t, 5> gcr = pack_codes(codes);
            std::array<std::uint8_t, 4> out{};
            gcr_decode_group(gcr.data(), out.data());
            ASSERT_EQ(out, data) << "position " << position << " value " << value;
        }
    }
}

// The codes that stand for no nybble.
constexpr unsigned invalid_codes[] = {0x00, 0x01, 0x02, 0x03, 0x04, 0x05, 0x06, 0x07,
                                      0x08, 0x0C, 0x10, 0x11, 0x14, 0x18, 0x1C, 0x1F};

TEST(GcrGroup, InvalidCodeGivesNybble15InItsPlaceOnly) {
    // Valid neighbours: the codes of 0x3 everywhere but the slot under test.
    for (unsigned invalid : invalid_codes) {
        for (int slot = 0; slot < 8; ++slot) {
            std::array<unsigned, 8> codes;
            codes.fill(builder::nybble_code[3]);
            codes[slot] = invalid;
            const std::array<std::uint8_t, 5> gcr = pack_codes(codes);
            std::array<std::uint8_t, 4> expected;
            expected.fill(0x33);
            expected[slot / 2] = slot % 2 == 0 ? 0xF3 : 0x3F;
            std::array<std::uint8_t, 4> out{};
            gcr_decode_group(gcr.data(), out.data());
            ASSERT_EQ(out, expected) << "code 0x" << std::hex << invalid << " in slot " << slot << "\nexpected "
                                     << hex_dump(bytes_of(expected.data(), 4)) << "\nactual   "
                                     << hex_dump(bytes_of(out.data(), 4));
        }
    }
}

TEST(GcrTable, ValidAndInvalidEntries) {
    for (int nybble = 0; nybble < 16; ++nybble)
        EXPECT_EQ(gcr_decode_table[builder::nybble_code[nybble]], nybble) << "nybble " << nybble;
    for (unsigned code : invalid_codes) EXPECT_EQ(gcr_decode_table[code], GCR_INVALID) << "code " << code;
}

}  // namespace
