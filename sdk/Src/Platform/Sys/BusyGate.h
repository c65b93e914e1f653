// BusyGate: a gate one party closes for a stretch of work while others wait to pass it. The
// gate is closed only by a Closed holder, which reopens it and wakes every waiter when it
// goes, also when the work in between throws, so no path leaves the gate closed for good.
// The gate's mutex is held only to test and set its state, never while waiting for anything
// else.
#pragma once
#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <mutex>

namespace qx::sys {

class BusyGate {
public:
    BusyGate() = default;
    BusyGate(const BusyGate&) = delete;
    BusyGate& operator=(const BusyGate&) = delete;

    // Waits up to `timeout` for the gate to be open; answers whether it is.
    bool pass(std::chrono::milliseconds timeout) {
        std::unique_lock<std::mutex> lk(m_mutex);
        return m_cv.wait_for(lk, std::max(timeout, std::chrono::milliseconds(0)), [this] { return !m_closed; });
    }

    bool isOpen() const {
        std::lock_guard<std::mutex> lk(m_mutex);
        return !m_closed;
    }

    // Waits until the gate is open, closes it, and opens it again when it goes.
    class Closed {
    public:
        explicit Closed(BusyGate& gate) : m_gate(gate) {
            std::unique_lock<std::mutex> lk(m_gate.m_mutex);
            m_gate.m_cv.wait(lk, [this] { return !m_gate.m_closed; });
            m_gate.m_closed = true;
        }
        ~Closed() {
            {
                std::lock_guard<std::mutex> lk(m_gate.m_mutex);
                m_gate.m_closed = false;
            }
            m_gate.m_cv.notify_all();
        }
        Closed(const Closed&) = delete;
        Closed& operator=(const Closed&) = delete;

    private:
        BusyGate& m_gate;
    };

private:
    mutable std::mutex m_mutex;
    std::condition_variable m_cv;
    bool m_closed = false;
};

} // namespace qx::sys
