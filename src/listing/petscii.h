#pragma once
#include <cstdint>

// One PETSCII byte as one printable ASCII character: 0 stays 0, every other
// byte gives a character from 32 to 126. The top bit is ignored and the letter
// cases are swapped against ASCII, as the Commodore 64 shows them in its
// lower-case character set.
char petscii_to_ascii(std::uint8_t byte);
