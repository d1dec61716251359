// The firmware update: the carried image's form, the programmer's argument
// list and command line, the component check, and whole update runs in a
// scratch directory with a fake programmer that records what it was given.
#include <gtest/gtest.h>

#include "command_line_split.h"
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "fake_port.h"
#include "firmware/image.h"
#include "firmware/process.h"
#include "firmware/update.h"

namespace {

namespace fs = std::filesystem;

std::string read_file(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

void write_file(const fs::path& path, const std::string& bytes) {
    std::ofstream(path, std::ios::binary) << bytes;
}

std::vector<std::string> lines_of(const std::string& text) {
    std::vector<std::string> lines;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);) lines.push_back(line);
    return lines;
}

std::string carried_image() { return std::string(FIRMWARE_IMAGE, FIRMWARE_IMAGE_SIZE); }

// ---------------------------------------------------------------------------
// The carried image: the form the adapter's firmware comes in.

struct hex_record {
    unsigned count, address, type;
    std::string data;
};

int hex_value(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;  // lower case counts as malformed: the image is upper case
}

// Parses one record without its line end; false on any malformation.
bool parse_record(const std::string& line, hex_record* record) {
    if (line.size() < 11 || line[0] != ':' || line.size() % 2 == 0) return false;
    std::string bytes;
    for (std::size_t i = 1; i < line.size(); i += 2) {
        const int high = hex_value(line[i]);
        const int low = hex_value(line[i + 1]);
        if (high < 0 || low < 0) return false;
        bytes.push_back(static_cast<char>(high * 16 + low));
    }
    unsigned sum = 0;
    for (char b : bytes) sum += static_cast<unsigned char>(b);
    const auto byte = [&](std::size_t i) { return static_cast<unsigned char>(bytes[i]); };
    record->count = byte(0);
    record->address = byte(1) * 256u + byte(2);
    record->type = byte(3);
    record->data = bytes.substr(4, bytes.size() - 5);
    return sum % 256 == 0 && record->count == record->data.size();
}

TEST(CarriedImage, HasTheAdapterFirmwareForm) {
    const std::string image = carried_image();
    ASSERT_EQ(FIRMWARE_IMAGE_SIZE, 58952u);
    ASSERT_EQ(image.back(), '\0');
    const std::string text = image.substr(0, image.size() - 1);
    ASSERT_EQ(text.find('\0'), std::string::npos) << "a NUL inside the text";

    std::vector<hex_record> records;
    for (std::size_t start = 0; start < text.size();) {
        const std::size_t end = text.find("\r\n", start);
        ASSERT_NE(end, std::string::npos) << "record at offset " << start << " lacks CR LF";
        const std::string line = text.substr(start, end - start);
        hex_record record;
        ASSERT_TRUE(parse_record(line, &record)) << "bad record " << records.size() + 1 << ": " << line;
        records.push_back(record);
        start = end + 2;
    }
    ASSERT_EQ(records.size(), 1311u);
    EXPECT_EQ(text.substr(text.size() - 13), ":00000001FF\r\n");

    unsigned next = 0, short_records = 0, data_bytes = 0;
    for (std::size_t i = 0; i + 1 < records.size(); ++i) {
        const hex_record& r = records[i];
        ASSERT_EQ(r.type, 0u) << "record " << i + 1 << " is not a data record";
        ASSERT_EQ(r.address, next) << "gap or overlap before record " << i + 1;
        if (r.count != 16) {
            EXPECT_EQ(r.count, 10u);
            EXPECT_EQ(r.address, 0x51B0u);
            ++short_records;
        }
        next += r.count;
        data_bytes += r.count;
    }
    EXPECT_EQ(short_records, 1u);
    EXPECT_EQ(data_bytes, 20954u);
    EXPECT_EQ(next - 1, 0x51D9u) << "last address covered";
}

// ---------------------------------------------------------------------------
// The Windows command line: what the runtime's parser splits it back into.

struct command_line_case {
    const char* name;
    std::vector<std::string> args;
    const char* expected;
};

void PrintTo(const command_line_case& c, std::ostream* os) { *os << c.name; }

class ComposeCommandLine : public ::testing::TestWithParam<command_line_case> {};

