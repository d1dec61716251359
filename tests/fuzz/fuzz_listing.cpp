// Relinking and printing an arbitrary received directory image, in plain and
// in escape mode. The image sits in a heap block of exactly its size, so a
// read or write past the received count is caught by AddressSanitizer.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "listing/render.h"

namespace {

// The directory task's buffer: no image is ever longer.
constexpr std::size_t LISTING_IMAGE_MAX = 8192;

std::uint8_t* copy_of(const std::uint8_t* data, std::size_t size) {
    // malloc(0) may give nullptr; one byte keeps the pointer valid, ASan
    // still flags any access to it.
    auto* image = static_cast<std::uint8_t*>(std::malloc(size == 0 ? 1 : size));
    if (image == nullptr) std::abort();
    if (size > 0) std::memcpy(image, data, size);
    return image;
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    // Printing to a terminal or a pipe would be the slowest part by far.
    if (std::freopen("/dev/null", "w", stdout) == nullptr) std::abort();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size > LISTING_IMAGE_MAX) return -1;
    const auto count = static_cast<std::uint32_t>(size);

    // As received: the walk over the links the drive sent.
    std::uint8_t* image = copy_of(data, size);
    const int plain_raw = print_listing(image, count, 0);
    const int escaped_raw = print_listing(image, count, 1);
    // Printing never changes the image.
    if (std::memcmp(image, data, size) != 0) std::abort();
    // Both modes walk the same links, so they must agree on the end.
    if (plain_raw != escaped_raw) std::abort();

    // As the task prints it: relinked first.
    relink_listing(image, count);
    const int plain = print_listing(image, count, 0);
    const int escaped = print_listing(image, count, 1);
    if (plain != escaped) std::abort();
    if ((plain != 0 && plain != 1) || (plain_raw != 0 && plain_raw != 1)) std::abort();

    // Relinking only ever touches an image loaded at 0x0801, and never its
    // load address.
    const bool at_basic_start = size >= 2 && (data[0] | (data[1] << 8)) == LISTING_BASIC_START;
    if (!at_basic_start && std::memcmp(image, data, size) != 0) std::abort();
    if (size >= 2 && std::memcmp(image, data, 2) != 0) std::abort();

    std::free(image);
    return 0;
}
