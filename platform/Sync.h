// Synchronisation: manual-reset events and the re-entrant lock (a Windows
// critical section). Built on the C++ standard library, so they are the same on
// every platform; they live here because the Windows build maps them to kernel
// objects.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <mutex>

namespace platform {

// A manual-reset event: set wakes every waiter and stays set until reset.
struct Event {
    std::mutex mutex;
    std::condition_variable changed;
    bool signalled = false;  // guarded by mutex
};

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

// The re-entrant lock. Tracks its owner and depth so that code can assert it holds it.
struct ReentrantLock {
    std::recursive_mutex mutex;
    std::atomic<uint64_t> owner{0};  // thread id of the holder, 0 when free
    int32_t depth = 0;               // written only by the holder
};

void lockEnter(ReentrantLock& lock);
void lockLeave(ReentrantLock& lock);
// True when the calling thread holds the lock.
[[nodiscard]] bool lockHeldByMe(const ReentrantLock& lock);

// Holds a ReentrantLock for a scope.
struct ScopedLock {
    explicit ScopedLock(ReentrantLock& l) : lock(l) { lockEnter(lock); }
    ~ScopedLock() { lockLeave(lock); }
    ScopedLock(const ScopedLock&) = delete;
    ScopedLock& operator=(const ScopedLock&) = delete;
    ReentrantLock& lock;
};

}  // namespace platform
