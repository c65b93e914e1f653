// BusyGate: a gate one party closes for a stretch of work while others wait to pass it. The
// gate is closed only by a Closed holder, which reopens it and wakes every waiter when it
// goes, also when the work in between throws, so no path leaves the gate closed for good.
// The gate's mutex is held only to test and set its state, never while waiting for anything
// else.
//
// For the thread-safety checks (ThreadSafety.h) the gate is a capability that a Closed holder
// holds: state that only the holder of the gate may touch is QX_GUARDED_BY(gate).
#pragma once
#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <mutex>

#include "Sys/Mutex.h"

namespace qx::sys {

class QX_CAPABILITY("gate") BusyGate {
public:
    BusyGate() = default;
    BusyGate(const BusyGate&) = delete;
    BusyGate& operator=(const BusyGate&) = delete;

    // Waits up to `timeout` for the gate to be open; answers whether it is.
    bool pass(std::chrono::milliseconds timeout) {
        UniqueLock lk(m_mutex);
        return m_cv.wait_for(lk, std::max(timeout, std::chrono::milliseconds(0)),
                             [this]() QX_REQUIRES(m_mutex) { return !m_closed; });
    }

    bool isOpen() const {
        MutexLock lk(m_mutex);
        return !m_closed;
    }

    // Waits until the gate is open, closes it, and opens it again when it goes.
    class QX_SCOPED_CAPABILITY Closed {
    public:
        explicit Closed(BusyGate& gate) QX_ACQUIRE(gate) : m_gate(gate) { m_gate.close(); }
        ~Closed() QX_RELEASE() {
            if (m_holds) m_gate.open();
        }
        Closed(const Closed&) = delete;
        Closed& operator=(const Closed&) = delete;

        // Opens the gate for a while inside the holder's scope, so that a waiter may pass,
        // and closes it again (waiting until it is open) before the work goes on.
        void open() QX_RELEASE() {
            m_gate.open();
            m_holds = false;
        }
        void close() QX_ACQUIRE() {
            m_gate.close();
            m_holds = true;
        }

    private:
        BusyGate& m_gate;
        bool m_holds = true;
    };

private:
    void close() QX_ACQUIRE() {
        UniqueLock lk(m_mutex);
        m_cv.wait(lk, [this]() QX_REQUIRES(m_mutex) { return !m_closed; });
        m_closed = true;
    }
    void open() QX_RELEASE() {
        {
            MutexLock lk(m_mutex);
            m_closed = false;
        }
        m_cv.notify_all();
    }

    mutable Mutex m_mutex;
    std::condition_variable m_cv;
    bool m_closed QX_GUARDED_BY(m_mutex) = false;
};

} // namespace qx::sys
