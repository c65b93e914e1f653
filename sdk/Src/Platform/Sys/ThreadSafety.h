// Lock rules the compiler checks: macros for clang's thread-safety attributes. A member says
// which mutex guards it (QX_GUARDED_BY), a function which mutex it needs held (QX_REQUIRES) or
// must be called without (QX_EXCLUDES), and two mutexes in which order they are taken
// (QX_ACQUIRED_BEFORE). clang with -Wthread-safety checks every use against them, and with
// -Wthread-safety-beta the lock order too (the "threadsafety" stage of scripts/test); other
// compilers see nothing.
//
// The checks follow the lock scopes of one function at a time and know the lock types of
// Mutex.h only: a lock handed from one function to another, or taken through a reference the
// checker cannot name, is expressed with QX_NO_THREAD_SAFETY_ANALYSIS on that one function
// and a comment saying why.
#pragma once

#if defined(__clang__)
#define QX_THREAD_ANNOTATION(x) __attribute__((x))
#else
#define QX_THREAD_ANNOTATION(x)
#endif

#define QX_CAPABILITY(x) QX_THREAD_ANNOTATION(capability(x))
#define QX_SCOPED_CAPABILITY QX_THREAD_ANNOTATION(scoped_lockable)
#define QX_GUARDED_BY(x) QX_THREAD_ANNOTATION(guarded_by(x))
#define QX_PT_GUARDED_BY(x) QX_THREAD_ANNOTATION(pt_guarded_by(x))
#define QX_ACQUIRED_BEFORE(...) QX_THREAD_ANNOTATION(acquired_before(__VA_ARGS__))
#define QX_ACQUIRED_AFTER(...) QX_THREAD_ANNOTATION(acquired_after(__VA_ARGS__))
#define QX_REQUIRES(...) QX_THREAD_ANNOTATION(requires_capability(__VA_ARGS__))
#define QX_REQUIRES_SHARED(...) QX_THREAD_ANNOTATION(requires_shared_capability(__VA_ARGS__))
#define QX_ACQUIRE(...) QX_THREAD_ANNOTATION(acquire_capability(__VA_ARGS__))
#define QX_ACQUIRE_SHARED(...) QX_THREAD_ANNOTATION(acquire_shared_capability(__VA_ARGS__))
#define QX_RELEASE(...) QX_THREAD_ANNOTATION(release_capability(__VA_ARGS__))
#define QX_RELEASE_SHARED(...) QX_THREAD_ANNOTATION(release_shared_capability(__VA_ARGS__))
#define QX_RELEASE_GENERIC(...) QX_THREAD_ANNOTATION(release_generic_capability(__VA_ARGS__))
#define QX_TRY_ACQUIRE(...) QX_THREAD_ANNOTATION(try_acquire_capability(__VA_ARGS__))
#define QX_EXCLUDES(...) QX_THREAD_ANNOTATION(locks_excluded(__VA_ARGS__))
#define QX_ASSERT_CAPABILITY(x) QX_THREAD_ANNOTATION(assert_capability(x))
#define QX_RETURN_CAPABILITY(x) QX_THREAD_ANNOTATION(lock_returned(x))
#define QX_NO_THREAD_SAFETY_ANALYSIS QX_THREAD_ANNOTATION(no_thread_safety_analysis)
