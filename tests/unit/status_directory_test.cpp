// The -s and -l tasks against the scripted fake port: what goes out, what is
// printed on each outcome, and the task's result.
#include <gtest/gtest.h>

#include <cctype>
#include <cstdint>
#include <ostream>
#include <string>
#include <vector>

#include "fake_port.h"
#include "tasks/directory.h"
#include "tasks/status.h"

namespace {

const std::string PROMPT_TEXT = "\r\n> ";

// One step of the adapter's side of the conversation.
struct step {
    enum { BYTES, SILENCE, FAIL } kind;
    std::string bytes;
};

step bytes_of(const std::string& s) { return {step::BYTES, s}; }
step silence(int polls) { return {step::SILENCE, std::string(static_cast<std::size_t>(polls), ' ')}; }
step failing_read() { return {step::FAIL, ""}; }

void play(const std::vector<step>& script) {
    fake_reset();
    for (const step& s : script) {
        switch (s.kind) {
        case step::BYTES: fake_read_bytes(s.bytes); break;
        case step::SILENCE: fake_read_empty(static_cast<int>(s.bytes.size())); break;
        case step::FAIL: fake_read_fail(s.bytes); break;
        }
    }
}

// The elapsed time varies from run to run; everything else is compared as
// is. The number must have the form of "%.2f".
std::string without_time(const std::string& output) {
    static const std::string before = "succeeded in ";
    static const std::string after = " seconds.";
    const std::size_t start = output.find(before);
    if (start == std::string::npos) return output;
    const std::size_t digits = start + before.size();
    std::size_t at = digits;
    while (at < output.size() && output[at] >= '0' && output[at] <= '9') ++at;
    const bool form = at > digits && output.compare(at, 1, ".") == 0 && at + 3 <= output.size() &&
                      std::isdigit(static_cast<unsigned char>(output[at + 1])) &&
                      std::isdigit(static_cast<unsigned char>(output[at + 2])) &&
                      output.compare(at + 3, after.size(), after) == 0;
    if (!form) return output;
    return output.substr(0, digits) + "#.##" + output.substr(at + 3);
}

struct outcome {
    int result;
    std::string out;
    std::string err;
};

template <typename Task>
outcome run_captured(Task task) {
    testing::internal::CaptureStdout();
    testing::internal::CaptureStderr();
    const int result = task();
    std::string out = testing::internal::GetCapturedStdout();
    std::string err = testing::internal::GetCapturedStderr();
    return {result, without_time(out), err};
}

struct task_case {
    const char* name;
    int drive;
    int escape;  // the -l task only
    std::vector<step> script;
    int result;
    std::string out;
    std::string err;
    std::string written;  // the command line as it went out, without its LF
};

void PrintTo(const task_case& c, std::ostream* out) { *out << c.name; }

void expect_outcome(const task_case& c, const outcome& o) {
    EXPECT_EQ(o.result, c.result);
    EXPECT_EQ(o.out, c.out);
    EXPECT_EQ(o.err, c.err);
    EXPECT_EQ(fake_written(), c.written) << "expected:\n" << hex_dump(c.written) << "\nactual:\n"
                                         << hex_dump(fake_written());
}

// ---- Status

const std::string STATUS_ECHO = "de 0x8\r\n";
const std::string STATUS_LINE = "Fetching drive status... ";
const std::string STATUS_DONE = STATUS_LINE + "succeeded in #.## seconds.\n\n";

std::string length_byte(std::size_t n) { return std::string(1, static_cast<char>(n)); }

std::vector<task_case> status_cases() {
    const std::string ok_text = "00, OK,00,00";
    const std::string long_text(255, 'S');
    return {
        {"Text", 8, 0, {bytes_of("Ready." + PROMPT_TEXT), bytes_of(STATUS_ECHO + "OK" + length_byte(12) + ok_text)},
         1, STATUS_DONE + ok_text + "\n", "", "de 0x8\r"},
        {"DriveElevenIsWrittenInHex", 11, 0,
         {bytes_of(PROMPT_TEXT), bytes_of("de 0xb\r\nOK" + length_byte(13) + "73,CBM DOS,00")},
         1, STATUS_DONE + "73,CBM DOS,00\n", "", "de 0xb\r"},
        {"TextArrivingInPiecesWithPauses", 9, 0,
         {bytes_of(PROMPT_TEXT), bytes_of("de 0x9\r\nO"), silence(5), bytes_of("K"), silence(3),
          bytes_of(length_byte(12) + "00,"), silence(7), bytes_of(" OK,00,00")},
         1, STATUS_DONE + ok_text + "\n", "", "de 0x9\r"},
        {"LongestTextIsPrintedWhole", 8, 0, {bytes_of(PROMPT_TEXT), bytes_of(STATUS_ECHO + "OK" + length_byte(255) + long_text)},
         1, STATUS_DONE + long_text + "\n", "", "de 0x8\r"},
        {"TextStopsAtAZeroByte", 8, 0,
         {bytes_of(PROMPT_TEXT), bytes_of(STATUS_ECHO + "OK" + length_byte(5) + std::string("21,\0X", 5))},
         1, STATUS_DONE + "21,\n", "", "de 0x8\r"},
        // An empty status text is a complete answer, not a reason to wait.
        {"EmptyTextSucceedsAtOnce", 8, 0, {bytes_of(PROMPT_TEXT), bytes_of(STATUS_ECHO + "OK" + length_byte(0))},
         1, STATUS_DONE + "\n", "", "de 0x8\r"},
        {"DeviceNotPresent", 8, 0, {bytes_of(PROMPT_TEXT), bytes_of(STATUS_ECHO + "NP")}, 0,
         STATUS_LINE + "device not present.\n", "", "de 0x8\r"},
        {"OtherReplyCode", 8, 0, {bytes_of(PROMPT_TEXT), bytes_of(STATUS_ECHO + "KO")}, 0, STATUS_LINE + "failed.\n",
         "", "de 0x8\r"},
        {"SilenceInsteadOfTheReply", 8, 0, {bytes_of(PROMPT_TEXT), bytes_of(STATUS_ECHO + "O")}, 0,
         STATUS_LINE + "timed out.\n", "", "de 0x8\r"},
        {"SilenceInsteadOfTheLength", 8, 0, {bytes_of(PROMPT_TEXT), bytes_of(STATUS_ECHO + "OK")}, 0,
         STATUS_LINE + "timed out.\n", "", "de 0x8\r"},
        {"SilenceInsideTheText", 8, 0, {bytes_of(PROMPT_TEXT), bytes_of(STATUS_ECHO + "OK" + length_byte(12) + "00, O")},
         0, STATUS_LINE + "timed out.\n", "", "de 0x8\r"},
        {"ReadFailsInsideTheText", 8, 0,
         {bytes_of(PROMPT_TEXT), bytes_of(STATUS_ECHO + "OK" + length_byte(12) + "00"), failing_read()}, 0,
         STATUS_LINE + "failed.\n", "", "de 0x8\r"},
        {"WrongEcho", 8, 0, {bytes_of(PROMPT_TEXT), bytes_of("de 0x9\r\nOK" + length_byte(12) + ok_text)}, 0,
         STATUS_LINE + "failed.\n", "", "de 0x8\r"},
        {"NoPrompt", 8, 0, {bytes_of("Ready.\r\n")}, 0, "", "Timeout synchronizing with device.\n", ""},
        {"ReadFailsWhileSyncing", 8, 0, {failing_read()}, 0, "", "Error synchronizing with device.\n", ""},
    };
}

class StatusTask : public testing::TestWithParam<task_case> {};

TEST_P(StatusTask, PrintsTheStatusOrTheFailure) {
    const task_case& c = GetParam();
    play(c.script);
    serial_port port;
    // One second: a silent adapter costs 1000 empty polls of the fake port.
    const outcome o = run_captured([&] { return query_status(&port, c.drive, 1); });
    expect_outcome(c, o);
}

INSTANTIATE_TEST_SUITE_P(Conversations, StatusTask, testing::ValuesIn(status_cases()),
                         [](const testing::TestParamInfo<task_case>& p) { return p.param.name; });

TEST(StatusTask, EmptyTextReadsNothingAfterTheLengthByte) {
    play({bytes_of(PROMPT_TEXT), bytes_of(STATUS_ECHO + "OK" + length_byte(0)), bytes_of("left")});
    serial_port port;
    const outcome o = run_captured([&] { return query_status(&port, 8, 1); });
    EXPECT_EQ(o.result, 1);
    EXPECT_EQ(fake_unread(), 4u);
}

// ---- Directory

using bytes = std::vector<std::uint8_t>;

void append_word(bytes* image, std::uint16_t value) {
    image->push_back(static_cast<std::uint8_t>(value & 0xFF));
    image->push_back(static_cast<std::uint8_t>(value >> 8));
}

void append_line(bytes* image, std::uint16_t number, const std::string& text) {
    append_word(image, 0x0101);  // the drive's placeholder link
    append_word(image, number);
    image->insert(image->end(), text.begin(), text.end());
    image->push_back(0);
}

// A drive's directory of one file, as the adapter delivers it.
bytes small_directory() {
    bytes image;
    append_word(&image, 0x0801);
    append_line(&image, 0, std::string("\x12\"DEMO") + std::string(12, '\xa0') + "\" 01 2A");
    append_line(&image, 1, "   \"HELLO\"            PRG  ");
    append_line(&image, 663, "BLOCKS FREE.             ");
    append_word(&image, 0);
    return image;
}

const std::string SMALL_PLAIN =
    "0 .\"demo            \" 01 2a\n"
    "1    \"hello\"            prg  \n"
    "663 blocks free.             \n";

std::string word_of(std::size_t n) {
    return {static_cast<char>(n & 0xFF), static_cast<char>((n >> 8) & 0xFF)};
}

// The load address, then the rest in chunks whose sizes repeat `sizes`, each
// after its length, and the closing zero length.
std::string chunked(const bytes& image, const std::vector<std::size_t>& sizes) {
    std::string out(image.begin(), image.begin() + 2);
    std::size_t at = 2;
    for (std::size_t i = 0; at < image.size(); ++i) {
        const std::size_t n = std::min(sizes[i % sizes.size()], image.size() - at);
        out += word_of(n);
        out.append(image.begin() + static_cast<std::ptrdiff_t>(at), image.begin() + static_cast<std::ptrdiff_t>(at + n));
        at += n;
    }
    return out + word_of(0);
}

const std::string DIR_ECHO = "dd \"$\" 0x8\r\n";
const std::string DIR_WRITTEN = "dd \"$\" 0x8\r";
const std::string DIR_LINE = "Fetching directory listing... ";
const std::string DIR_DONE = DIR_LINE + "succeeded in #.## seconds.\n\n";

// A valid image of `size` bytes: one line loaded at 0x1001 whose text fills it.
bytes image_of_size(std::size_t size) {
    bytes image;
    append_word(&image, 0x1001);
    const std::size_t text = size - 2 - 4 - 1 - 2;
    append_word(&image, static_cast<std::uint16_t>(0x1001 + 4 + text + 1));
    append_word(&image, 10);
    image.insert(image.end(), text, 'A');
    image.push_back(0);
    append_word(&image, 0);
    return image;
}

std::vector<task_case> directory_cases() {
    const bytes dir = small_directory();
    const std::string whole = chunked(dir, {dir.size()});
    const bytes full = image_of_size(LISTING_BUFFER_SIZE);
    const std::string full_listing = "10 " + std::string(LISTING_BUFFER_SIZE - 9, 'a') + "\n";
    const bytes over = image_of_size(LISTING_BUFFER_SIZE + 1);
    const std::string load = whole.substr(0, 2);
    return {
        {"OneChunk", 8, 0, {bytes_of(PROMPT_TEXT), bytes_of(DIR_ECHO + "OK" + whole)}, 1, DIR_DONE + SMALL_PLAIN, "",
         DIR_WRITTEN},
        {"OneByteChunks", 8, 0, {bytes_of(PROMPT_TEXT), bytes_of(DIR_ECHO + "OK" + chunked(dir, {1}))}, 1,
         DIR_DONE + SMALL_PLAIN, "", DIR_WRITTEN},
        {"ChunksSplittingFieldsAndLines", 8, 0,
         {bytes_of(PROMPT_TEXT), bytes_of(DIR_ECHO + "OK" + chunked(dir, {3, 1, 29, 2, 60}))}, 1,
         DIR_DONE + SMALL_PLAIN, "", DIR_WRITTEN},
        {"ChunksArrivingWithPauses", 8, 0,
         {bytes_of(PROMPT_TEXT), bytes_of(DIR_ECHO + "OK" + whole.substr(0, 3)), silence(4),
          bytes_of(whole.substr(3, 40)), silence(9), bytes_of(whole.substr(43))},
         1, DIR_DONE + SMALL_PLAIN, "", DIR_WRITTEN},
        {"EscapeFlagReachesTheListing", 8, 1, {bytes_of(PROMPT_TEXT), bytes_of(DIR_ECHO + "OK" + whole)}, 1,
         DIR_DONE + "0 {revs on}\"demo" +
             [] {
                 std::string s;
                 for (int i = 0; i < 12; ++i) s += "{shift+space}";
                 return s;
             }() +
             "\" 01 2a\n1    \"hello\"            prg  \n663 blocks free.             \n",
         "", DIR_WRITTEN},
        {"DriveElevenIsWrittenInHex", 11, 0, {bytes_of(PROMPT_TEXT), bytes_of("dd \"$\" 0xb\r\nOK" + whole)}, 1,
         DIR_DONE + SMALL_PLAIN, "", "dd \"$\" 0xb\r"},
        {"FullBufferIsAccepted", 8, 0, {bytes_of(PROMPT_TEXT), bytes_of(DIR_ECHO + "OK" + chunked(full, {1000}))}, 1,
         DIR_DONE + full_listing, "", DIR_WRITTEN},
        {"OneByteTooManyFails", 8, 0, {bytes_of(PROMPT_TEXT), bytes_of(DIR_ECHO + "OK" + chunked(over, {1000}))}, 0,
         DIR_LINE + "failed.\n", "", DIR_WRITTEN},
        {"ZeroLengthRightAfterTheLoadAddress", 8, 0, {bytes_of(PROMPT_TEXT), bytes_of(DIR_ECHO + "OK" + load + word_of(0))},
         0, DIR_DONE, "", DIR_WRITTEN},
        {"EndMarkerOnly", 8, 0,
         {bytes_of(PROMPT_TEXT), bytes_of(DIR_ECHO + "OK" + load + word_of(2) + word_of(0) + word_of(0))}, 1, DIR_DONE,
         "", DIR_WRITTEN},
        {"FileNotFound", 8, 0, {bytes_of(PROMPT_TEXT), bytes_of(DIR_ECHO + "NF")}, 0, DIR_LINE + "file not found.\n", "",
         DIR_WRITTEN},
        {"DeviceNotPresent", 8, 0, {bytes_of(PROMPT_TEXT), bytes_of(DIR_ECHO + "NP")}, 0,
         DIR_LINE + "device not present.\n", "", DIR_WRITTEN},
        {"SilenceInsteadOfTheReply", 8, 0, {bytes_of(PROMPT_TEXT), bytes_of(DIR_ECHO)}, 0, DIR_LINE + "timed out.\n", "",
         DIR_WRITTEN},
        {"SilenceInsideTheLoadAddress", 8, 0, {bytes_of(PROMPT_TEXT), bytes_of(DIR_ECHO + "OK" + load.substr(0, 1))}, 0,
         DIR_LINE + "timed out.\n", "", DIR_WRITTEN},
        {"SilenceInsideAChunk", 8, 0, {bytes_of(PROMPT_TEXT), bytes_of(DIR_ECHO + "OK" + whole.substr(0, 50))}, 0,
         DIR_LINE + "timed out.\n", "", DIR_WRITTEN},
        {"SilenceInsideAChunkLength", 8, 0, {bytes_of(PROMPT_TEXT), bytes_of(DIR_ECHO + "OK" + load + "\x05")}, 0,
         DIR_LINE + "timed out.\n", "", DIR_WRITTEN},
        {"NoZeroLength", 8, 0, {bytes_of(PROMPT_TEXT), bytes_of(DIR_ECHO + "OK" + whole.substr(0, whole.size() - 2))}, 0,
         DIR_LINE + "timed out.\n", "", DIR_WRITTEN},
        {"ReadFailsInsideAChunk", 8, 0,
         {bytes_of(PROMPT_TEXT), bytes_of(DIR_ECHO + "OK" + whole.substr(0, 50)), failing_read()}, 0,
         DIR_LINE + "failed.\n", "", DIR_WRITTEN},
        {"WrongEcho", 8, 0, {bytes_of(PROMPT_TEXT), bytes_of("dd \"$\" 0x9\r\nOK" + whole)}, 0, DIR_LINE + "failed.\n",
         "", DIR_WRITTEN},
        {"NoPrompt", 8, 0, {bytes_of("\r\n>")}, 0, "", "Timeout synchronizing with device.\n", ""},
        {"ReadFailsWhileSyncing", 8, 0, {bytes_of("\r\n"), failing_read()}, 0, "", "Error synchronizing with device.\n",
         ""},
    };
}

class DirectoryTask : public testing::TestWithParam<task_case> {};

TEST_P(DirectoryTask, PrintsTheListingOrTheFailure) {
    const task_case& c = GetParam();
    play(c.script);
    serial_port port;
    const outcome o = run_captured([&] { return fetch_directory(&port, c.drive, c.escape, 1); });
    expect_outcome(c, o);
}

INSTANTIATE_TEST_SUITE_P(Conversations, DirectoryTask, testing::ValuesIn(directory_cases()),
                         [](const testing::TestParamInfo<task_case>& p) { return p.param.name; });

// A chunk that does not fit is refused before any of it is read, and the
// host reads nothing after the zero length.
TEST(DirectoryTask, OversizedChunkIsNotRead) {
    const bytes over = image_of_size(LISTING_BUFFER_SIZE + 1);
    const std::string stream = chunked(over, {LISTING_BUFFER_SIZE - 2, 1});
    play({bytes_of(PROMPT_TEXT), bytes_of(DIR_ECHO + "OK" + stream)});
    serial_port port;
    const outcome o = run_captured([&] { return fetch_directory(&port, 8, 0, 1); });
    EXPECT_EQ(o.result, 0);
    // Left unread: the one byte of the last chunk and the zero length.
    EXPECT_EQ(fake_unread(), 3u);
}

// Each chunk is asked for whole, straight into its place: with the stream
// waiting in the port, one read call per field and per chunk.
TEST(DirectoryTask, EachChunkIsOneReadRequest) {
    const bytes image = image_of_size(1200);
    play({bytes_of(PROMPT_TEXT), bytes_of(DIR_ECHO + "OK" + chunked(image, {100, 17, 1000}))});
    serial_port port;
    const outcome o = run_captured([&] { return fetch_directory(&port, 8, 0, 1); });
    ASSERT_EQ(o.result, 1);
    const std::vector<std::uint32_t> expected = {
        256,                                           // sync up to the prompt
        static_cast<std::uint32_t>(DIR_ECHO.size()),  // echo
        2,                                             // reply
        2,                                             // load address
        2, 100, 2, 17, 2, 1000, 2, 81, 2,              // each length, then its chunk
    };
    EXPECT_EQ(fake_stats().read_requests, expected);
}

TEST(DirectoryTask, NothingIsReadAfterTheZeroLength) {
    const bytes dir = small_directory();
    play({bytes_of(PROMPT_TEXT), bytes_of(DIR_ECHO + "OK" + chunked(dir, {7}) + "\r\n> ")});
    serial_port port;
    const outcome o = run_captured([&] { return fetch_directory(&port, 8, 0, 1); });
    EXPECT_EQ(o.result, 1);
    EXPECT_EQ(fake_unread(), 4u);
}

}  // namespace
