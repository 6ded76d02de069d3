// The re-entrant lock's owner and depth tracking, the same on every port: the
// port's file (posix/Sync.cpp, win32/Sync.cpp) supplies the lock underneath
// and the events.
#include "platform/Sync.h"

#include "platform/Thread.h"

namespace platform {

// These two are where the capability is taken and given back; the lock
// underneath (std::recursive_mutex, a critical section) is unknown to the
// thread-safety analysis, so it cannot see them do so and is off for them.
void lockEnter(ReentrantLock& lock) NO_THREAD_SAFETY_ANALYSIS {
    lock.mutex.lock();
    lock.owner.store(threadCurrentId(), std::memory_order_relaxed);
    ++lock.depth;
}

void lockLeave(ReentrantLock& lock) NO_THREAD_SAFETY_ANALYSIS {
    if (--lock.depth == 0) {
        lock.owner.store(0, std::memory_order_relaxed);
    }
    lock.mutex.unlock();
}

bool lockHeldByMe(const ReentrantLock& lock) {
    // Only the holder can have stored its own id, so a relaxed read suffices.
    return lock.owner.load(std::memory_order_relaxed) == threadCurrentId();
}

}  // namespace platform
