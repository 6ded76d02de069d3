// Manual-reset events (CreateEvent with manual reset) on the C++ standard
// library; the re-entrant lock's tracking is in ../Sync.cpp.
#include "platform/Sync.h"

#include <new>

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

}  // namespace platform
