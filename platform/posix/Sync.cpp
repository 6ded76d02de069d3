// Manual-reset events (CreateEvent with manual reset) and the re-entrant lock
// (a critical section), on the C++ standard library.
#include "platform/Sync.h"

#include <new>

#include "platform/Thread.h"

namespace platform {

Event* eventCreate() noexcept {
    return new (std::nothrow) Event;
}

bool eventSet(Event* event) noexcept {
    if (event == nullptr) {
        return false;
    }
    // Notified under the mutex: a waiter that wakes may close the event at
    // once, so the setter must be done with it before the waiter can return.
    std::lock_guard<std::mutex> hold(event->mutex);
    event->signalled = true;
    event->changed.notify_all();
    return true;
}

bool eventReset(Event* event) noexcept {
    if (event == nullptr) {
        return false;
    }
    std::lock_guard<std::mutex> hold(event->mutex);
    event->signalled = false;
    return true;
}

bool eventWait(Event* event) noexcept {
    if (event == nullptr) {
        return false;
    }
    std::unique_lock<std::mutex> hold(event->mutex);
    event->changed.wait(hold, [event] { return event->signalled; });
    return true;
}

void eventClose(Event* event) noexcept {
    delete event;
}

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
