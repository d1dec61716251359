// The task frame as the simple tasks run it: what goes out, what is printed
// on which stream, and the verdict.
#include <gtest/gtest.h>

#include <functional>
#include <string>

#include "fake_port.h"
#include "tasks/frame.h"

namespace {

struct frame_case {
    const char* name;
    int drive;
    const char* verb;
    std::int32_t budget;
    std::function<void()> reads;
    int result;
    std::string out;
    std::string err;
    std::string sent;
};

void PrintTo(const frame_case& c, std::ostream* os) { *os << c.name; }

class SimpleTask : public ::testing::TestWithParam<frame_case> {};

TEST_P(SimpleTask, FollowsTheFrame) {
    const frame_case& c = GetParam();
    fake_reset();
    c.reads();
    serial_port port{};
    ::testing::internal::CaptureStdout();
    ::testing::internal::CaptureStderr();
    const int result = run_simple_task(&port, c.drive, "Initializing", c.verb, c.budget);
    const std::string out = ::testing::internal::GetCapturedStdout();
    const std::string err = ::testing::internal::GetCapturedStderr();
    EXPECT_EQ(result, c.result);
    EXPECT_EQ(out, c.out);
    EXPECT_EQ(err, c.err);
    EXPECT_EQ(fake_written(), c.sent) << "expected:\n" << hex_dump(c.sent) << "\nactual:\n" << hex_dump(fake_written());
}

const char* const LABEL = "Initializing... ";

// Its line is 257 bytes, one more than the reply buffer holds.
const std::string too_long_verb = "dc \"" + std::string(246, 'x') + "\"";

std::function<void()> talk(std::string prompt, std::string echo, std::string reply) {
    return [=] {
        fake_read_bytes(prompt);
        fake_read_bytes(echo);
        if (!reply.empty()) fake_read_bytes(reply);
    };
}

INSTANTIATE_TEST_SUITE_P(
    Cases, SimpleTask,
    ::testing::Values(
        frame_case{"success", 8, "di", 2000, talk("hello\r\n> ", "di 0x8\r\n", "OK"), 1,
                   std::string(LABEL) + "succeeded in 0.00 seconds.\n", "", "di 0x8\r"},
        frame_case{"drive_10_is_0xa", 10, "di", 2000, talk("\r\n> ", "di 0xa\r\n", "OK"), 1,
                   std::string(LABEL) + "succeeded in 0.00 seconds.\n", "", "di 0xa\r"},
        frame_case{"drive_11_is_0xb", 11, "rs", 2000, talk("\r\n> ", "rs 0xb\r\n", "OK"), 1,
                   std::string(LABEL) + "succeeded in 0.00 seconds.\n", "", "rs 0xb\r"},
        frame_case{"not_present", 8, "ff", 2000, talk("\r\n> ", "ff 0x8\r\n", "NP"), 0,
                   std::string(LABEL) + "device not present.\n", "", "ff 0x8\r"},
        frame_case{"not_found", 8, "di", 2000, talk("\r\n> ", "di 0x8\r\n", "NF"), 0,
                   std::string(LABEL) + "file not found.\n", "", "di 0x8\r"},
        frame_case{"missing_filename", 8, "di", 2000, talk("\r\n> ", "di 0x8\r\n", "FM"), 0,
                   std::string(LABEL) + "missing filename.\n", "", "di 0x8\r"},
        frame_case{"illegal_device", 8, "di", 2000, talk("\r\n> ", "di 0x8\r\n", "ID"), 0,
                   std::string(LABEL) + "illegal device number.\n", "", "di 0x8\r"},
        frame_case{"other_code", 8, "di", 2000, talk("\r\n> ", "di 0x8\r\n", "KO"), 0,
                   std::string(LABEL) + "failed.\n", "", "di 0x8\r"},
        frame_case{"no_prompt", 8, "di", 50, [] { fake_read_bytes("booting"); }, 0, "",
                   "Timeout synchronizing with device.\n", ""},
        frame_case{"sync_call_fails", 8, "di", 50, [] { fake_read_fail("x"); }, 0, "",
                   "Error synchronizing with device.\n", ""},
        frame_case{"wrong_echo", 8, "di", 50, talk("\r\n> ", "di 0x9\r\n", "OK"), 0,
                   std::string(LABEL) + "failed.\n", "", "di 0x8\r"},
        frame_case{"echo_cut_short", 8, "di", 50, talk("\r\n> ", "di 0x", ""), 0,
                   std::string(LABEL) + "timed out.\n", "", "di 0x8\r"},
        frame_case{"no_reply", 8, "di", 50, talk("\r\n> ", "di 0x8\r\n", ""), 0,
                   std::string(LABEL) + "timed out.\n", "", "di 0x8\r"},
        // A failed read while awaiting the reply: the buffer still holds the
        // echo, which matches no status code.
        frame_case{"reply_call_fails", 8, "di", 50,
                   [] {
                       fake_read_bytes("\r\n> ");
                       fake_read_bytes("di 0x8\r\n");
                       fake_read_fail();
                   },
                   0, std::string(LABEL) + "failed.\n", "", "di 0x8\r"},
        // What the sync spends is gone for the reply.
        frame_case{"budget_shared_by_sync_and_reply", 8, "di", 10,
                   [] {
                       fake_read_empty(8);
                       fake_read_bytes("\r\n> ");
                       fake_read_bytes("di 0x8\r\n");
                       fake_read_empty(1);
                       fake_read_bytes("OK");
                   },
                   1, std::string(LABEL) + "succeeded in 0.00 seconds.\n", "", "di 0x8\r"},
        frame_case{"budget_spent_before_reply", 8, "di", 10,
                   [] {
                       fake_read_empty(8);
                       fake_read_bytes("\r\n> ");
                       fake_read_bytes("di 0x8\r\n");
                       fake_read_empty(2);
                       fake_read_bytes("OK");
                   },
                   0, std::string(LABEL) + "timed out.\n", "", "di 0x8\r"},
        // A line whose echo cannot fit the reply buffer is never sent.
        frame_case{"verb_too_long", 8, too_long_verb.c_str(), 2000,
                   talk("\r\n> ", "", ""), 0, std::string(LABEL) + "failed.\n", "", ""}));

TEST(SimpleTaskLine, LongestAcceptedLineFillsTheReplyBuffer) {
    // 245 characters of text give a 256-byte line: sent and echo-checked.
    const std::string verb = "dc \"" + std::string(245, 'X') + "\"";
    const std::string line = verb + " 0x8\r\n";
    ASSERT_EQ(line.size(), 256u);
    fake_reset();
    talk("\r\n> ", line, "OK")();
    serial_port port{};
    ::testing::internal::CaptureStdout();
    EXPECT_EQ(run_simple_task(&port, 8, "Executing", verb.c_str(), 1000), 1);
    ::testing::internal::GetCapturedStdout();
    EXPECT_EQ(fake_written(), line.substr(0, 255));
}

}  // namespace
