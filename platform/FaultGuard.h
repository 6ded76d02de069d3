// The fault guard (structured exceptions): an exception that no code of the
// faulting thread handles itself (a processor fault, and on Windows any
// structured exception, a software one raised with RaiseException included)
// is turned into a C++ exception thrown on that thread, so the nearest guard
// catches it and RAII clean-up runs. The code is built with
// -fnon-call-exceptions for this. The ports: posix/FaultGuard.cpp (synchronous
// signals), win32/FaultGuard.cpp (the unhandled-exception filter); what they
// share is in FaultGuard.cpp.
#pragma once

#include <cstdint>

namespace platform {

// Windows-style exception codes.
constexpr uint32_t kAccessViolation = 0xC0000005;     // -1073741819
constexpr uint32_t kIntegerDivideByZero = 0xC0000094; // -1073741676
constexpr uint32_t kIllegalInstruction = 0xC000001D;  // -1073741795
constexpr uint32_t kCppException = 0xE06D7363;        // -529697949
constexpr uint32_t kNoMemory = 0xC0000017;            // -1073741801

// What a caught fault throws.
struct ProcessorFault {
    uint32_t code;  // one of the codes above; on Windows the exception's own code
};

// Installs the port's handlers for the whole process (idempotent, thread-safe).
void faultGuardInstall() noexcept;

// Inside a catch (...) block: the Windows-style code of the exception being
// handled (ProcessorFault's code, kNoMemory for std::bad_alloc, kCppException
// for anything else), as the signed number reports print.
[[nodiscard]] int32_t currentExceptionCode() noexcept;

}  // namespace platform