TEST_P(ComposeCommandLine, QuotesOnlyWhatNeedsIt) {
    const command_line_case& c = GetParam();
    std::vector<const char*> argv;
    for (const std::string& a : c.args) argv.push_back(a.c_str());
    argv.push_back(nullptr);
    char out[256];
    ASSERT_TRUE(compose_command_line(argv.data(), out, sizeof out));
    EXPECT_STREQ(out, c.expected);
    EXPECT_EQ(split_command_line(out), c.args) << "composed: " << out;
}

INSTANTIATE_TEST_SUITE_P(
    Cases, ComposeCommandLine,
    ::testing::Values(
        command_line_case{"plain", {"avrdude", "-v", "-PCOM7"}, "avrdude -v -PCOM7"},
        command_line_case{"space", {"avrdude", "-PCOM 7"}, "avrdude \"-PCOM 7\""},
        command_line_case{"tab", {"a", "x\ty"}, "a \"x\ty\""},
        command_line_case{"empty_argument", {"a", "", "b"}, "a \"\" b"},
        command_line_case{"quote", {"a", "-Px\"y"}, "a \"-Px\\\"y\""},
        command_line_case{"backslashes_before_quote", {"a", "x\\\\\"y"}, "a \"x\\\\\\\\\\\"y\""},
        command_line_case{"backslash_alone_stays", {"a", "\\\\.\\COM12"}, "a \\\\.\\COM12"},
        command_line_case{"trailing_backslash_in_quotes", {"a", "x y\\"}, "a \"x y\\\\\""},
        command_line_case{"shell_syntax_is_text", {"a", "-Px&calc|more"}, "a -Px&calc|more"}));

struct overflow_case {
    const char* name;
    std::vector<std::string> args;
    std::uint32_t capacity;
    bool fits;
};

void PrintTo(const overflow_case& c, std::ostream* os) { *os << c.name; }

class ComposeCommandLineCapacity : public ::testing::TestWithParam<overflow_case> {};

TEST_P(ComposeCommandLineCapacity, RefusesWhatDoesNotFit) {
    const overflow_case& c = GetParam();
    std::vector<const char*> argv;
    for (const std::string& a : c.args) argv.push_back(a.c_str());
    argv.push_back(nullptr);
    std::vector<char> out(c.capacity + 8, 'Z');  // guard bytes after the capacity
    EXPECT_EQ(compose_command_line(argv.data(), out.data(), c.capacity), c.fits);
    if (!c.fits && c.capacity > 0) {
        EXPECT_EQ(out[0], '\0') << "a refused line must leave an empty text";
    }
    for (std::size_t i = c.capacity; i < out.size(); ++i)
        ASSERT_EQ(out[i], 'Z') << "wrote past the capacity at " << i;
}

INSTANTIATE_TEST_SUITE_P(
    Cases, ComposeCommandLineCapacity,
    ::testing::Values(overflow_case{"exact_fit", {"ab", "cd"}, 6, true},
                      overflow_case{"one_short", {"ab", "cd"}, 5, false},
                      overflow_case{"quotes_fit", {"a b"}, 6, true},
                      overflow_case{"closing_quote_short", {"a b"}, 5, false},
                      overflow_case{"escaped_quote_short", {"\""}, 4, false},
                      overflow_case{"escaped_quote_fits", {"\""}, 5, true},
                      overflow_case{"zero_capacity", {"a"}, 0, false}));

// ---------------------------------------------------------------------------
// The programmer's argument list.

struct port_name_case {
    const char* name;
    std::string boot_port;
    bool accepted;
};

void PrintTo(const port_name_case& c, std::ostream* os) { *os << c.name; }

class ProgrammerCommand : public ::testing::TestWithParam<port_name_case> {};

TEST_P(ProgrammerCommand, HoldsThePortAsOneArgument) {
    const port_name_case& c = GetParam();
    programmer_command command;
    ASSERT_EQ(compose_programmer_command(c.boot_port.c_str(), &command), c.accepted);
    if (!c.accepted) return;
    const std::vector<std::string> expected = {
        "avrdude", "-Cavrdude.conf", "-v", "-pm32u4", "-cavr109", "-P" + c.boot_port,
        "-b57600", "-D", "-Uflash:w:orvelan32u4.hex:i"};
    std::vector<std::string> actual;
    for (const char* const* a = command.argv; *a != nullptr; ++a) actual.push_back(*a);
    EXPECT_EQ(actual, expected);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, ProgrammerCommand,
    ::testing::Values(port_name_case{"short", "/dev/ttyACM1", true},
                      port_name_case{"shell_syntax", "x;touch PWNED $(id) `id` | cat", true},
                      port_name_case{"longest_taken_171", std::string(171, 'p'), true},
                      port_name_case{"one_too_long_172", std::string(172, 'p'), false},
                      port_name_case{"far_too_long", std::string(4000, 'p'), false}));

