// Starting threads that a library makes for itself (the metrics endpoint's
// HTTP server) so that they never take an asynchronous signal meant for the
// process, above all the service manager's stop signal, which only the main
// thread may receive. New threads inherit the mask of the thread that starts
// them, so the caller holds the signals around the library call that starts
// them. No counterpart on Windows, where signals do not pick a thread.
#pragma once

namespace platform {

// Blocks every asynchronous signal on the calling thread (the processor
// faults stay deliverable), keeping the mask it had for threadSignalsRelease.
// Not nested.
void threadSignalsHold() noexcept;

// Restores the mask the calling thread had before threadSignalsHold.
void threadSignalsRelease() noexcept;

}  // namespace platform
