// LogThrottle: counts a recurring event (a dropped frame, a failed poll) and says when one
// log line about it is due, so a drop is never silent and a steady stream of them writes at
// most one line per interval. The first event of a quiet period is reported at once; later
// ones are folded into the next line, which carries the count since the line before.
// Not synchronised: the owner calls it under its own lock or from one thread.
#pragma once
#include "Sys/Clock.h"

#include <chrono>
#include <cstdint>

namespace qx::sys {

class LogThrottle {
public:
    explicit LogThrottle(std::chrono::milliseconds interval = std::chrono::seconds(1)) : m_interval(interval) {}

    // Counts one event. Answers the number of events since the last line (this one included)
    // when a line is due now, else 0.
    uint64_t note(SteadyClock::time_point now = SteadyClock::now()) {
        ++m_total;
        ++m_pending;
        if (m_reported && now - m_lastLine < m_interval) return 0;
        m_reported = true;
        m_lastLine = now;
        const uint64_t count = m_pending;
        m_pending = 0;
        return count;
    }

    // Every event counted since construction.
    uint64_t total() const { return m_total; }

private:
    std::chrono::milliseconds m_interval;
    SteadyClock::time_point m_lastLine{};
    bool m_reported = false;
    uint64_t m_total = 0;
    uint64_t m_pending = 0;
};

} // namespace qx::sys
