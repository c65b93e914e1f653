// Monotonic time for timing calls and timeouts (in place of the 100-ns performance counter).
#pragma once
#include <chrono>
#include <cstdint>

namespace qx::sys {

using SteadyClock = std::chrono::steady_clock;

// Whole milliseconds elapsed since `start`, truncated.
inline int64_t elapsedMs(SteadyClock::time_point start) {
    return std::chrono::duration_cast<std::chrono::milliseconds>(SteadyClock::now() - start).count();
}

} // namespace qx::sys
