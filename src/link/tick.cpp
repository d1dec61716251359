#include "link/tick.h"

#ifdef _WIN32
#include <windows.h>

std::uint32_t tick_ms() { return static_cast<std::uint32_t>(GetTickCount()); }

#else
#include <ctime>

std::uint32_t tick_ms() {
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    const auto ms = static_cast<std::uint64_t>(now.tv_sec) * 1000u +
                    static_cast<std::uint64_t>(now.tv_nsec) / 1000000u;
    return static_cast<std::uint32_t>(ms);  // wraps like the Windows tick
}
#endif