// ---------------------------------------------------------------------------
// Runs in a scratch directory: components, image file and fake programmer.

// A stand-in programmer: records its arguments and the image file it finds,
// prints a line so the order of output shows, and ends as the test says.
std::string fake_programmer(const std::string& ending) {
    return "#!/bin/sh\n"
           "printf '%s\\n' \"$@\" > args.txt\n"
           "if [ -f orvelan32u4.hex ]; then cp orvelan32u4.hex seen.hex; fi\n"
           "echo 'fake programmer ran'\n" +
           ending + "\n";
}

class ScratchDir : public ::testing::Test {
protected:
    void SetUp() override {
        fake_reset();
        previous_ = fs::current_path();
        char pattern[] = "/tmp/orvelan-fw-XXXXXX";
        ASSERT_NE(mkdtemp(pattern), nullptr);
        dir_ = pattern;
        fs::current_path(dir_);
    }
    void TearDown() override {
        fs::current_path(previous_);
        fs::remove_all(dir_);
    }

    void install_programmer(const std::string& ending) {
        write_file("avrdude", fake_programmer(ending));
        fs::permissions("avrdude", fs::perms::owner_all);
    }
    void install_components(const std::string& ending = "exit 0") {
        install_programmer(ending);
        write_file("avrdude.conf", "# configuration\n");
    }
    std::vector<std::string> programmer_args() { return lines_of(read_file("args.txt")); }

    fs::path previous_, dir_;
    serial_port port_{};
};

struct missing_case {
    const char* name;
    bool programmer, configuration;
};

void PrintTo(const missing_case& c, std::ostream* os) { *os << c.name; }

class MissingComponents : public ScratchDir, public ::testing::WithParamInterface<missing_case> {};

TEST_P(MissingComponents, SendNothingAndWriteNoFile) {
    const missing_case& c = GetParam();
    if (c.programmer) install_programmer("exit 0");
    if (c.configuration) write_file("avrdude.conf", "");
    ::testing::internal::CaptureStdout();
    const int result = update_firmware(&port_, "/dev/ttyACM1", 5);
    EXPECT_EQ(::testing::internal::GetCapturedStdout(), "Some update components are missing.\n");
    EXPECT_EQ(result, 0);
    EXPECT_EQ(fake_stats().write_calls, 0) << hex_dump(fake_written());
    EXPECT_FALSE(fs::exists(FIRMWARE_FILE_NAME));
    EXPECT_FALSE(fs::exists("args.txt")) << "the programmer ran";
}

INSTANTIATE_TEST_SUITE_P(Cases, MissingComponents,
                         ::testing::Values(missing_case{"none", false, false},
                                           missing_case{"only_configuration", false, true},
                                           missing_case{"only_programmer", true, false}));

TEST_F(ScratchDir, ComponentsAreLookedForInOrder) {
    EXPECT_STREQ(missing_update_component(), "avrdude");
    write_file("avrdude.conf", "");
    EXPECT_STREQ(missing_update_component(), "avrdude");
    write_file("avrdude", "");
    EXPECT_EQ(missing_update_component(), nullptr);
    fs::remove("avrdude.conf");
    EXPECT_STREQ(missing_update_component(), "avrdude.conf");
}

TEST_F(ScratchDir, TooLongPortNameIsRefusedBeforeAnythingIsSent) {
    install_components();
    ::testing::internal::CaptureStdout();
    const int result = update_firmware(&port_, std::string(172, 'p').c_str(), 5);
    EXPECT_EQ(::testing::internal::GetCapturedStdout(),
              "Bootloader port name is too long (at most 171 characters).\n");
    EXPECT_EQ(result, 0);
    EXPECT_EQ(fake_stats().write_calls, 0) << hex_dump(fake_written());
    EXPECT_FALSE(fs::exists(FIRMWARE_FILE_NAME));
    EXPECT_FALSE(fs::exists("args.txt"));
}

struct line_failure_case {
    const char* name;
    void (*script)();
    int timeout_seconds;
    const char* expected_output;
};

void PrintTo(const line_failure_case& c, std::ostream* os) { *os << c.name; }

class BootloaderLineFails : public ScratchDir,
                            public ::testing::WithParamInterface<line_failure_case> {};

