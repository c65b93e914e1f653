// Event: a flag with a condition variable, the one place the SDK waits for "something
// happened". Stands in for the kernel event objects the camera threads were built around.
#pragma once
#include <chrono>
#include <condition_variable>
#include <mutex>

namespace qx::sys {

class Event {
public:
    explicit Event(bool manualReset = true, bool initial = false)
        : m_manualReset(manualReset), m_set(initial) {}

    void set() {
        { std::lock_guard<std::mutex> lk(m_mutex); m_set = true; }
        m_cv.notify_all();
    }
    void reset() {
        std::lock_guard<std::mutex> lk(m_mutex);
        m_set = false;
    }
    bool isSet() const {
        std::lock_guard<std::mutex> lk(m_mutex);
        return m_set;
    }
    // Waits until set or the timeout passes; answers whether it was set. An auto-reset
    // event clears itself for the one waiter it releases.
    bool wait(std::chrono::milliseconds timeout) {
        std::unique_lock<std::mutex> lk(m_mutex);
        if (!m_cv.wait_for(lk, timeout, [this] { return m_set; })) return false;
        if (!m_manualReset) m_set = false;
        return true;
    }
    void wait() {
        std::unique_lock<std::mutex> lk(m_mutex);
        m_cv.wait(lk, [this] { return m_set; });
        if (!m_manualReset) m_set = false;
    }

private:
    const bool m_manualReset;
    mutable std::mutex m_mutex;
    std::condition_variable m_cv;
    bool m_set;
};

} // namespace qx::sys
