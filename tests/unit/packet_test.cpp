// The received packet: transfer byte transform, check-byte test with its
// bit-3 rule, and restoring the recorded stream in place.
#include <gtest/gtest.h>

#include <array>
#include <cstdint>
#include <string>

#include "diskcopy/packet.h"
#include "fake_port.h"
#include "packet_builder.h"

namespace {

std::string bytes_of(const std::uint8_t* p, std::size_t n) {
    return std::string(reinterpret_cast<const char*>(p), n);
}

struct transform_case {
    std::uint8_t in;
    std::uint8_t out;
};

class TransferByte : public testing::TestWithParam<transform_case> {};

TEST_P(TransferByte, MatchesWorkedExample) {
    const transform_case c = GetParam();
    EXPECT_EQ(transfer_byte(c.in), c.out) << std::hex << "in 0x" << int(c.in);
    // The transform is its own inverse.
    EXPECT_EQ(transfer_byte(c.out), c.in) << std::hex << "in 0x" << int(c.out);
}

INSTANTIATE_TEST_SUITE_P(Examples, TransferByte,
                         testing::Values(transform_case{0x00, 0xFF}, transform_case{0x01, 0xF7},
                                         transform_case{0x08, 0xFE}, transform_case{0x10, 0x7F},
                                         transform_case{0x80, 0xEF}, transform_case{0x55, 0x33},
                                         transform_case{0xFF, 0x00}, transform_case{0x02, 0xFD},
                                         transform_case{0x04, 0xFB}, transform_case{0x20, 0xDF},
                                         transform_case{0x40, 0xBF}));

TEST(TransferByte, EveryByteAgreesWithTheBitTable) {
    // Each single bit moves to its own place, inverted; the builder spells the
    // bit table out independently.
    for (unsigned b = 0; b < 256; ++b) {
        const auto v = static_cast<std::uint8_t>(b);
        ASSERT_EQ(transfer_byte(v), builder::to_transfer_form(v)) << "byte " << b;
        ASSERT_EQ(transfer_byte(transfer_byte(v)), v) << "byte " << b;
    }
}

struct check_case {
    const char* name;
    std::uint8_t byte321;     // raw byte 321
    std::uint8_t difference;  // XOR of the check byte with the true XOR of bytes 0-322
    int accepted;
};

class CheckByte : public testing::TestWithParam<check_case> {};

TEST_P(CheckByte, FollowsTheBit3Rule) {
    const check_case c = GetParam();
    std::array<std::uint8_t, 324> raw{};
    for (int i = 0; i < 321; ++i) raw[i] = static_cast<std::uint8_t>(i * 37 + 5);
    raw[321] = c.byte321;
    raw[322] = 0x5A;
    std::uint8_t sum = 0;
    for (int i = 0; i < 323; ++i) sum ^= raw[i];
    raw[323] = static_cast<std::uint8_t>(sum ^ c.difference);
    EXPECT_EQ(packet_checksum_ok(raw.data()), c.accepted);
}

INSTANTIATE_TEST_SUITE_P(
    Rule, CheckByte,
    testing::Values(check_case{"exact_unmarked", 0x0E, 0x00, 1},
                    check_case{"exact_marked", 0xF3, 0x00, 1},
                    check_case{"bit3_marked", 0xF3, 0x08, 1},
                    check_case{"bit3_unmarked", 0x0E, 0x08, 0},
                    check_case{"bit0_marked", 0xF3, 0x01, 0},
                    check_case{"bit3_and_bit0_marked", 0xF3, 0x09, 0},
                    check_case{"bit7_unmarked", 0xFF, 0x80, 0},
                    check_case{"all_bits_marked", 0x04, 0xFF, 0}),
    [](const testing::TestParamInfo<check_case>& p) { return std::string(p.param.name); });

struct uniform_case {
    std::uint8_t fill;
    int accepted;
    bool retries_mark;
};

class UniformPacket : public testing::TestWithParam<uniform_case> {};

TEST_P(UniformPacket, CheckAndMarks) {
    const uniform_case c = GetParam();
    std::array<std::uint8_t, 324> raw;
    raw.fill(c.fill);
    EXPECT_EQ(packet_checksum_ok(raw.data()), c.accepted);
    EXPECT_EQ(packet_retries_exhausted(raw.data()), c.retries_mark);
}

INSTANTIATE_TEST_SUITE_P(Fills, UniformPacket,
                         testing::Values(uniform_case{0x00, 1, true}, uniform_case{0xFF, 1, false}));

TEST(Unscramble, AllFFPacketRestoresToZeros) {
    std::array<std::uint8_t, 324> raw;
    raw.fill(0xFF);
    unscramble_packet(raw.data());
    std::array<std::uint8_t, 324> zeros{};
    EXPECT_EQ(raw, zeros) << hex_dump(bytes_of(raw.data(), 324));
}

TEST(Unscramble, ShiftTakesLowBitsFromTheNextByteBeforeItIsRewritten) {
    // Restored bytes 0x3F 0xC0 0x81 0x40 ...: byte 0 gets 0xFC | 0x03, byte 1
    // 0x00 | 0x02 (from 0x81, not from 0x81 shifted), byte 2 0x04 | 0x01.
    std::array<std::uint8_t, 324> restored{};
    restored[0] = 0x3F;
    restored[1] = 0xC0;
    restored[2] = 0x81;
    restored[3] = 0x40;
    std::array<std::uint8_t, 324> raw;
    for (int i = 0; i < 324; ++i) raw[i] = builder::to_transfer_form(restored[i]);
    unscramble_packet(raw.data());
    const std::uint8_t expected[4] = {0xFF, 0x02, 0x05, 0x00};
    EXPECT_EQ(bytes_of(raw.data(), 4), bytes_of(expected, 4))
        << "expected " << hex_dump(bytes_of(expected, 4)) << "\nactual   " << hex_dump(bytes_of(raw.data(), 4));
}

struct byte321_case {
    const char* name;
    std::uint8_t restored321;  // byte 321 as recorded
    std::uint8_t expected;     // after unscrambling
};

class Unscramble321 : public testing::TestWithParam<byte321_case> {};

TEST_P(Unscramble321, KeepsChecksumBitsAndMark) {
    const byte321_case c = GetParam();
    std::array<std::uint8_t, 324> raw;
    raw.fill(builder::to_transfer_form(0x00));
    raw[321] = builder::to_transfer_form(c.restored321);
    raw[322] = builder::to_transfer_form(0x2A);
    raw[323] = builder::to_transfer_form(0x99);
    unscramble_packet(raw.data());
    EXPECT_EQ(raw[320], static_cast<std::uint8_t>(c.restored321 >> 6)) << "byte 320 takes 321's top bits";
    EXPECT_EQ(raw[321], c.expected) << std::hex << "restored 0x" << int(c.restored321);
    EXPECT_EQ(raw[322], 0x2A);
    EXPECT_EQ(raw[323], 0x99);
}

INSTANTIATE_TEST_SUITE_P(
    Marks, Unscramble321,
    testing::Values(byte321_case{"mark_only", 0x01, 0x01}, byte321_case{"no_mark", 0x00, 0x00},
                    byte321_case{"status_bits_dropped", 0x0E, 0x00},
                    byte321_case{"retries_exhausted", 0x0F, 0x01},
                    byte321_case{"checksum_bits", 0x30, 0xC0}, byte321_case{"upper_bits", 0xC0, 0x00},
                    byte321_case{"everything", 0xFF, 0xC1}),
    [](const testing::TestParamInfo<byte321_case>& p) { return std::string(p.param.name); });

struct built_case {
    const char* name;
    int sector;
    bool last;
    bool check_with_bit3;
    unsigned lead_bits;
};

class BuiltPacket : public testing::TestWithParam<built_case> {};

TEST_P(BuiltPacket, RestoresTheRecordedGcrStream) {
    const built_case c = GetParam();
    builder::packet_spec spec;
    spec.data = builder::pattern(3, c.sector);
    spec.sector = c.sector;
    spec.last = c.last;
    spec.check_with_bit3 = c.check_with_bit3;
    spec.lead_bits = c.lead_bits;
    builder::raw_packet raw = builder::build_packet(spec);
    EXPECT_EQ(packet_retries_exhausted(raw.data()), false);
    EXPECT_EQ(packet_last_mark(raw.data()), c.last);
    ASSERT_EQ(packet_checksum_ok(raw.data()), 1);

    // Expected: the recorded stream from bit 2 on, as the builder laid it out.
    const std::array<std::uint8_t, 323> restored = builder::restored_bytes(spec);
    std::array<std::uint8_t, 320> expected_groups;
    for (int i = 0; i < 320; ++i)
        expected_groups[i] = static_cast<std::uint8_t>((restored[i] << 2) | (restored[i + 1] >> 6));
    unscramble_packet(raw.data());
    EXPECT_EQ(bytes_of(raw.data(), 320), bytes_of(expected_groups.data(), 320))
        << "expected " << hex_dump(bytes_of(expected_groups.data(), 320)) << "\nactual   "
        << hex_dump(bytes_of(raw.data(), 320));
    EXPECT_EQ(raw[321] & 0x3F, c.last ? 1 : 0);
    EXPECT_EQ(raw[322], restored[322]);
}

INSTANTIATE_TEST_SUITE_P(
    Packets, BuiltPacket,
    testing::Values(built_case{"first", 0, false, false, 0}, built_case{"last", 20, true, false, 3},
                    built_case{"last_bit3_check", 7, true, true, 1},
                    built_case{"high_sector", 17, false, false, 2}),
    [](const testing::TestParamInfo<built_case>& p) { return std::string(p.param.name); });

TEST(BuiltPacket, Bit3CheckOnUnmarkedPacketIsRejected) {
    builder::packet_spec spec;
    spec.data = builder::pattern(1, 1);
    spec.check_with_bit3 = true;
    const builder::raw_packet raw = builder::build_packet(spec);
    EXPECT_EQ(packet_checksum_ok(raw.data()), 0);
}

TEST(BuiltPacket, AnySingleFlippedBitIsRejected) {
    builder::packet_spec spec;
    spec.data = builder::pattern(9, 4);
    spec.sector = 4;
    const builder::raw_packet good = builder::build_packet(spec);
    for (int byte : {0, 100, 319, 320, 322, 323}) {
        for (int bit = 0; bit < 8; ++bit) {
            builder::raw_packet bad = good;
            bad[byte] ^= static_cast<std::uint8_t>(1u << bit);
            EXPECT_EQ(packet_checksum_ok(bad.data()), 0) << "byte " << byte << " bit " << bit;
        }
    }
}

}  // namespace
