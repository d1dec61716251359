// The programmer's Windows command line over arbitrary argument lists: the
// line composed for CreateProcess must split back, by the C runtime's rules,
// into exactly the arguments given (no argument may smuggle in another), and
// it is refused only when it truly does not fit the buffer. The buffer is a
// heap block of exactly the capacity, so a write past it is caught.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "firmware/process.h"

namespace {

constexpr int MAX_ARGUMENTS = 16;
constexpr std::uint32_t LARGE = 1u << 16;  // room for any line this target builds

// The runtime's splitting, written from its documented rules: white space is
// space and tab; 2n backslashes before a quote give n and the quote opens or
// closes quoting, 2n+1 give n and a literal quote; "" inside quotes is a
// literal quote; other backslashes are literal.
std::vector<std::string> split(const char* line) {
    std::vector<std::string> args;
    const std::size_t size = std::strlen(line);
    std::size_t i = 0;
    for (;;) {
        while (i < size && (line[i] == ' ' || line[i] == '\t')) ++i;
        if (i == size) return args;
        std::string arg;
        bool quoted = false;
        while (i < size && (quoted || (line[i] != ' ' && line[i] != '\t'))) {
            std::size_t backslashes = 0;
            while (i < size && line[i] == '\\') ++backslashes, ++i;
            if (i < size && line[i] == '"') {
                arg.append(backslashes / 2, '\\');
                if (backslashes % 2 != 0) {
                    arg.push_back('"');
                } else if (quoted && i + 1 < size && line[i + 1] == '"') {
                    arg.push_back('"');
                    ++i;
                } else {
                    quoted = !quoted;
                }
                ++i;
            } else {
                arg.append(backslashes, '\\');
                if (i < size && (quoted || (line[i] != ' ' && line[i] != '\t'))) arg.push_back(line[i++]);
            }
        }
        args.push_back(arg);
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size < 2) return -1;
    const std::uint32_t capacity = 1 + ((data[0] | (data[1] << 8)) % 1024u);
    // The program name is fixed, as in the update; the rest are the pieces
    // of the input between NUL bytes.
    std::vector<std::string> args{"avrdude"};
    std::size_t start = 2;
    for (std::size_t i = 2; i <= size && args.size() < MAX_ARGUMENTS; ++i) {
        if (i == size || data[i] == 0) {
            args.emplace_back(reinterpret_cast<const char*>(data + start), i - start);
            start = i + 1;
        }
    }
    std::vector<const char*> argv;
    for (const std::string& a : args) argv.push_back(a.c_str());
    argv.push_back(nullptr);

    auto* out = static_cast<char*>(std::malloc(capacity));
    if (out == nullptr) std::abort();
    const bool fits = compose_command_line(argv.data(), out, capacity);

    std::string whole(LARGE, '\0');
    if (!compose_command_line(argv.data(), whole.data(), LARGE)) std::abort();
    const std::size_t needed = std::strlen(whole.c_str()) + 1;
    if (split(whole.c_str()) != args) std::abort();

    if (fits) {
        // What fits is the same line, whole.
        if (std::strcmp(out, whole.c_str()) != 0) std::abort();
    } else {
        if (needed <= capacity) std::abort();  // refused although it fits
        if (out[0] != '\0') std::abort();      // a refusal leaves an empty text
    }
    std::free(out);
    return 0;
}
