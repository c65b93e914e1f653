// JoiningThread: a std::thread owned by the object that starts it and joined when it is
// stopped, replaced or destroyed, so no thread outlives its owner by accident and no
// joinable thread is ever dropped (which would end the process).
//
// A thread can be asked to stop itself: an application callback running on it may stop the
// work it belongs to, or delete its owner. It cannot join itself, so joinOrDetach() lets it go
// to end by itself once it returns, and joinUnlessSelf() leaves it for a later join (the next
// start or the owner's destructor). Both answer whether the thread was joined.
//
// A thread may be given a name (at most 15 characters), which ps, top -H and gdb show.
#pragma once
#include <pthread.h>

#include <thread>
#include <utility>

namespace qx::sys {

class JoiningThread {
public:
    JoiningThread() = default;
    template <typename Function, typename... Args>
    explicit JoiningThread(Function&& f, Args&&... args)
        : m_thread(std::forward<Function>(f), std::forward<Args>(args)...) {}
    ~JoiningThread() { joinOrDetach(); }

    JoiningThread(JoiningThread&& other) noexcept = default;
    // The thread held before is joined (or let go, when it is the calling thread) first.
    JoiningThread& operator=(JoiningThread&& other) noexcept {
        if (this != &other) {
            joinOrDetach();
            m_thread = std::move(other.m_thread);
        }
        return *this;
    }
    JoiningThread(const JoiningThread&) = delete;
    JoiningThread& operator=(const JoiningThread&) = delete;

    bool joinable() const { return m_thread.joinable(); }
    void setName(const char* name) {
        if (m_thread.joinable()) pthread_setname_np(m_thread.native_handle(), name);
    }
    // True when called on this thread itself.
    bool isCurrent() const { return m_thread.joinable() && m_thread.get_id() == std::this_thread::get_id(); }

    // Joins a running thread; one that was never started or is already joined is fine. Never
    // call it on the thread itself (see joinOrDetach).
    void join() {
        if (m_thread.joinable()) m_thread.join();
    }
    // Joins, or detaches when called on the thread itself. True when it joined or there was
    // nothing to join.
    bool joinOrDetach() {
        if (!m_thread.joinable()) return true;
        if (isCurrent()) {
            m_thread.detach();
            return false;
        }
        m_thread.join();
        return true;
    }
    // Joins unless called on the thread itself, which then stays joinable for a later join.
    bool joinUnlessSelf() {
        if (!m_thread.joinable()) return true;
        if (isCurrent()) return false;
        m_thread.join();
        return true;
    }

private:
    std::thread m_thread;
};

} // namespace qx::sys
