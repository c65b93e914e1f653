// Event: a flag with a condition variable, the one place the SDK waits for "something
// happened". Stands in for the kernel event objects the camera threads were built around.
#pragma once
#include <chrono>
#include <condition_variable>
#include <mutex>

#include "Sys/Mutex.h"

namespace qx::sys {

class Event {
public:
    explicit Event(bool manualReset = true, bool initial = false) : m_manualReset(manualReset), m_set(initial) {}

    void set() {
        {
            MutexLock lk(m_mutex);
            m_set = true;
        }
        m_cv.notify_all();
    }
    void reset() {
        MutexLock lk(m_mutex);
        m_set = false;
    }
    bool isSet() const {
        MutexLock lk(m_mutex);
        return m_set;
    }
    // Waits until set or the timeout passes; answers whether it was set. An auto-reset
    // event clears itself for the one waiter it releases.
    bool wait(std::chrono::milliseconds timeout) {
        UniqueLock lk(m_mutex);
        if (!m_cv.wait_for(lk, timeout, [this]() QX_REQUIRES(m_mutex) { return m_set; })) return false;
        if (!m_manualReset) m_set = false;
        return true;
    }
    void wait() {
        UniqueLock lk(m_mutex);
        m_cv.wait(lk, [this]() QX_REQUIRES(m_mutex) { return m_set; });
        if (!m_manualReset) m_set = false;
    }

private:
    const bool m_manualReset;
    mutable Mutex m_mutex;
    std::condition_variable m_cv;
    bool m_set QX_GUARDED_BY(m_mutex);
};

} // namespace qx::sys
