// Shared inside the Win32 platform layer only: the service run's pieces that
// Notify.cpp (the dispatcher and the status reports), Signals.cpp (the stop
// control) and SystemLog.cpp (the source name) have in common.
#pragma once

namespace platform {

// The event source's name, which is the service's name too ("Morvalen" unless
// systemLogOpen named another).
[[nodiscard]] const char* win32SourceName() noexcept;

// The control handler received SERVICE_CONTROL_STOP: ends stopSignalWait.
void win32StopControlArrived() noexcept;

}  // namespace platform
