// The re-entrant lock's owner and depth tracking, the same on every port: the
// port's file (posix/Sync.cpp, win32/Sync.cpp) supplies the lock underneath
// and the events.
#include "platform/Sync.h"

#include "platform/Thread.h"

namespace platform {

void lockEnter(ReentrantLock& lock) {
    lock.mutex.lock();
    lock.owner.store(threadCurrentId(), std::memory_order_relaxed);
    ++lock.depth;
}

void lockLeave(ReentrantLock& lock) {
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
