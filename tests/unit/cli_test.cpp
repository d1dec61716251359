// The option scan: which task, drive, timeout and port a command line gives,
// and which command lines end in the help screen or a refusal.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "cli/options.h"

namespace {

struct scan_case {
    std::vector<std::string> args;  // after the program name
    scan_result result;
    task_kind task;
    int drive;
    int timeout;
    const char* port;
    const char* error;  // standard error, exactly
};

void PrintTo(const scan_case& c, std::ostream* os) {
    for (const auto& a : c.args) *os << '[' << a << ']';
}

struct scanned {
    scan_result result;
    settings s;
    std::string error;
    std::vector<std::string> storage;  // keeps the elements alive: settings point into them
};

scanned scan(const std::vector<std::string>& args) {
    scanned out;
    out.storage = args;
    out.storage.insert(out.storage.begin(), "orvelan");
    std::vector<char*> argv;
    for (auto& a : out.storage) argv.push_back(a.data());
    argv.push_back(nullptr);
    ::testing::internal::CaptureStderr();
    out.result = scan_command_line(static_cast<int>(out.storage.size()), argv.data(), &out.s);
    out.error = ::testing::internal::GetCapturedStderr();
    return out;
}

const char* const DRIVE_ERROR = "Valid drive numbers: 8-11.\n";
const char* const TIMEOUT_ERROR = "Valid timeout values are positive integers.\n";
const char* const LINE_BREAK_ERROR = "Disk command must not contain line breaks.\n";

class Scan : public ::testing::TestWithParam<scan_case> {};

TEST_P(Scan, ReadsTheCommandLine) {
    const scan_case& c = GetParam();
    const scanned got = scan(c.args);
    EXPECT_EQ(got.result, c.result);
    EXPECT_EQ(got.error, c.error);
    if (c.result == SCAN_INVALID) return;
    EXPECT_EQ(got.s.drive, c.drive);
    if (c.result != SCAN_RUN) return;
    EXPECT_EQ(got.s.task, c.task);
    EXPECT_EQ(got.s.timeout, c.timeout);
    EXPECT_STREQ(got.s.port_name, c.port);
}

const std::string long_text(246, 'x');

INSTANTIATE_TEST_SUITE_P(
    Cases, Scan,
    ::testing::Values(
        scan_case{{}, SCAN_HELP, TASK_NONE, 8, 0, nullptr, ""},
        scan_case{{"-l"}, SCAN_HELP, TASK_NONE, 8, 0, nullptr, ""},
        scan_case{{"COM6"}, SCAN_HELP, TASK_NONE, 8, 0, nullptr, ""},
        scan_case{{"-s", "-e"}, SCAN_HELP, TASK_NONE, 8, 0, nullptr, ""},
        scan_case{{"-l", "COM6", "-e"}, SCAN_HELP, TASK_NONE, 8, 0, nullptr, ""},
        // The scan stops at COM6, so the bad drive number is never read.
        scan_case{{"-l", "COM6", "-d", "12"}, SCAN_HELP, TASK_NONE, 8, 0, nullptr, ""},
        scan_case{{"-d", "12", "-l", "COM6"}, SCAN_INVALID, TASK_NONE, 0, 0, nullptr, DRIVE_ERROR},
        scan_case{{"-d", "7", "-l", "COM6"}, SCAN_INVALID, TASK_NONE, 0, 0, nullptr, DRIVE_ERROR},
        scan_case{{"-d", "99999999999999999999", "-l", "COM6"}, SCAN_INVALID, TASK_NONE, 0, 0, nullptr,
                  DRIVE_ERROR},
        scan_case{{"-d", "x", "-l", "COM6"}, SCAN_RUN, TASK_LIST, 8, 0, "COM6", ""},
        scan_case{{"-d", " +11x", "-l", "COM6"}, SCAN_RUN, TASK_LIST, 11, 0, "COM6", ""},
        scan_case{{"-d", "9", "-d", "x", "-i", "COM6"}, SCAN_RUN, TASK_INITIALIZE, 9, 0, "COM6", ""},
        scan_case{{"-t", "x", "-l", "COM6"}, SCAN_INVALID, TASK_NONE, 0, 0, nullptr, TIMEOUT_ERROR},
        scan_case{{"-t", "5", "-t", "x", "-l", "COM6"}, SCAN_RUN, TASK_LIST, 8, 5, "COM6", ""},
        scan_case{{"-t", "0", "-l", "COM6"}, SCAN_INVALID, TASK_NONE, 0, 0, nullptr, TIMEOUT_ERROR},
        scan_case{{"-t", "-3", "-l", "COM6"}, SCAN_INVALID, TASK_NONE, 0, 0, nullptr, TIMEOUT_ERROR},
        scan_case{{"-t", "2147483", "-l", "COM6"}, SCAN_RUN, TASK_LIST, 8, 2147483, "COM6", ""},
        // Seconds times 1000 must fit the signed 32-bit budget.
        scan_case{{"-t", "2147484", "-l", "COM6"}, SCAN_INVALID, TASK_NONE, 0, 0, nullptr,
                  "Valid timeout values are positive integers up to 2147483.\n"},
        scan_case{{"-d", "9"}, SCAN_HELP, TASK_NONE, 9, 0, nullptr, ""},
        scan_case{{"-x", "-l", "COM6"}, SCAN_RUN, TASK_LIST, 8, 0, "COM6", ""},
        scan_case{{"-L", "-l", "COM6"}, SCAN_RUN, TASK_LIST, 8, 0, "COM6", ""},
        scan_case{{"-", "--", "-l", "COM6"}, SCAN_RUN, TASK_LIST, 8, 0, "COM6", ""},
        scan_case{{"-list", "COM6"}, SCAN_RUN, TASK_LIST, 8, 0, "COM6", ""},
        scan_case{{"-w", "out.d64", "-l", "COM6"}, SCAN_RUN, TASK_LIST, 8, 0, "COM6", ""},
        scan_case{{"-l", "-f", "COM6"}, SCAN_RUN, TASK_FORMAT, 8, 0, "COM6", ""},
        scan_case{{"-u", "COM7", "COM6"}, SCAN_RUN, TASK_UPDATE, 8, 0, "COM6", ""},
        scan_case{{"-e", "-s", "COM6"}, SCAN_RUN, TASK_STATUS, 8, 0, "COM6", ""},
        scan_case{{"-r", "COM6"}, SCAN_RUN, TASK_RESET, 8, 0, "COM6", ""},
        scan_case{{"-v", "COM6"}, SCAN_RUN, TASK_VALIDATE, 8, 0, "COM6", ""},
        // An option's argument in last place has nothing to take.
        scan_case{{"-l", "-c"}, SCAN_HELP, TASK_NONE, 8, 0, nullptr, ""},
        scan_case{{"-l", "-d"}, SCAN_HELP, TASK_NONE, 8, 0, nullptr, ""},
        scan_case{{"-l", "-t"}, SCAN_HELP, TASK_NONE, 8, 0, nullptr, ""},
        scan_case{{"-u", "COM7"}, SCAN_HELP, TASK_NONE, 8, 0, nullptr, ""},
        scan_case{{"-w", "x.d64"}, SCAN_HELP, TASK_NONE, 8, 0, nullptr, ""},
        scan_case{{"-c", std::string(245, 'x'), "COM6"}, SCAN_RUN, TASK_EXECUTE, 8, 0, "COM6", ""},
        scan_case{{"-c", long_text, "COM6"}, SCAN_INVALID, TASK_NONE, 0, 0, nullptr,
                  "Disk command too long: at most 245 characters.\n"},
        // A long text whose task was replaced is never sent, so never refused.
        scan_case{{"-c", long_text, "-i", "COM6"}, SCAN_RUN, TASK_INITIALIZE, 8, 0, "COM6", ""},
        // A line break would split the text into a second adapter command.
        scan_case{{"-c", "x\rff", "COM6"}, SCAN_INVALID, TASK_NONE, 0, 0, nullptr, LINE_BREAK_ERROR},
        scan_case{{"-c", "i0\n", "COM6"}, SCAN_INVALID, TASK_NONE, 0, 0, nullptr, LINE_BREAK_ERROR},
        scan_case{{"-c", "\r", "COM6"}, SCAN_INVALID, TASK_NONE, 0, 0, nullptr, LINE_BREAK_ERROR},
        scan_case{{"-c", "s0:a\tb", "COM6"}, SCAN_RUN, TASK_EXECUTE, 8, 0, "COM6", ""},
        scan_case{{"-c", "x\rff", "-s", "COM6"}, SCAN_RUN, TASK_STATUS, 8, 0, "COM6", ""}));

TEST(ScanText, CommandTextIsSwappedInPlaceAndMayLookLikeAnOption) {
    scanned got = scan({"-c", "-l", "COM6"});
    ASSERT_EQ(got.result, SCAN_RUN);
    EXPECT_EQ(got.s.task, TASK_EXECUTE);
    EXPECT_STREQ(got.s.command_text, "-L");
    got = scan({"-c", "v0 Mixed:1", "COM6"});
    EXPECT_STREQ(got.s.command_text, "V0 mIXED:1");
}

TEST(ScanText, FilesAndBootPortAreKeptEvenWhenTheTaskIsReplaced) {
    scanned got = scan({"-w", "a.d64", "-u", "COM7", "-s", "COM6"});
    ASSERT_EQ(got.result, SCAN_RUN);
    EXPECT_EQ(got.s.task, TASK_STATUS);
    EXPECT_STREQ(got.s.output_file, "a.d64");
    EXPECT_STREQ(got.s.boot_port, "COM7");
    EXPECT_FALSE(got.s.escape);
    EXPECT_TRUE(scan({"-e", "-e", "-l", "COM6"}).s.escape);
}

TEST(SwapCase, StopsAtLengthOrNul) {
    struct case_row {
        std::string text;
        std::size_t length;
        std::string expected;
    };
    const case_row cases[] = {
        {"AbZz09@[`{", 10, "aBzZ09@[`{"},
        {"abcd", 2, "ABcd"},
        {std::string("ab\0cd", 5), 5, std::string("AB\0cd", 5)},
        {"\xc1\xe1", 2, "\xc1\xe1"},  // bytes above ASCII stay
    };
    for (const case_row& c : cases) {
        std::string text = c.text;
        swap_case(text.data(), c.length);
        EXPECT_EQ(text, c.expected) << c.text;
    }
}

}  // namespace
