// The fault guard (structured exceptions): synchronous processor faults are
// turned into a C++ exception thrown on the faulting thread.
//
// How it works: the handlers run on the faulting thread's own stack with
// SA_NODEFER, so the signal is not left blocked when the handler is left by a
// throw. The unwinder passes from the handler through the kernel's signal
// frame (libgcc knows the restorer's frame) into the faulting function; every
// file is built with -fnon-call-exceptions, so the faulting instruction lies in
// an exception region and the frame's destructors run. A fault sent by another
// process (kill -SEGV) is not synchronous: it gets the default action.
//
// Limits: a stack overflow cannot be turned into an exception (the handler has
// no stack to run on) and still ends the process; a fault inside the
// allocator leaves the allocator's state to chance.
#include "platform/FaultGuard.h"

#include <csignal>
#include <mutex>
#include <new>

#include <signal.h>

namespace platform {
namespace {

// The Windows codes of the rarer arithmetic faults.
constexpr uint32_t kIntegerOverflowCode = 0xC0000095;  // EXCEPTION_INT_OVERFLOW
constexpr uint32_t kFloatFaultCode = 0xC0000090;       // EXCEPTION_FLT_INVALID_OPERATION

std::mutex installMutex;
bool installed = false;  // guarded by installMutex

uint32_t codeFor(int signal, const siginfo_t* info) {
    switch (signal) {
        case SIGFPE:
            // x86 reports INT_MIN / -1 as FPE_INTDIV too; floating-point
            // traps are masked unless someone unmasks them.
            if (info->si_code == FPE_INTDIV) {
                return kIntegerDivideByZero;
            }
            return info->si_code == FPE_INTOVF ? kIntegerOverflowCode : kFloatFaultCode;
        case SIGILL:
            return kIllegalInstruction;
        default:
            return kAccessViolation;
    }
}

void faultHandler(int signal, siginfo_t* info, void* /*context*/) {
    if (info == nullptr || info->si_code <= 0) {
        // Sent with kill or sigqueue: nothing faulted on this thread.
        struct sigaction fallback {};
        fallback.sa_handler = SIG_DFL;
        sigemptyset(&fallback.sa_mask);
        sigaction(signal, &fallback, nullptr);
        raise(signal);
        return;
    }
    throw ProcessorFault{codeFor(signal, info)};
}

}  // namespace

void faultGuardInstall() noexcept {
    std::lock_guard<std::mutex> hold(installMutex);
    if (installed) {
        return;
    }
    struct sigaction action {};
    action.sa_sigaction = faultHandler;
    action.sa_flags = SA_SIGINFO | SA_NODEFER;
    sigemptyset(&action.sa_mask);
    for (int signal : {SIGSEGV, SIGBUS, SIGFPE, SIGILL}) {
        sigaction(signal, &action, nullptr);
    }
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
