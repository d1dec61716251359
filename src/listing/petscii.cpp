#include "listing/petscii.h"

char petscii_to_ascii(std::uint8_t byte) {
    if (byte == 0) return 0;
    // Shifted and unshifted forms share a glyph, so only the low seven bits count.
    const int c = byte & 0x7F;
    if (c >= 'A' && c <= 'Z') return static_cast<char>(c + 32);
    if (c >= 'a' && c <= 'z') return static_cast<char>(c - 32);
    if (c == 127) return '?';
    // Printable in the C locale; the range is written out so that no locale
    // setting of the host can change a listing.
    if (c >= 32 && c <= 126) return static_cast<char>(c);
    return '.';
}
