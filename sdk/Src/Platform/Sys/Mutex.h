// Mutex, SharedMutex and their scoped locks, annotated for clang's thread-safety analysis
// (ThreadSafety.h). They are std::mutex and std::shared_mutex underneath and behave exactly
// like them; the wrappers only let the compiler see which mutex a lock scope holds.
//
//   qx::sys::Mutex m_mutex;
//   int m_count QX_GUARDED_BY(m_mutex);
//   { qx::sys::MutexLock lk(m_mutex); ++m_count; }
//
// UniqueLock is the form for condition variables: it converts to the std::unique_lock a
// std::condition_variable waits with, and can be unlocked and locked again inside its scope.
// A wait predicate that reads guarded members says so: [this]() QX_REQUIRES(m_mutex) {...}.
#pragma once
#include "Sys/ThreadSafety.h"

#include <mutex>
#include <shared_mutex>

namespace qx::sys {

class QX_CAPABILITY("mutex") Mutex {
public:
    Mutex() = default;
    Mutex(const Mutex&) = delete;
    Mutex& operator=(const Mutex&) = delete;

    void lock() QX_ACQUIRE() { m_mutex.lock(); }
    void unlock() QX_RELEASE() { m_mutex.unlock(); }
    // The name std::lock calls (MutexLockPair).
    bool try_lock() QX_TRY_ACQUIRE(true) { return m_mutex.try_lock(); } // NOLINT(readability-identifier-naming)
    // For a lock the checker cannot follow (handed between functions); see ThreadSafety.h.
    std::mutex& native() { return m_mutex; }

private:
    std::mutex m_mutex;
};

// Holds a Mutex for its scope (std::lock_guard).
class QX_SCOPED_CAPABILITY MutexLock {
public:
    explicit MutexLock(Mutex& mutex) QX_ACQUIRE(mutex) : m_mutex(mutex) { m_mutex.lock(); }
    // Takes over a Mutex the caller has locked already.
    MutexLock(Mutex& mutex, std::adopt_lock_t) QX_REQUIRES(mutex) : m_mutex(mutex) {}
    ~MutexLock() QX_RELEASE() { m_mutex.unlock(); }
    MutexLock(const MutexLock&) = delete;
    MutexLock& operator=(const MutexLock&) = delete;

private:
    Mutex& m_mutex;
};

// Holds two Mutexes for its scope, taken together without a lock order (std::scoped_lock).
class QX_SCOPED_CAPABILITY MutexLockPair {
public:
    MutexLockPair(Mutex& first, Mutex& second) QX_ACQUIRE(first, second) : m_first(first), m_second(second) {
        std::lock(m_first, m_second);
    }
    ~MutexLockPair() QX_RELEASE() {
        m_first.unlock();
        m_second.unlock();
    }
    MutexLockPair(const MutexLockPair&) = delete;
    MutexLockPair& operator=(const MutexLockPair&) = delete;

private:
    Mutex& m_first;
    Mutex& m_second;
};

// Holds a Mutex for its scope like std::unique_lock: it may be unlocked and locked again, and
// a std::condition_variable waits with it.
class QX_SCOPED_CAPABILITY UniqueLock {
public:
    explicit UniqueLock(Mutex& mutex) QX_ACQUIRE(mutex) : m_lock(mutex.native()) {}
    UniqueLock(Mutex& mutex, std::adopt_lock_t) QX_REQUIRES(mutex) : m_lock(mutex.native(), std::adopt_lock) {}
    ~UniqueLock() QX_RELEASE() = default;
    UniqueLock(const UniqueLock&) = delete;
    UniqueLock& operator=(const UniqueLock&) = delete;

    void lock() QX_ACQUIRE() { m_lock.lock(); }
    void unlock() QX_RELEASE() { m_lock.unlock(); }

    // The lock a condition variable releases while it waits and takes again before it returns.
    operator std::unique_lock<std::mutex>&() { return m_lock; }

private:
    std::unique_lock<std::mutex> m_lock;
};

// A reader-writer mutex: many SharedLock holders or one ExclusiveLock holder at a time.
class QX_CAPABILITY("shared mutex") SharedMutex {
public:
    SharedMutex() = default;
    SharedMutex(const SharedMutex&) = delete;
    SharedMutex& operator=(const SharedMutex&) = delete;

    void lock() QX_ACQUIRE() { m_mutex.lock(); }
    void unlock() QX_RELEASE() { m_mutex.unlock(); }
    void lockShared() QX_ACQUIRE_SHARED() { m_mutex.lock_shared(); }
    void unlockShared() QX_RELEASE_SHARED() { m_mutex.unlock_shared(); }

private:
    std::shared_mutex m_mutex;
};

// Holds a SharedMutex exclusively for its scope; may be unlocked and locked again.
class QX_SCOPED_CAPABILITY ExclusiveLock {
public:
    explicit ExclusiveLock(SharedMutex& mutex) QX_ACQUIRE(mutex) : m_mutex(mutex) { m_mutex.lock(); }
    ~ExclusiveLock() QX_RELEASE() {
        if (m_owns) m_mutex.unlock();
    }
    ExclusiveLock(const ExclusiveLock&) = delete;
    ExclusiveLock& operator=(const ExclusiveLock&) = delete;

    void lock() QX_ACQUIRE() {
        m_mutex.lock();
        m_owns = true;
    }
    void unlock() QX_RELEASE() {
        m_mutex.unlock();
        m_owns = false;
    }

private:
    SharedMutex& m_mutex;
    bool m_owns = true;
};

// Holds a SharedMutex shared for its scope; may be unlocked and locked again.
class QX_SCOPED_CAPABILITY SharedLock {
public:
    explicit SharedLock(SharedMutex& mutex) QX_ACQUIRE_SHARED(mutex) : m_mutex(mutex) { m_mutex.lockShared(); }
    ~SharedLock() QX_RELEASE() {
        if (m_owns) m_mutex.unlockShared();
    }
    SharedLock(const SharedLock&) = delete;
    SharedLock& operator=(const SharedLock&) = delete;

    void lock() QX_ACQUIRE_SHARED() {
        m_mutex.lockShared();
        m_owns = true;
    }
    void unlock() QX_RELEASE() {
        m_mutex.unlockShared();
        m_owns = false;
    }

private:
    SharedMutex& m_mutex;
    bool m_owns = true;
};

} // namespace qx::sys
