// Between the fault guard's shared half (platform/FaultGuard.cpp) and the
// port that catches the faults (posix/FaultGuard.cpp: signals;
// win32/FaultGuard.cpp: the unhandled-exception filter). Nothing outside the
// platform layer includes it.
//
// A port's handler records the exception's code with faultSetPendingCode and
// makes the faulting thread continue in its trampoline, which calls
// morvalenThrowProcessorFault (the shared half, by its assembler name): that
// throws ProcessorFault with the recorded code on the faulting thread, in
// ordinary context.
#pragma once

#include <cstdint>

namespace platform {

// Installs the port's handlers for the whole process. Called once, by
// faultGuardInstall, under its lock.
void faultGuardInstallPort() noexcept;

// Records the code that the thrower throws next on the calling thread. Safe in
// a signal handler (a plain thread-local store).
void faultSetPendingCode(uint32_t code) noexcept;

}  // namespace platform
