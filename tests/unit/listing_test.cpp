// Relinking a received directory image and printing it as LIST does.
#include <gtest/gtest.h>

#include <cstdint>
#include <cstdio>
#include <ostream>
#include <string>
#include <vector>

#include "listing/render.h"

namespace {

using bytes = std::vector<std::uint8_t>;

std::string hex_dump(const bytes& data) {
    std::string out;
    char cell[24];
    for (std::size_t i = 0; i < data.size(); ++i) {
        if (i % 16 == 0) {
            std::snprintf(cell, sizeof cell, "%s%04zx:", i ? "\n" : "", i);
            out += cell;
        }
        std::snprintf(cell, sizeof cell, " %02x", data[i]);
        out += cell;
    }
    return out;
}

// The bytes of a text; PETSCII upper-case letters share their codes with ASCII.
bytes petscii(const std::string& text) { return bytes(text.begin(), text.end()); }

void append_word(bytes* image, std::uint16_t value) {
    image->push_back(static_cast<std::uint8_t>(value & 0xFF));
    image->push_back(static_cast<std::uint8_t>(value >> 8));
}

void set_word(bytes* image, std::size_t at, std::uint16_t value) {
    (*image)[at] = static_cast<std::uint8_t>(value & 0xFF);
    (*image)[at + 1] = static_cast<std::uint8_t>(value >> 8);
}

void append_line(bytes* image, std::uint16_t link, std::uint16_t number, const bytes& text) {
    append_word(image, link);
    append_word(image, number);
    image->insert(image->end(), text.begin(), text.end());
    image->push_back(0);
}

// The drive's placeholder link, which the tool must not trust.
constexpr std::uint16_t DUMMY_LINK = 0x0101;

// Texts of the drive's fixed lengths: 25 bytes for the header and the
// blocks-free line, 27 for a file line.
const std::string HEADER_TEXT = std::string("\x12\"TEST DISK") + std::string(7, '\xa0') + "\" AB 2A";
const std::string FIRST_FILE_TEXT = "   \"FIRST\"            PRG  ";
const std::string SECOND_FILE_TEXT = "  \"SECOND\"          *SEQ<  ";
const std::string BLOCKS_FREE_TEXT = "BLOCKS FREE.             ";

// Header, two files, blocks free and the end marker, 128 bytes, as the drive
// sends them with dummy links.
bytes well_formed_image() {
    bytes image;
    append_word(&image, 0x0801);
    append_line(&image, DUMMY_LINK, 0, petscii(HEADER_TEXT));
    append_line(&image, DUMMY_LINK, 3, petscii(FIRST_FILE_TEXT));
    append_line(&image, DUMMY_LINK, 12, petscii(SECOND_FILE_TEXT));
    append_line(&image, DUMMY_LINK, 652, petscii(BLOCKS_FREE_TEXT));
    append_word(&image, 0);
    return image;
}

// Offsets in the image of the four links of the well-formed image.
constexpr std::size_t HEADER_AT = 2;
constexpr std::size_t FIRST_AT = 32;
constexpr std::size_t SECOND_AT = 64;
constexpr std::size_t BLOCKS_FREE_AT = 96;
constexpr std::size_t MARKER_AT = 126;

bytes relinked_well_formed_image() {
    bytes image = well_formed_image();
    set_word(&image, HEADER_AT, 0x081F);
    set_word(&image, FIRST_AT, 0x083F);
    set_word(&image, SECOND_AT, 0x085F);
    set_word(&image, BLOCKS_FREE_AT, 0x087D);
    return image;
}

bytes with_byte(bytes image, std::size_t at, std::uint8_t value) {
    image[at] = value;
    return image;
}

bytes with_word(bytes image, std::size_t at, std::uint16_t value) {
    set_word(&image, at, value);
    return image;
}

bytes with_load_address(bytes image, std::uint16_t load) { return with_word(std::move(image), 0, load); }

bytes truncated(bytes image, std::size_t count) {
    image.resize(count);
    return image;
}

bytes with_trailing(bytes image, std::size_t count, std::uint8_t fill) {
    image.insert(image.end(), count, fill);
    return image;
}

// The plain and escape renderings of the well-formed image.
const std::string WELL_FORMED_PLAIN =
    "0 .\"test disk       \" ab 2a\n"
    "3    \"first\"            prg  \n"
    "12   \"second\"          *seq<  \n"
    "652 blocks free.             \n";
const std::string WELL_FORMED_ESCAPED =
    "0 {revs on}\"test disk{shift+space}{shift+space}{shift+space}{shift+space}"
    "{shift+space}{shift+space}{shift+space}\" ab 2a\n"
    "3    \"first\"            prg  \n"
    "12   \"second\"          *seq<  \n"
    "652 blocks free.             \n";

struct relink_case {
    const char* name;
    bytes input;
    bytes expected;
};

std::vector<relink_case> relink_cases() {
    const bytes good = well_formed_image();
    const bytes relinked = relinked_well_formed_image();
    // The fourth character of the first file name, and the last text byte of
    // the second file line.
    const std::size_t name_zero_at = FIRST_AT + 4 + 3 + 1 + 3;
    const std::size_t last_text_at = SECOND_AT + 30;
    const std::size_t first_terminator_at = FIRST_AT + 31;
    return {
        {"WellFormedGetsFixedLinks", good, relinked},
        {"ZeroBytesInTextBecomeSpaces",
         with_byte(with_byte(good, name_zero_at, 0), last_text_at, 0),
         with_byte(with_byte(relinked, name_zero_at, ' '), last_text_at, ' ')},
        {"BrokenTerminatorStopsAfterItsOwnLink", with_byte(good, first_terminator_at, 'X'),
         with_word(with_word(with_byte(good, first_terminator_at, 'X'), HEADER_AT, 0x081F), FIRST_AT, 0x083F)},
        {"OtherLoadAddressStaysAsReceived", with_load_address(good, 0x1001), with_load_address(good, 0x1001)},
        {"ImageEndingInsideALineRelinksOnlyWholeLines", truncated(good, FIRST_AT + 12),
         with_word(truncated(good, FIRST_AT + 12), HEADER_AT, 0x081F)},
        {"ImageEndingRightAfterALineLeavesThatLine", truncated(good, SECOND_AT + 32),
         with_word(with_word(truncated(good, SECOND_AT + 32), HEADER_AT, 0x081F), FIRST_AT, 0x083F)},
        {"TwentyEightBytesAfterTheMarkerChangeNothing", with_trailing(good, 28, 'Z'),
         with_trailing(relinked, 28, 'Z')},
        {"ThirtyBytesAfterTheMarkerChangeNothing", with_trailing(good, 30, 'Z'),
         with_trailing(relinked, 30, 'Z')},
        {"ThirtyOneBytesAfterTheMarkerOverwriteIt", with_trailing(good, 31, 'Z'),
         with_word(with_trailing(relinked, 31, 'Z'), MARKER_AT, 0x089D)},
        // Thirty bytes of program: the header fits but nothing follows it.
        {"HeaderWithNothingAfterIt", truncated(good, FIRST_AT), truncated(good, FIRST_AT)},
        {"HeaderAndOneByte", truncated(good, FIRST_AT + 1), with_word(truncated(good, FIRST_AT + 1), HEADER_AT, 0x081F)},
        {"LoadAddressOnly", bytes{0x01, 0x08}, bytes{0x01, 0x08}},
        {"EndMarkerOnly", bytes{0x01, 0x08, 0, 0}, bytes{0x01, 0x08, 0, 0}},
        {"ShorterThanTheLoadAddress", bytes{0x01}, bytes{0x01}},
    };
}

void PrintTo(const relink_case& c, std::ostream* out) { *out << c.name; }

class Relink : public testing::TestWithParam<relink_case> {};

TEST_P(Relink, RewritesOnlyWhatFits) {
    const relink_case& c = GetParam();
    bytes image = c.input;
    relink_listing(image.data(), static_cast<std::uint32_t>(image.size()));
    EXPECT_EQ(image, c.expected) << "expected:\n" << hex_dump(c.expected) << "\nactual:\n" << hex_dump(image);
}

INSTANTIATE_TEST_SUITE_P(Images, Relink, testing::ValuesIn(relink_cases()),
                         [](const testing::TestParamInfo<relink_case>& p) { return p.param.name; });

// Relinks a copy of the image, as the directory task does, and prints it.
struct rendering {
    std::string output;
    int result;
};

rendering render(bytes image, int escape) {
    relink_listing(image.data(), static_cast<std::uint32_t>(image.size()));
    testing::internal::CaptureStdout();
    const int result = print_listing(image.data(), static_cast<std::uint32_t>(image.size()), escape);
    return {testing::internal::GetCapturedStdout(), result};
}

struct print_case {
    const char* name;
    bytes image;
    int escape;
    std::string expected;
    int result;
};

// An image loaded at 0x1001 (never relinked) of lines that each link to the
// next, then the end marker.
bytes program_at_1001(const std::vector<bytes>& texts) {
    bytes image;
    append_word(&image, 0x1001);
    std::uint16_t address = 0x1001;
    std::uint16_t number = 10;
    for (const bytes& text : texts) {
        address = static_cast<std::uint16_t>(address + 4 + text.size() + 1);
        append_line(&image, address, number, text);
        number = static_cast<std::uint16_t>(number + 10);
    }
    append_word(&image, 0);
    return image;
}

bytes link_wrapping_below_base() {
    bytes image;
    append_word(&image, 0xFFF0);
    append_line(&image, 0x0005, 1, petscii("A"));
    image.resize(2 + 21, ' ');
    append_word(&image, 0);
    return image;
}

std::vector<print_case> print_cases() {
    const bytes good = well_formed_image();
    const std::size_t first_terminator_at = FIRST_AT + 31;
    const std::size_t name_zero_at = FIRST_AT + 4 + 3 + 1 + 3;
    const std::string header_plain = "0 .\"test disk       \" ab 2a\n";
    // The escape-mode texts: quote mode, control codes, keywords and characters.
    const bytes clear_in_and_out = petscii("\"A\x93\"\x93");
    const bytes unnamed_codes = {1, 2, 3, 4, 6, 0x0B};
    const bytes tokens_in_and_out = {'"', 0x80, 0xA1, 0xCB, 0xCC, '"', 0x80, 0xA1, 0xCB, 0xCC, 0xFF};
    const bytes shifted_space = {0xA0, '"', 0xA0, '"', 0xA0};
    const bytes colours = {0x05, '"', 0x1C, 0x81, 0x8F, '"', 0x81, 0x1F};
    const bytes many_quotes = {'"', 'A', '"', 0x99, '"', 0x99};
    const bytes open_quote = {'"', 'X'};
    const bytes after_open_quote = {0x93};
    return {
        {"WellFormedPlain", good, 0, WELL_FORMED_PLAIN, 1},
        {"WellFormedEscaped", good, 1, WELL_FORMED_ESCAPED, 1},
        {"ZeroByteInANameIsPrintedAsASpace", with_byte(good, name_zero_at, 0), 0,
         header_plain + "3    \"fir t\"            prg  \n" + "12   \"second\"          *seq<  \n" +
             "652 blocks free.             \n",
         1},
        // The broken line runs on through the next line's link (1, 1) and
        // number (12, 0); the walk then follows the broken line's own link to
        // the next line, whose dummy link lies below the base.
        {"BrokenTerminatorRunsIntoTheNextLine", with_byte(good, first_terminator_at, 'X'), 0,
         header_plain + "3    \"first\"            prg  x...\n" + "12   \"second\"          *seq<  \n", 0},
        {"OtherLoadAddressFollowsReceivedLinks", with_load_address(good, 0x1001), 0, header_plain, 0},
        {"OtherLoadAddressWithItsOwnLinks",
         with_word(with_word(with_word(with_word(with_load_address(good, 0x1001), HEADER_AT, 0x101F), FIRST_AT,
                                       0x103F),
                             SECOND_AT, 0x105F),
                   BLOCKS_FREE_AT, 0x107D),
         0, WELL_FORMED_PLAIN, 1},
        {"ImageEndingInsideALine", truncated(good, FIRST_AT + 12), 0, header_plain + "3    \"firs", 0},
        {"ImageEndingInsideALineNumber", truncated(good, FIRST_AT + 4), 0, header_plain, 0},
        {"ImageEndingInsideALink", truncated(good, FIRST_AT + 1), 0, header_plain, 0},
        {"ImageEndingBeforeTheMarker", truncated(good, MARKER_AT), 0, WELL_FORMED_PLAIN, 0},
        {"LoadAddressOnly", bytes{0x01, 0x08}, 0, "", 0},
        {"EndMarkerOnly", bytes{0x01, 0x08, 0, 0}, 0, "", 1},
        {"TwentyEightBytesAfterTheMarker", with_trailing(good, 28, 'Z'), 0, WELL_FORMED_PLAIN, 1},
        {"ThirtyOneBytesAfterTheMarker", with_trailing(good, 31, 'Z'), 0,
         WELL_FORMED_PLAIN + "23130 " + std::string(29, 'z'), 0},
        {"LinkEqualToTheBase", with_word(program_at_1001({petscii("A")}), 2, 0x1001), 0, "", 0},
        {"LinkOutsideTheImage", with_word(program_at_1001({petscii("A")}), 2, 0x2000), 0, "10 a\n", 0},
        {"EmptyText", program_at_1001({bytes{}}), 0, "10 \n", 1},
        // Loaded at 0xFFF0, a link to 0x0005 wraps to program offset 21,
        // where an end marker waits; a link below the base still ends the walk.
        {"LinkBelowTheBaseWrappingIntoTheImage", link_wrapping_below_base(), 0, "1 a\n", 0},
        {"ClearInsideAndLoadOutsideQuotesPlain", program_at_1001({clear_in_and_out}), 0, "10 \"a.\".\n", 1},
        {"ClearInsideAndLoadOutsideQuotesEscaped", program_at_1001({clear_in_and_out}), 1,
         "10 \"a{clear}\"load\n", 1},
        {"UnnamedCodesPlain", program_at_1001({unnamed_codes}), 0, "10 ......\n", 1},
        {"UnnamedCodesEscaped", program_at_1001({unnamed_codes}), 1, "10 ......\n", 1},
        {"TokensInsideAndOutsideQuotesPlain", program_at_1001({tokens_in_and_out}), 0, "10 \".!kl\".!kl?\n", 1},
        {"TokensInsideAndOutsideQuotesEscaped", program_at_1001({tokens_in_and_out}), 1,
         "10 \".!kl\"endgetgol?\n", 1},
        {"ShiftedSpacePlain", program_at_1001({shifted_space}), 0, "10  \" \" \n", 1},
        {"ShiftedSpaceEscaped", program_at_1001({shifted_space}), 1, "10 close\"{shift+space}\"close\n", 1},
        {"ColoursEscaped", program_at_1001({colours}), 1, "10 {white}\"{red}{orange}.\"for{blue}\n", 1},
        {"QuoteModeSwitchesAtEachQuote", program_at_1001({many_quotes}), 1, "10 \"a\"print\"{light green}\n", 1},
        {"QuoteModeStartsOffOnEveryLine", program_at_1001({open_quote, after_open_quote}), 1,
         "10 \"x\n20 load\n", 1},
    };
}

void PrintTo(const print_case& c, std::ostream* out) { *out << c.name; }

class Print : public testing::TestWithParam<print_case> {};

TEST_P(Print, ListsAsTheC64Does) {
    const print_case& c = GetParam();
    const rendering r = render(c.image, c.escape);
    EXPECT_EQ(r.output, c.expected);
    EXPECT_EQ(r.result, c.result);
}

INSTANTIATE_TEST_SUITE_P(Images, Print, testing::ValuesIn(print_cases()),
                         [](const testing::TestParamInfo<print_case>& p) { return p.param.name; });

// Three lines whose links run 0 -> 1 -> 2 -> 1 above the base: the walk only
// ends at the line limit.
TEST(PrintLimit, CircularLinksPrintExactly6484Lines) {
    bytes image;
    append_word(&image, 0x1001);
    append_line(&image, 0x1007, 1, petscii("A"));
    append_line(&image, 0x100D, 2, petscii("B"));
    append_line(&image, 0x1007, 3, petscii("C"));
    const rendering r = render(image, 0);
    EXPECT_EQ(r.result, 0);
    std::size_t lines = 0;
    for (char c : r.output) lines += c == '\n';
    EXPECT_EQ(lines, 6484u);
    EXPECT_EQ(r.output.substr(0, 12), "1 a\n2 b\n3 c\n");
    // 6484 lines: the first, then 6483 alternating "2 b" and "3 c", ending on "2 b".
    EXPECT_EQ(r.output.substr(r.output.size() - 8), "3 c\n2 b\n");
    EXPECT_EQ(r.output.size(), 4u * 6484u);
}

// Damaged and arbitrary images: the walk always ends within the line limit
// with 0 or 1, and an image not loaded at 0x0801 is never rewritten. The
// images sit in buffers of their exact size, so a sanitizer build also
// catches any access past the received bytes.
struct damage_case {
    const char* name;
    bool from_directory;  // mutate the well-formed image, else random bytes
    std::uint16_t load;   // 0: keep what the bytes say
};

void PrintTo(const damage_case& c, std::ostream* out) { *out << c.name; }

std::uint32_t next_random(std::uint32_t* state) {
    std::uint32_t x = *state;
    x ^= x << 13;
    x ^= x >> 17;
    x ^= x << 5;
    return *state = x;
}

bytes damaged_image(const damage_case& c, std::uint32_t* state) {
    bytes image;
    if (c.from_directory) {
        image = well_formed_image();
        const std::uint32_t flips = 1 + next_random(state) % 6;
        for (std::uint32_t i = 0; i < flips; ++i) {
            image[next_random(state) % image.size()] = static_cast<std::uint8_t>(next_random(state));
        }
        image.resize(next_random(state) % (image.size() + 40));
        for (std::size_t i = well_formed_image().size(); i < image.size(); ++i) {
            image[i] = static_cast<std::uint8_t>(next_random(state));
        }
    } else {
        image.resize(next_random(state) % 300);
        for (std::uint8_t& b : image) b = static_cast<std::uint8_t>(next_random(state) % 4 == 0 ? 0 : next_random(state));
    }
    if (c.load != 0 && image.size() >= 2) set_word(&image, 0, c.load);
    return image;
}

class Damage : public testing::TestWithParam<damage_case> {};

TEST_P(Damage, RenderingStaysBounded) {
    const damage_case& c = GetParam();
    std::uint32_t state = 0x2545F491u;
    for (int round = 0; round < 400; ++round) {
        const bytes original = damaged_image(c, &state);
        bytes image = original;
        relink_listing(image.data(), static_cast<std::uint32_t>(image.size()));
        if (original.size() >= 2 && (original[0] != 0x01 || original[1] != 0x08)) {
            ASSERT_EQ(image, original) << "round " << round << "\nexpected:\n" << hex_dump(original)
                                       << "\nactual:\n" << hex_dump(image);
        }
        testing::internal::CaptureStdout();
        const int result = print_listing(image.data(), static_cast<std::uint32_t>(image.size()), round % 2);
        const std::string output = testing::internal::GetCapturedStdout();
        ASSERT_TRUE(result == 0 || result == 1) << "round " << round;
        std::size_t lines = 0;
        for (char ch : output) {
            lines += ch == '\n';
            ASSERT_TRUE(ch == '\n' || (ch >= 32 && ch <= 126)) << "round " << round << ": byte " << int(ch);
        }
        ASSERT_LE(lines, 6484u) << "round " << round;
    }
}

INSTANTIATE_TEST_SUITE_P(Images, Damage,
                         testing::Values(damage_case{"DirectoryAt0801", true, 0x0801},
                                         damage_case{"DirectoryElsewhere", true, 0x0800},
                                         damage_case{"RandomBytes", false, 0},
                                         damage_case{"RandomBytesAt0801", false, 0x0801}),
                         [](const testing::TestParamInfo<damage_case>& p) { return p.param.name; });

}  // namespace
