// The fault guard's half that is the same on every port: the install made once
// per process, the thrower that a port's trampoline calls on the faulting
// thread, and the code of the exception that a guard has caught. The ports
// (posix/FaultGuard.cpp, win32/FaultGuard.cpp) catch the fault itself and send
// the faulting thread to the thrower (platform/FaultGuardPort.h).
#include "platform/FaultGuard.h"

#include <mutex>
#include <new>

#include "platform/FaultGuardPort.h"

namespace platform {
namespace {

thread_local uint32_t pendingFaultCode = 0;  // set by the port's handler for the thrower

std::mutex installMutex;
bool installed = false;  // guarded by installMutex

}  // namespace

void faultSetPendingCode(uint32_t code) noexcept {
    pendingFaultCode = code;
}

void faultGuardInstall() noexcept {
    std::lock_guard<std::mutex> hold(installMutex);
    if (installed) {
        return;
    }
    faultGuardInstallPort();
    installed = true;
}

int32_t currentExceptionCode() noexcept {
    uint32_t code = kCppException;
    try {
        throw;
    } catch (const ProcessorFault& fault) {
        code = fault.code;
    } catch (const std::bad_alloc&) {
        code = kNoMemory;
    } catch (...) {
        code = kCppException;
    }
    return static_cast<int32_t>(code);
}

}  // namespace platform

// Called by a port's trampoline on the faulting thread, in ordinary context.
// The POSIX trampoline calls it through the PLT of its own object: hidden, so
// the call stays inside the module. Windows has no such visibility.
#if defined(_WIN32)
extern "C" [[noreturn]] __attribute__((used)) void morvalenThrowProcessorFault() {
#else
extern "C" [[noreturn]] __attribute__((visibility("hidden"), used)) void morvalenThrowProcessorFault() {
#endif
    throw platform::ProcessorFault{platform::pendingFaultCode};
}
