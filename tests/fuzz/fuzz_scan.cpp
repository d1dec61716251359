// The option scan over arbitrary command lines. The input is split at NUL
// bytes into the elements after the program name; each element is its own
// heap block of exactly its length and NUL, so the scan (which case-swaps the
// -c text in place) is caught reading or writing past any of them.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "cli/options.h"
#include "link/protocol.h"
#include "quiet_stderr.h"

namespace {

constexpr int MAX_ELEMENTS = 64;

char* element_of(const std::uint8_t* data, std::size_t length) {
    auto* text = static_cast<char*>(std::malloc(length + 1));
    if (text == nullptr) std::abort();
    std::memcpy(text, data, length);
    text[length] = '\0';
    return text;
}

// What a scan that asks to run must have settled.
void check_run(const settings& s, int argc, char** argv) {
    if (s.task == TASK_NONE || s.port_name == nullptr) std::abort();
    // The port is the last element and is no option.
    if (s.port_name != argv[argc - 1] || s.port_name[0] == '-') std::abort();
    if (s.drive < DRIVE_MIN || s.drive > DRIVE_MAX) std::abort();
    // 0 (no -t) or a timeout whose budget fits a signed 32-bit count.
    if (s.timeout < 0 || s.timeout > TIMEOUT_MAX_SECONDS) std::abort();
    if (s.task == TASK_EXECUTE &&
        (s.command_text == nullptr || std::strlen(s.command_text) > COMMAND_TEXT_MAX))
        std::abort();
    // A line break in the text would end the adapter's command line early.
    if (s.task == TASK_EXECUTE && std::strpbrk(s.command_text, "\r\n") != nullptr) std::abort();
    if (s.task == TASK_COPY && s.output_file == nullptr) std::abort();
    if (s.task == TASK_UPDATE && s.boot_port == nullptr) std::abort();
}

// The scan changes nothing but the case of letters (in the -c text).
void check_only_case_swapped(char** argv, int argc, const std::uint8_t* data, std::size_t size) {
    std::size_t at = 0;
    for (int i = 1; i < argc; ++i) {
        for (const char* c = argv[i]; *c != '\0'; ++c, ++at) {
            const auto now = static_cast<unsigned char>(*c);
            const unsigned char was = data[at];
            const bool letter = (was >= 'A' && was <= 'Z') || (was >= 'a' && was <= 'z');
            if (now != was && !(letter && now == (was ^ 0x20u))) std::abort();
        }
        if (at < size && data[at] != 0) std::abort();  // no element got shorter
        ++at;  // the NUL between elements
    }
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int* argc, char*** argv) {
    fuzz_quiet_stderr(argc, argv);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    char* argv[MAX_ELEMENTS + 2];
    int argc = 0;
    argv[argc++] = element_of(reinterpret_cast<const std::uint8_t*>("orvelan"), 7);
    // An empty input is a command line with no elements at all.
    std::size_t start = 0;
    for (std::size_t i = 0; size > 0 && i <= size && argc <= MAX_ELEMENTS; ++i) {
        if (i == size || data[i] == 0) {
            argv[argc++] = element_of(data + start, i - start);
            start = i + 1;
        }
    }
    argv[argc] = nullptr;

    settings s;
    const scan_result result = scan_command_line(argc, argv, &s);
    if (result == SCAN_RUN) check_run(s, argc, argv);
    if (result != SCAN_RUN && result != SCAN_HELP && result != SCAN_INVALID) std::abort();
    check_only_case_swapped(argv, argc, data, size);
    // The help screen names the drive in effect, which is always a valid one.
    if (result == SCAN_HELP && (s.drive < DRIVE_MIN || s.drive > DRIVE_MAX)) std::abort();

    for (int i = 0; i < argc; ++i) std::free(argv[i]);
    return 0;
}
