#include "listing/names.h"

namespace {

constexpr const char* KEYWORDS[KEYWORD_COUNT] = {
    "end",    "for",   "next",  "data",   "input#", "input", "dim",     "read",
    "let",    "goto",  "run",   "if",     "restore", "gosub", "return", "rem",
    "stop",   "on",    "wait",  "load",   "save",   "verify", "def",    "poke",
    "print#", "print", "cont",  "list",   "clr",    "cmd",   "sys",     "open",
    "close",  "get",   "new",   "tab(",   "to",     "fn",    "spc(",    "then",
    "not",    "step",  "+",     "-",      "*",      "/",     "^",       "and",
    "or",     ">",     "=",     "<",      "sgn",    "int",   "abs",     "usr",
    "fre",    "pos",   "sqr",   "rnd",    "log",    "exp",   "cos",     "sin",
    "tan",    "atn",   "peek",  "len",    "str$",   "val",   "asc",     "chr$",
    "left$",  "right$", "mid$", "go",
};

constexpr const char* UNNAMED = ".";

// Codes 5 to 31.
constexpr const char* LOW_NAMES[CONTROL_LOW_LAST - CONTROL_LOW_FIRST + 1] = {
    "{white}",       // 5
    UNNAMED,         // 6
    UNNAMED,         // 7
    "{lock}",        // 8
    "{unlock}",      // 9
    UNNAMED,         // 10
    UNNAMED,         // 11
    UNNAMED,         // 12
    "{return}",      // 13
    "{lower case}",  // 14
    UNNAMED,         // 15
    UNNAMED,         // 16
    "{crsr down}",   // 17
    "{revs on}",     // 18
    "{home}",        // 19
    "{del}",         // 20
    UNNAMED,         // 21
    UNNAMED,         // 22
    UNNAMED,         // 23
    UNNAMED,         // 24
    UNNAMED,         // 25
    UNNAMED,         // 26
    UNNAMED,         // 27
    "{red}",         // 28
    "{crsr right}",  // 29
    "{green}",       // 30
    "{blue}",        // 31
};

// Codes 0x81 to 0xA0. The function keys run f1 f3 f5 f7, then f2 f4 f6 f8.
constexpr const char* HIGH_NAMES[CONTROL_HIGH_LAST - CONTROL_HIGH_FIRST + 1] = {
    "{orange}",        // 0x81
    UNNAMED,           // 0x82
    UNNAMED,           // 0x83
    UNNAMED,           // 0x84
    "{f1}",            // 0x85
    "{f3}",            // 0x86
    "{f5}",            // 0x87
    "{f7}",            // 0x88
    "{f2}",            // 0x89
    "{f4}",            // 0x8A
    "{f6}",            // 0x8B
    "{f8}",            // 0x8C
    "{shift+return}",  // 0x8D
    "{upper case}",    // 0x8E
    UNNAMED,           // 0x8F
    "{black}",         // 0x90
    "{crsr up}",       // 0x91
    "{revs off}",      // 0x92
    "{clear}",         // 0x93
    "{insert}",        // 0x94
    "{brown}",         // 0x95
    "{light red}",     // 0x96
    "{dark grey}",     // 0x97
    "{medium grey}",   // 0x98
    "{light green}",   // 0x99
    "{light blue}",    // 0x9A
    "{light grey}",    // 0x9B
    "{purple}",        // 0x9C
    "{crsr left}",     // 0x9D
    "{yellow}",        // 0x9E
    "{cyan}",          // 0x9F
    "{shift+space}",   // 0xA0
};

}  // namespace

const char* keyword_name(std::uint8_t token) {
    if (token < TOKEN_FIRST || token > TOKEN_LAST) return nullptr;
    return KEYWORDS[token - TOKEN_FIRST];
}

const char* control_code_name(std::uint8_t code) {
    if (code >= CONTROL_LOW_FIRST && code <= CONTROL_LOW_LAST) return LOW_NAMES[code - CONTROL_LOW_FIRST];
    if (code >= CONTROL_HIGH_FIRST && code <= CONTROL_HIGH_LAST) return HIGH_NAMES[code - CONTROL_HIGH_FIRST];
    return nullptr;
}
