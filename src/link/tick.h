#pragma once
#include <cstdint>

// A millisecond counter that wraps at 2^32.
std::uint32_t tick_ms();

// Milliseconds from `start` to `end`; the unsigned difference stays right
// across a wrap of the counter.
inline std::uint32_t tick_elapsed(std::uint32_t start, std::uint32_t end) { return end - start; }

// Seconds as printed in the "succeeded in %.2f seconds." lines.
inline double tick_seconds(std::uint32_t start, std::uint32_t end) {
    return static_cast<double>(tick_elapsed(start, end)) / 1000.0;
}
