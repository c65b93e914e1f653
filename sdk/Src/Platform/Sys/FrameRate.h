// Frame rates: frames counted over a time span, and the window estimate the camera classes
// put in every delivered frame's information.
#pragma once
#include <chrono>
#include <cstdint>

namespace qx::sys {

// Frames per second of `frames` counted over `elapsed` time units, `unitsPerSecond` of them
// making one second: frames / (elapsed / unitsPerSecond).
inline double framesPerSecond(uint64_t frames, int64_t elapsed, int64_t unitsPerSecond) {
    return static_cast<double>(frames) / (static_cast<double>(elapsed) / static_cast<double>(unitsPerSecond));
}

// The frame-rate estimate of an acquisition loop. Frames are counted in windows; once at
// least 1.001 s has passed since a window began, update() makes the estimate the window's
// frames over its length in whole milliseconds, and a new window begins. Until then the
// estimate keeps the value it started with. One thread uses it.
class FrameRateWindow {
public:
    using Clock = std::chrono::steady_clock;
    static constexpr int64_t kWindowMs = 1001;

    explicit FrameRateWindow(float initial, Clock::time_point start = Clock::now()) : m_rate(initial), m_start(start) {}

    void countFrame() { ++m_frames; }
    // Closes the window when it is long enough; true when it did.
    bool update(Clock::time_point now = Clock::now()) {
        const int64_t ms = std::chrono::duration_cast<std::chrono::milliseconds>(now - m_start).count();
        if (ms < kWindowMs) return false;
        m_rate = static_cast<float>(framesPerSecond(m_frames, ms, 1000));
        m_frames = 0;
        m_start = now;
        return true;
    }
    float rate() const { return m_rate; }

private:
    float m_rate;
    Clock::time_point m_start;
    uint64_t m_frames = 0;
};

} // namespace qx::sys
