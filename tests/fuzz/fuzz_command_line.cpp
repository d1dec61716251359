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

#include "command_line_split.h"
#include "firmware/process.h"

namespace {

constexpr int MAX_ARGUMENTS = 16;
constexpr std::uint32_t LARGE = 1u << 16;  // room for any line this target builds

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
    if (split_command_line(whole.c_str()) != args) std::abort();

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
