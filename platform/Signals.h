// The stop control of a service run (the control dispatcher's side of
// StartServiceCtrlDispatcherA): the service manager asks a service to stop with
// SIGTERM. The main thread blocks it before any other thread exists, so that no
// thread of the process is ever killed by it, and then waits for it here. The
// service's own thread can wake the main thread when the service ended by
// itself (for example when its listener could not bind its port).
#pragma once

#include <cstdint>

namespace platform {

// What ended a stopSignalWait.
enum class StopWake {
    StopRequested,  // the stop signal arrived
    Woken,          // stopSignalWake was called
    Failed,         // the wait itself failed (lastError set)
};

// Blocks the stop signal for the calling thread and, through inheritance, for
// every thread it starts afterwards, and prepares the wait. Call it on the main
// thread before any other thread exists. 0 on success, otherwise the system's
// error number (the signal's disposition is then unchanged).
[[nodiscard]] int32_t stopSignalBlock() noexcept;

// Waits, without a time-out, until the stop signal arrives or stopSignalWake is
// called, whichever comes first; a wake or a signal that came before the call
// ends it at once. Only after stopSignalBlock.
[[nodiscard]] StopWake stopSignalWait() noexcept;

// Wakes the thread in stopSignalWait (or makes its next wait return at once).
// Callable from any thread, any number of times.
void stopSignalWake() noexcept;

// The reload control: SIGHUP asks a running service to read its files again.
// Blocks SIGHUP for the calling thread and every thread it starts afterwards,
// and starts a thread of its own (with every signal blocked) that calls
// onReload once per SIGHUP received, for the life of the process. Call it on
// the main thread before any other thread exists. 0, or -1 where there is no
// such signal (Windows) or the thread cannot be made; SIGHUP keeps its
// default action then.
[[nodiscard]] int32_t reloadSignalWatch(void (*onReload)()) noexcept;

}  // namespace platform
