// Synchronisation: manual-reset events and the re-entrant lock (a Windows
// critical section). On POSIX they are built on the C++ standard library; on
// Windows an event is a kernel event object and the lock a critical section.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <mutex>

#include "platform/ThreadSafety.h"

namespace platform {

// A manual-reset event: set wakes every waiter and stays set until reset.
#if defined(_WIN32)
struct Event {
    void* handle = nullptr;             // CreateEventA, manual reset
    std::atomic<bool> signalled{false}; // follows set and reset, for observation only
};
#else
struct Event {
    std::mutex mutex;
    std::condition_variable changed;
    bool signalled = false;  // guarded by mutex
};
#endif

// A new, unsignalled event, or nullptr when it cannot be allocated.
[[nodiscard]] Event* eventCreate() noexcept;
// Sets the event. False only for a null event.
bool eventSet(Event* event) noexcept;
// Clears the event. False only for a null event.
bool eventReset(Event* event) noexcept;
// Waits, without a time-out, until the event is set. False only for a null event.
bool eventWait(Event* event) noexcept;
// Frees the event; null is allowed. No thread may wait on it any more.
void eventClose(Event* event) noexcept;

#if defined(_WIN32)
// A Windows critical section held in place (its size on 64-bit Windows),
// with the lock operations of a std::recursive_mutex.
struct CriticalSection {
    CriticalSection() noexcept;
    ~CriticalSection();
    CriticalSection(const CriticalSection&) = delete;
    CriticalSection& operator=(const CriticalSection&) = delete;
    void lock() noexcept;
    void unlock() noexcept;
    [[nodiscard]] bool try_lock() noexcept;
    alignas(8) unsigned char storage[40];
};
#endif

// The re-entrant lock. Tracks its owner and depth so that code can assert it holds it.
// A capability for clang's thread-safety analysis (ThreadSafety.h), which knows
// no re-entry: code that takes it again while holding it does so through a
// function of its own, never twice in one function body.
struct CAPABILITY("mutex") ReentrantLock {
#if defined(_WIN32)
    CriticalSection mutex;
#else
    std::recursive_mutex mutex;
#endif
    std::atomic<uint64_t> owner{0};  // thread id of the holder, 0 when free
    int32_t depth = 0;               // written only by the holder
};

void lockEnter(ReentrantLock& lock) ACQUIRE(lock);
void lockLeave(ReentrantLock& lock) RELEASE(lock);
// True when the calling thread holds the lock.
[[nodiscard]] bool lockHeldByMe(const ReentrantLock& lock);

// Holds a ReentrantLock for a scope.
struct SCOPED_CAPABILITY ScopedLock {
    explicit ScopedLock(ReentrantLock& l) ACQUIRE(l) : lock(l) { lockEnter(lock); }
    ~ScopedLock() RELEASE() { lockLeave(lock); }
    ScopedLock(const ScopedLock&) = delete;
    ScopedLock& operator=(const ScopedLock&) = delete;
    ReentrantLock& lock;
};

}  // namespace platform
