#pragma once

// Clang's thread-safety attributes as macros, so that -Wthread-safety checks which mutex guards
// what; they expand to nothing for compilers without the analysis.

#if defined(__clang__)
#define QM_THREAD_ANNOTATION(x) __attribute__((x))
#else
#define QM_THREAD_ANNOTATION(x)
#endif

// A type that is a lock: `class QM_CAPABILITY("mutex") Mutex`.
#define QM_CAPABILITY(x) QM_THREAD_ANNOTATION(capability(x))
// A type whose objects hold a lock for their lifetime.
#define QM_SCOPED_CAPABILITY QM_THREAD_ANNOTATION(scoped_lockable)
// A member read or written only with the lock held.
#define QM_GUARDED_BY(x) QM_THREAD_ANNOTATION(guarded_by(x))
// A pointer member whose pointee is read or written only with the lock held.
#define QM_PT_GUARDED_BY(x) QM_THREAD_ANNOTATION(pt_guarded_by(x))
// A function called with the lock held.
#define QM_REQUIRES(...) QM_THREAD_ANNOTATION(requires_capability(__VA_ARGS__))
// A function called without the lock (it takes the lock itself).
#define QM_EXCLUDES(...) QM_THREAD_ANNOTATION(locks_excluded(__VA_ARGS__))
// A function that takes the lock and returns holding it.
#define QM_ACQUIRE(...) QM_THREAD_ANNOTATION(acquire_capability(__VA_ARGS__))
// A function that takes the lock only when it returns the given value: QM_TRY_ACQUIRE(true, mu_).
#define QM_TRY_ACQUIRE(...) QM_THREAD_ANNOTATION(try_acquire_capability(__VA_ARGS__))
// A function that releases the lock.
#define QM_RELEASE(...) QM_THREAD_ANNOTATION(release_capability(__VA_ARGS__))
// A function after which the lock is known to be held (by the calling thread).
#define QM_ASSERT_CAPABILITY(x) QM_THREAD_ANNOTATION(assert_capability(x))
// A function that returns a reference to the lock.
#define QM_RETURN_CAPABILITY(x) QM_THREAD_ANNOTATION(lock_returned(x))
// A function the analysis does not look into.
#define QM_NO_THREAD_SAFETY_ANALYSIS QM_THREAD_ANNOTATION(no_thread_safety_analysis)
