#pragma once
#include <cstdint>

// The BASIC V2 tokens that LIST spells out as keywords.
inline constexpr std::uint8_t TOKEN_FIRST = 0x80;
inline constexpr std::uint8_t TOKEN_LAST = 0xCB;
inline constexpr int KEYWORD_COUNT = TOKEN_LAST - TOKEN_FIRST + 1;  // 76

// The two ranges of PETSCII control codes that escape mode spells out.
inline constexpr std::uint8_t CONTROL_LOW_FIRST = 5;
inline constexpr std::uint8_t CONTROL_LOW_LAST = 31;
inline constexpr std::uint8_t CONTROL_HIGH_FIRST = 0x81;
inline constexpr std::uint8_t CONTROL_HIGH_LAST = 0xA0;
inline constexpr int CONTROL_NAME_COUNT = (CONTROL_LOW_LAST - CONTROL_LOW_FIRST + 1) +
                                          (CONTROL_HIGH_LAST - CONTROL_HIGH_FIRST + 1);  // 59

// The keyword of a token 0x80 to 0xCB in lower case ("end" ... "go"); nullptr
// for any other byte.
const char* keyword_name(std::uint8_t token);

// The name of a control code 5 to 31 or 0x81 to 0xA0 in braces ("{white}"),
// or "." for the codes of those ranges that have no name; nullptr for any
// other byte.
const char* control_code_name(std::uint8_t code);
