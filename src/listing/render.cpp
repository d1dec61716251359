#include "listing/render.h"

#include <cstdio>
#include <cstring>

#include "listing/names.h"
#include "listing/petscii.h"

namespace {

constexpr std::uint32_t LOAD_ADDRESS_SIZE = 2;
constexpr char BLOCKS_FREE_TEXT[] = "BLOCKS FREE.";
constexpr std::uint32_t BLOCKS_FREE_TEXT_LENGTH = sizeof BLOCKS_FREE_TEXT - 1;
constexpr std::uint8_t QUOTE = 34;

std::uint16_t read_word(const std::uint8_t* at) {
    return static_cast<std::uint16_t>(at[0] | (at[1] << 8));
}

void write_word(std::uint8_t* at, std::uint32_t value) {
    at[0] = static_cast<std::uint8_t>(value & 0xFF);
    at[1] = static_cast<std::uint8_t>((value >> 8) & 0xFF);
}

// The length of the line at program offset p of a program area of `area`
// bytes, or 0 when the line and one byte after it do not fit.
std::uint32_t fixed_line_length(const std::uint8_t* program, std::uint32_t area, std::uint32_t p) {
    if (p == 0) return LISTING_HEADER_LINE;
    if (std::memcmp(program + p + 4, BLOCKS_FREE_TEXT, BLOCKS_FREE_TEXT_LENGTH) == 0) {
        return LISTING_BLOCKS_FREE_LINE;
    }
    if (p + LISTING_FILE_LINE >= area) return 0;
    return LISTING_FILE_LINE;
}

void put_text(const char* text) { std::fputs(text, stdout); }

void put_char(char c) { std::putchar(static_cast<unsigned char>(c)); }

// Escape mode: control codes by name, tokens outside quotes as keywords.
void put_escaped(std::uint8_t c, bool* quoted) {
    if (c == QUOTE) {
        *quoted = !*quoted;
        put_char('"');
    } else if (c >= CONTROL_LOW_FIRST && c <= CONTROL_LOW_LAST) {
        put_text(control_code_name(c));
    } else if (*quoted && c >= CONTROL_HIGH_FIRST && c <= CONTROL_HIGH_LAST) {
        put_text(control_code_name(c));
    } else if (!*quoted && c >= TOKEN_FIRST && c <= TOKEN_LAST) {
        put_text(keyword_name(c));
    } else {
        put_char(petscii_to_ascii(c));
    }
}

// Prints the text from program offset `from` up to its terminating 0 and the
// newline; false when the image ends first (the line then gets no newline).
bool put_line_text(const std::uint8_t* program, std::uint32_t area, std::uint32_t from, int escape) {
    bool quoted = false;  // LIST's quote mode starts off on every line
    for (std::uint32_t at = from; at < area; ++at) {
        const std::uint8_t c = program[at];
        if (c == 0) {
            put_char('\n');
            return true;
        }
        if (escape) {
            put_escaped(c, &quoted);
        } else {
            put_char(petscii_to_ascii(c));
        }
    }
    return false;
}

}  // namespace

void relink_listing(std::uint8_t* image, std::uint32_t count) {
    if (count < LOAD_ADDRESS_SIZE || read_word(image) != LISTING_BASIC_START) return;
    std::uint8_t* program = image + LOAD_ADDRESS_SIZE;
    const std::uint32_t area = count - LOAD_ADDRESS_SIZE;
    std::uint32_t p = 0;
    while (p + LISTING_HEADER_LINE < area) {
        const std::uint32_t length = fixed_line_length(program, area, p);
        if (length == 0) return;
        write_word(program + p, LISTING_BASIC_START + p + length);
        // A zero byte inside the text would end the line before its fixed length.
        for (std::uint32_t at = p + 4; at <= p + length - 2; ++at) {
            if (program[at] == 0) program[at] = ' ';
        }
        if (program[p + length - 1] != 0) return;
        p += length;
        // The two bytes left are the end-of-program marker.
        if (p + 2 == area) return;
    }
}

int print_listing(const std::uint8_t* image, std::uint32_t count, int escape) {
    if (count < LOAD_ADDRESS_SIZE) return 0;
    const std::uint8_t* program = image + LOAD_ADDRESS_SIZE;
    const std::uint32_t area = count - LOAD_ADDRESS_SIZE;
    const std::uint16_t base = read_word(image);
    std::uint16_t link = base;
    std::uint32_t lines = 0;
    for (;;) {
        // Links are addresses in the 64K of the machine that loaded the image.
        const std::uint32_t p = static_cast<std::uint16_t>(link - base);
        if (p + 1 >= area) return 0;
        const std::uint16_t next = read_word(program + p);
        if (next == 0) return 1;
        ++lines;
        if (next == base) return 0;
        if (p + 4 >= area) return 0;
        if (lines > LISTING_MAX_LINES) return 0;
        std::printf("%u ", static_cast<unsigned>(read_word(program + p + 2)));
        if (!put_line_text(program, area, p + 4, escape)) return 0;
        if (next < base) return 0;
        link = next;
    }
}