TEST_P(BootloaderLineFails, EndsBeforeTheImageFile) {
    const line_failure_case& c = GetParam();
    install_components();
    c.script();
    ::testing::internal::CaptureStdout();
    const int result = update_firmware(&port_, "/dev/ttyACM1", c.timeout_seconds);
    EXPECT_EQ(::testing::internal::GetCapturedStdout(), c.expected_output);
    EXPECT_EQ(result, 0);
    EXPECT_FALSE(fs::exists(FIRMWARE_FILE_NAME));
    EXPECT_FALSE(fs::exists("args.txt")) << "the programmer ran";
}

INSTANTIATE_TEST_SUITE_P(
    Cases, BootloaderLineFails,
    ::testing::Values(
        // One second of budget: a thousand calls that take nothing.
        line_failure_case{"timed_out",
                          [] {
                              for (int i = 0; i < 1000; ++i) fake_write_limit(0);
                          },
                          1, "Update started.\nFirmware update timed out.\n"},
        line_failure_case{"write_call_fails", [] { fake_write_fail(); }, 5,
                          "Update started.\nFirmware update failed.\n"},
        line_failure_case{"fails_after_a_partial_write",
                          [] {
                              fake_write_limit(1);
                              fake_write_fail();
                          },
                          5, "Update started.\nFirmware update failed.\n"}));

// The whole task once, with its two-second wait for the bootloader.
TEST_F(ScratchDir, WholeUpdateSendsTheLineAndRunsTheProgrammer) {
    install_components();
    ::testing::internal::CaptureStdout();
    const int result = update_firmware(&port_, "/dev/ttyACM1", 5);
    EXPECT_EQ(::testing::internal::GetCapturedStdout(),
              "Update started.\nfake programmer ran\nFirmware update succeeded.\n");
    EXPECT_EQ(result, 1);
    EXPECT_EQ(fake_written(), "j\r") << "expected 6a 0d, actual " << hex_dump(fake_written());
    const std::vector<std::string> expected = {
        "-Cavrdude.conf", "-v", "-pm32u4", "-cavr109", "-P/dev/ttyACM1",
        "-b57600", "-D", "-Uflash:w:orvelan32u4.hex:i"};
    EXPECT_EQ(programmer_args(), expected);
    EXPECT_TRUE(read_file("seen.hex") == carried_image()) << "image file the programmer saw differs";
    EXPECT_FALSE(fs::exists(FIRMWARE_FILE_NAME));
}

struct flash_case {
    const char* name;
    const char* programmer_ending;
    const char* existing_image_file;  // nullptr: none before the run
    int expected_result;
    const char* expected_output;
};

void PrintTo(const flash_case& c, std::ostream* os) { *os << c.name; }

class FlashImage : public ScratchDir, public ::testing::WithParamInterface<flash_case> {};

TEST_P(FlashImage, ReportsTheProgrammerAndRemovesTheFile) {
    const flash_case& c = GetParam();
    install_components(c.programmer_ending);
    if (c.existing_image_file != nullptr) write_file(FIRMWARE_FILE_NAME, c.existing_image_file);
    programmer_command command;
    ASSERT_TRUE(compose_programmer_command("/dev/ttyACM1", &command));
    ::testing::internal::CaptureStdout();
    const int result = flash_firmware_image(&command);
    EXPECT_EQ(::testing::internal::GetCapturedStdout(), c.expected_output);
    EXPECT_EQ(result, c.expected_result);
    const std::string seen = read_file("seen.hex");
    EXPECT_TRUE(seen == carried_image())
        << "the programmer saw " << seen.size() << " bytes, first ones: "
        << hex_dump(seen.substr(0, 32));
    EXPECT_FALSE(fs::exists(FIRMWARE_FILE_NAME)) << "image file left behind";
}

INSTANTIATE_TEST_SUITE_P(
    Cases, FlashImage,
    ::testing::Values(
        flash_case{"success", "exit 0", nullptr, 1,
                   "fake programmer ran\nFirmware update succeeded.\n"},
        flash_case{"status_1", "exit 1", nullptr, 0, "fake programmer ran\nFirmware update failed.\n"},
        flash_case{"status_255", "exit 255", nullptr, 0,
                   "fake programmer ran\nFirmware update failed.\n"},
        flash_case{"killed_by_a_signal", "kill -9 $$", nullptr, 0,
                   "fake programmer ran\nFirmware update failed.\n"},
        // An older, longer file must be emptied, not overwritten in part.
        flash_case{"existing_longer_file_replaced", "exit 0",
                   "a stale image file much longer than nothing at all, with junk", 1,
                   "fake programmer ran\nFirmware update succeeded.\n"}));

