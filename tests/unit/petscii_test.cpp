// PETSCII conversion and the keyword and control-code name tables.
#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <string>

#include "listing/names.h"
#include "listing/petscii.h"

namespace {

struct conversion_case {
    int byte;
    char expected;
};

// Both ends of every range of the conversion, in the lower and the upper half.
const conversion_case CONVERSIONS[] = {
    {0, 0},     {1, '.'},   {4, '.'},   {18, '.'},  {31, '.'},  {32, ' '},  {34, '"'},
    {48, '0'},  {64, '@'},  {65, 'a'},  {90, 'z'},  {91, '['},  {96, '`'},  {97, 'A'},
    {122, 'Z'}, {123, '{'}, {126, '~'}, {127, '?'}, {128, '.'}, {146, '.'}, {159, '.'},
    {160, ' '}, {161, '!'}, {192, '@'}, {193, 'a'}, {218, 'z'}, {219, '['}, {224, '`'},
    {225, 'A'}, {250, 'Z'}, {251, '{'}, {254, '~'}, {255, '?'},
};

class PetsciiConversion : public testing::TestWithParam<conversion_case> {};

TEST_P(PetsciiConversion, GivesTheCharacterOfItsRange) {
    const conversion_case& c = GetParam();
    EXPECT_EQ(petscii_to_ascii(static_cast<std::uint8_t>(c.byte)), c.expected) << "byte " << c.byte;
}

INSTANTIATE_TEST_SUITE_P(RangeEnds, PetsciiConversion, testing::ValuesIn(CONVERSIONS));

TEST(PetsciiConversion, EveryNonZeroByteIsPrintableAndIgnoresTheTopBit) {
    for (int b = 1; b < 256; ++b) {
        const char c = petscii_to_ascii(static_cast<std::uint8_t>(b));
        EXPECT_GE(c, 32) << "byte " << b;
        EXPECT_LE(c, 126) << "byte " << b;
        if (b < 128) {
            EXPECT_EQ(c, petscii_to_ascii(static_cast<std::uint8_t>(b + 128))) << "byte " << b;
        }
    }
}

struct name_case {
    int byte;
    const char* keyword;  // nullptr: no keyword
    const char* control;  // nullptr: no control-code name
};

// The ends of both tables, the entries the listing relies on most, and the
// bytes just outside.
const name_case NAMES[] = {
    {0x04, nullptr, nullptr},
    {0x05, nullptr, "{white}"},
    {0x06, nullptr, "."},
    {0x0D, nullptr, "{return}"},
    {0x12, nullptr, "{revs on}"},
    {0x1B, nullptr, "."},
    {0x1F, nullptr, "{blue}"},
    {0x20, nullptr, nullptr},
    {0x7F, nullptr, nullptr},
    {0x80, "end", nullptr},
    {0x81, "for", "{orange}"},
    {0x82, "next", "."},
    {0x84, "input#", "."},
    {0x85, "input", "{f1}"},
    {0x86, "dim", "{f3}"},
    {0x87, "read", "{f5}"},
    {0x88, "let", "{f7}"},
    {0x89, "goto", "{f2}"},
    {0x8A, "run", "{f4}"},
    {0x8B, "if", "{f6}"},
    {0x8C, "restore", "{f8}"},
    {0x8D, "gosub", "{shift+return}"},
    {0x8F, "rem", "."},
    {0x92, "wait", "{revs off}"},
    {0x93, "load", "{clear}"},
    {0x99, "print", "{light green}"},
    {0x9B, "list", "{light grey}"},
    {0x9F, "open", "{cyan}"},
    {0xA0, "close", "{shift+space}"},
    {0xA1, "get", nullptr},
    {0xA3, "tab(", nullptr},
    {0xA4, "to", nullptr},
    {0xA6, "spc(", nullptr},
    {0xAA, "+", nullptr},
    {0xB3, "<", nullptr},
    {0xB4, "sgn", nullptr},
    {0xC4, "str$", nullptr},
    {0xCA, "mid$", nullptr},
    {0xCB, "go", nullptr},
    {0xCC, nullptr, nullptr},
    {0xFF, nullptr, nullptr},
};

std::string shown(const char* text) {
    if (text == nullptr) return "(none)";
    std::string quoted = "\"";
    quoted += text;
    quoted += '"';
    return quoted;
}

class NameTables : public testing::TestWithParam<name_case> {};

TEST_P(NameTables, NameTheByte) {
    const name_case& c = GetParam();
    const auto byte = static_cast<std::uint8_t>(c.byte);
    EXPECT_EQ(shown(keyword_name(byte)), shown(c.keyword)) << "byte 0x" << std::hex << c.byte;
    EXPECT_EQ(shown(control_code_name(byte)), shown(c.control)) << "byte 0x" << std::hex << c.byte;
}

INSTANTIATE_TEST_SUITE_P(Boundaries, NameTables, testing::ValuesIn(NAMES));

TEST(NameTables, CoverExactlyTheirRanges) {
    int keywords = 0;
    int controls = 0;
    int unnamed = 0;
    for (int b = 0; b < 256; ++b) {
        const auto byte = static_cast<std::uint8_t>(b);
        if (const char* k = keyword_name(byte)) {
            ++keywords;
            EXPECT_GT(std::strlen(k), 0u) << "token " << b;
        }
        if (const char* n = control_code_name(byte)) {
            ++controls;
            const std::size_t length = std::strlen(n);
            if (std::strcmp(n, ".") == 0) {
                ++unnamed;
            } else {
                ASSERT_GE(length, 3u) << "code " << b;
                EXPECT_EQ(n[0], '{') << "code " << b;
                EXPECT_EQ(n[length - 1], '}') << "code " << b;
            }
        }
    }
    EXPECT_EQ(keywords, 76);
    EXPECT_EQ(controls, 59);
    EXPECT_EQ(unnamed, 18);
}

}  // namespace
