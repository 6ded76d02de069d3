// Lock claims the compiler checks: clang's thread-safety annotations, and a
// mutex and scoped holder that carry them. With clang and -Wthread-safety a
// field marked GUARDED_BY(m) read or written without m held, or a function
// marked REQUIRES(m) called without it, is a compile-time warning
// (scripts/test.sh builds with it as an error); other compilers see nothing.
//
// Condition variables: wait through condWait / condWaitUntil below, in a loop
// that re-tests its condition, rather than with a predicate lambda: the
// analysis reads a lambda as a function of its own that holds no lock.
#pragma once

#include <chrono>
#include <condition_variable>
#include <mutex>

#if defined(__clang__)
#define MORVALEN_THREAD_ANNOTATION(x) __attribute__((x))
#else
#define MORVALEN_THREAD_ANNOTATION(x)
#endif

#ifndef CAPABILITY
#define CAPABILITY(x) MORVALEN_THREAD_ANNOTATION(capability(x))
#endif
#ifndef SCOPED_CAPABILITY
#define SCOPED_CAPABILITY MORVALEN_THREAD_ANNOTATION(scoped_lockable)
#endif
#ifndef GUARDED_BY
#define GUARDED_BY(x) MORVALEN_THREAD_ANNOTATION(guarded_by(x))
#endif
#ifndef PT_GUARDED_BY
#define PT_GUARDED_BY(x) MORVALEN_THREAD_ANNOTATION(pt_guarded_by(x))
#endif
#ifndef REQUIRES
#define REQUIRES(...) MORVALEN_THREAD_ANNOTATION(requires_capability(__VA_ARGS__))
#endif
#ifndef ACQUIRE
#define ACQUIRE(...) MORVALEN_THREAD_ANNOTATION(acquire_capability(__VA_ARGS__))
#endif
#ifndef RELEASE
#define RELEASE(...) MORVALEN_THREAD_ANNOTATION(release_capability(__VA_ARGS__))
#endif
#ifndef TRY_ACQUIRE
#define TRY_ACQUIRE(...) MORVALEN_THREAD_ANNOTATION(try_acquire_capability(__VA_ARGS__))
#endif
#ifndef EXCLUDES
#define EXCLUDES(...) MORVALEN_THREAD_ANNOTATION(locks_excluded(__VA_ARGS__))
#endif
#ifndef ASSERT_CAPABILITY
#define ASSERT_CAPABILITY(x) MORVALEN_THREAD_ANNOTATION(assert_capability(x))
#endif
#ifndef RETURN_CAPABILITY
#define RETURN_CAPABILITY(x) MORVALEN_THREAD_ANNOTATION(lock_returned(x))
#endif
#ifndef NO_THREAD_SAFETY_ANALYSIS
#define NO_THREAD_SAFETY_ANALYSIS MORVALEN_THREAD_ANNOTATION(no_thread_safety_analysis)
#endif

namespace platform {

// A std::mutex the analysis knows as a capability.
class CAPABILITY("mutex") Mutex {
public:
    Mutex() = default;
    Mutex(const Mutex&) = delete;
    Mutex& operator=(const Mutex&) = delete;
    void lock() ACQUIRE() { mutex.lock(); }
    void unlock() RELEASE() { mutex.unlock(); }
    [[nodiscard]] bool try_lock() TRY_ACQUIRE(true) { return mutex.try_lock(); }
    // The standard mutex underneath, for condition-variable waits only.
    std::mutex& native() RETURN_CAPABILITY(this) { return mutex; }

private:
    std::mutex mutex;
};

// Holds a Mutex for a scope (LevelDB's MutexLock).
class SCOPED_CAPABILITY MutexLock {
public:
    explicit MutexLock(Mutex& m) ACQUIRE(m) : held(m) { held.lock(); }
    ~MutexLock() RELEASE() { held.unlock(); }
    MutexLock(const MutexLock&) = delete;
    MutexLock& operator=(const MutexLock&) = delete;

private:
    Mutex& held;
};

// Waits on cv, releasing m while it waits and holding it again on return
// (which may be spurious: test the condition again).
inline void condWait(std::condition_variable& cv, Mutex& m) REQUIRES(m) {
    std::unique_lock<std::mutex> relock(m.native(), std::adopt_lock);
    cv.wait(relock);
    relock.release();
}

// As condWait, until deadline at the latest: false once the deadline passed.
template <class Clock, class Duration>
bool condWaitUntil(std::condition_variable& cv, Mutex& m, const std::chrono::time_point<Clock, Duration>& deadline)
    REQUIRES(m) {
    std::unique_lock<std::mutex> relock(m.native(), std::adopt_lock);
    bool woken = cv.wait_until(relock, deadline) == std::cv_status::no_timeout;
    relock.release();
    return woken;
}

}  // namespace platform