TEST_F(ScratchDir, ExistingFileLongerThanTheImageIsEmptiedFirst) {
    write_file(FIRMWARE_FILE_NAME, std::string(FIRMWARE_IMAGE_SIZE + 1000, 'x'));
    ASSERT_TRUE(write_firmware_file());
    EXPECT_TRUE(read_file(FIRMWARE_FILE_NAME) == carried_image())
        << "size " << fs::file_size(FIRMWARE_FILE_NAME) << ", expected " << FIRMWARE_IMAGE_SIZE;
    EXPECT_EQ(delete_firmware_file(), 0);
    EXPECT_FALSE(fs::exists(FIRMWARE_FILE_NAME));
}

TEST_F(ScratchDir, PortNameWithShellSyntaxRunsNothing) {
    const char* hostile[] = {"x;touch PWNED", "$(touch PWNED)", "`touch PWNED`",
                             "x && touch PWNED", "x|touch PWNED", "x\ntouch PWNED"};
    install_components();
    for (const char* name : hostile) {
        programmer_command command;
        ASSERT_TRUE(compose_programmer_command(name, &command));
        ::testing::internal::CaptureStdout();
        EXPECT_EQ(flash_firmware_image(&command), 1) << name;
        ::testing::internal::GetCapturedStdout();
        EXPECT_FALSE(fs::exists("PWNED")) << "a command ran from the port name " << name;
        // The name reaches the programmer whole, as one argument.
        const std::string args = read_file("args.txt");
        EXPECT_NE(args.find(std::string("\n-P") + name + "\n-b57600\n"), std::string::npos) << args;
    }
}

// The device is full: the file cannot take the image, the programmer is not
// run, and the failure is said, not hidden behind a later programmer error.
TEST_F(ScratchDir, ImageFileThatCannotBeWrittenStopsBeforeTheProgrammer) {
    if (!fs::exists("/dev/full")) GTEST_SKIP() << "no /dev/full here";
    install_components();
    fs::create_symlink("/dev/full", FIRMWARE_FILE_NAME);
    EXPECT_FALSE(write_firmware_file());
    programmer_command command;
    ASSERT_TRUE(compose_programmer_command("/dev/ttyACM1", &command));
    ::testing::internal::CaptureStdout();
    EXPECT_EQ(flash_firmware_image(&command), 0);
    EXPECT_EQ(::testing::internal::GetCapturedStdout(), "Could not copy firmware.\n");
    EXPECT_FALSE(fs::exists("args.txt")) << "the programmer ran";
}

TEST_F(ScratchDir, ImageFileInAMissingDirectoryFails) {
    install_components();
    fs::create_directory(FIRMWARE_FILE_NAME);  // a directory cannot be opened for writing
    EXPECT_FALSE(write_firmware_file());
}

// ---------------------------------------------------------------------------
// The process helper on its own.

struct run_case {
    const char* name;
    const char* script;  // nullptr: no program at that path
    int expected_status;
};

void PrintTo(const run_case& c, std::ostream* os) { *os << c.name; }

class RunProgram : public ScratchDir, public ::testing::WithParamInterface<run_case> {};

TEST_P(RunProgram, GivesTheExitStatus) {
    const run_case& c = GetParam();
    if (c.script != nullptr) {
        write_file("prog", std::string("#!/bin/sh\n") + c.script + "\n");
        fs::permissions("prog", fs::perms::owner_all);
    }
    const char* argv[] = {"prog", nullptr};
    EXPECT_EQ(run_program("./prog", argv), c.expected_status);
}

INSTANTIATE_TEST_SUITE_P(Cases, RunProgram,
                         ::testing::Values(run_case{"exit_0", "exit 0", 0},
                                           run_case{"exit_7", "exit 7", 7},
                                           run_case{"signal", "kill -TERM $$", -1},
                                           run_case{"missing", nullptr, -1}));

TEST_F(ScratchDir, RunProgramDoesNotSearchThePath) {
    // "sh" exists on PATH but not here: only the path given is run.
    const char* argv[] = {"sh", "-c", "exit 0", nullptr};
    EXPECT_EQ(run_program("sh", argv), -1);
}

}  // namespace
