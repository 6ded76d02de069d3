// The service's life under the service manager: the service main function, the
// control handler, the stop sequence, and the dispatcher that runs them.
#pragma once

#include <cstdint>

constexpr uint32_t SERVICE_CONTROL_STOP = 1;
constexpr uint32_t SERVICE_CONTROL_INTERROGATE = 4;

// StartServiceCtrlDispatcherA: when the service manager started the process
// (platform::serviceManagerPresent), blocks the stop signal, runs serviceMain
// on its own thread, waits on this (the main) thread for the stop signal and
// hands it to serviceCtrlHandler; returns true once the service has reported
// stopped. Returns false at once, having started nothing, when the process was
// not started by the service manager or the stop signal cannot be set up: the
// caller then runs in the console. Call it before any other thread exists.
[[nodiscard]] bool serviceDispatch() noexcept;

// Sets up the XA bridge (bridgeLock and its opt-in settings), hands the XA
// requests' dispatch table to the connection loop, and runs the listener on
// the calling thread until it returns: acceptLoop's result. Both the service
// run and the console run serve through it.
int32_t runListener() noexcept;

// The service main function: attaches the status reports to the service
// manager, reports start pending (wait hint 3000 ms), runs the listener, and
// reports stopped when the listener returns, whatever ended it. When the
// listener failed by itself it then tells the manager why (STATUS=, ERRNO=).
void serviceMain(int argc, char** argv) noexcept;

// The control handler: a stop reports stop pending and runs stopService on the
// calling thread; any other control re-reports the current state.
void serviceCtrlHandler(uint32_t control) noexcept;

// The stop sequence: "Stop Service", clear the running flag, shut down the
// listening socket (which wakes the listener) and close it once the listener
// has let go of it, end every connection's blocked receive, pause 100 ms,
// release the XA bridge. Returns 0.
int32_t stopService() noexcept;
