#pragma once
#include <cstdint>

// A directory as a drive delivers the file "$": a two-byte load address, then
// a tokenised BASIC program, one line per header, file and free-block count:
// link (2 bytes), line number (2 bytes), text, a terminating 0; a link of 0
// ends the program. Both functions stay inside the first `count` bytes.

// The fixed line lengths of a drive directory, link to terminator.
inline constexpr std::uint32_t LISTING_HEADER_LINE = 30;
inline constexpr std::uint32_t LISTING_BLOCKS_FREE_LINE = 30;
inline constexpr std::uint32_t LISTING_FILE_LINE = 32;
inline constexpr std::uint16_t LISTING_BASIC_START = 0x0801;

// Most lines one listing prints; also ends a walk of links that form a circle.
inline constexpr std::uint16_t LISTING_MAX_LINES = 6484;

// Rewrites each line's link from the fixed line lengths as if the image were
// loaded at 0x0801, and turns zero bytes inside a line's text into spaces; the
// links the drive sent are placeholders. Only an image whose load address is
// 0x0801 is touched; the first line that does not fit ends the rewrite.
void relink_listing(std::uint8_t* image, std::uint32_t count);

// Prints the image on standard output as LIST does: each line's number, a
// space and its text. `escape` 1 spells out control codes and keywords by name
// (quote mode decides which), 0 prints every byte as one ASCII character.
// Returns 1 when the walk reached the end-of-program marker, 0 when it stopped
// on a link outside the image, a link at or below the load address, a line cut
// off by the end of the image, or the line limit.
int print_listing(const std::uint8_t* image, std::uint32_t count, int escape);
