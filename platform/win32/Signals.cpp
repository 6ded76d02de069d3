// The stop control of a service run on Windows: the control handler (on the
// dispatcher's thread, Notify.cpp) sets the stop event; the main thread waits
// for it or for the wake event. Both are manual-reset events made once.
#include "platform/Signals.h"

#include <mutex>

#include <windows.h>

#include "platform/win32/Service.h"

namespace platform {
namespace {

std::once_flag eventsMade;
HANDLE stopEvent = nullptr;  // set by the stop control
HANDLE wakeEvent = nullptr;  // set by stopSignalWake

void makeEvents() {
    std::call_once(eventsMade, [] {
        stopEvent = CreateEventA(nullptr, TRUE, FALSE, nullptr);
        wakeEvent = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    });
}

}  // namespace

void win32StopControlArrived() noexcept {
    makeEvents();
    if (stopEvent != nullptr) SetEvent(stopEvent);
}

int32_t stopSignalBlock() noexcept {
    // Nothing to block: Windows delivers the stop as a control, not a signal.
    makeEvents();
    if (stopEvent == nullptr || wakeEvent == nullptr) return static_cast<int32_t>(GetLastError());
    return 0;
}

StopWake stopSignalWait() noexcept {
    makeEvents();
    HANDLE events[2] = {stopEvent, wakeEvent};
    if (stopEvent == nullptr || wakeEvent == nullptr) {
        SetLastError(ERROR_INVALID_HANDLE);
        return StopWake::Failed;
    }
    switch (WaitForMultipleObjects(2, events, FALSE, INFINITE)) {
        case WAIT_OBJECT_0:
            return StopWake::StopRequested;
        case WAIT_OBJECT_0 + 1:
            return StopWake::Woken;
        default:
            return StopWake::Failed;
    }
}

void stopSignalWake() noexcept {
    makeEvents();
    if (wakeEvent != nullptr) SetEvent(wakeEvent);
}

int32_t reloadSignalWatch(void (*)()) noexcept {
    return -1;  // no SIGHUP on Windows; nothing reloads there yet
}

}  // namespace platform
