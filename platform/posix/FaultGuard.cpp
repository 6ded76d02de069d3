// The fault guard (structured exceptions): synchronous processor faults are
// turned into a C++ exception thrown on the faulting thread.
//
// How it works (x86-64): the handler does not throw itself. It makes the
// faulting thread look as if the faulting instruction had called
// faultTrampoline: it pushes the instruction's address + 1 as a return address
// and points the thread's instruction pointer at the trampoline, then returns.
// The thread resumes in the trampoline, outside any signal context, which
// aligns the stack and calls a function that throws ProcessorFault. The
// unwinder then finds the faulting frame from that return address (it looks
// up return address - 1, the faulting instruction itself); every file is built
// with -fnon-call-exceptions, so that instruction lies in an exception region
// and the frame's destructors run. Leaving the handler normally keeps the C
// library and the sanitizers' signal bookkeeping whole (ThreadSanitizer
// otherwise believes the thread is still inside a handler). On other
// processors the handler throws directly, through the kernel's signal frame;
// SA_NODEFER makes sure the signal is not left blocked then.
//
// A fault sent by another process (kill -SEGV) is not synchronous: it gets
// the default action.
//
// Limits: a stack overflow cannot be turned into an exception (the handler has
// no stack to run on) and still ends the process; a fault inside the
// allocator leaves the allocator's state to chance.
#include "platform/FaultGuard.h"

#include <csignal>
#include <initializer_list>

#include <signal.h>
#include <ucontext.h>

#include "platform/FaultGuardPort.h"

// The shared thrower (platform/FaultGuard.cpp), called directly where there is
// no signal frame to leave first.
extern "C" [[noreturn]] __attribute__((visibility("hidden"))) void morvalenThrowProcessorFault();

#if defined(__x86_64__)
extern "C" void morvalenFaultTrampoline();
// Entered with the stack as a call from the faulting instruction left it:
// [rsp] is that instruction's address + 1. A frame pointer keeps the unwind
// rule simple while the stack is realigned for the call.
asm(R"(
    .text
    .p2align 4
    .hidden morvalenFaultTrampoline
    .globl morvalenFaultTrampoline
    .type morvalenFaultTrampoline, @function
morvalenFaultTrampoline:
    .cfi_startproc
    pushq %rbp
    .cfi_def_cfa_offset 16
    .cfi_offset %rbp, -16
    movq %rsp, %rbp
    .cfi_def_cfa_register %rbp
    andq $-16, %rsp
    call morvalenThrowProcessorFault@PLT
    ud2
    .cfi_endproc
    .size morvalenFaultTrampoline, .-morvalenFaultTrampoline
)");
#endif

namespace platform {
namespace {

// The Windows codes of the rarer arithmetic faults.
constexpr uint32_t kIntegerOverflowCode = 0xC0000095;  // EXCEPTION_INT_OVERFLOW
constexpr uint32_t kFloatFaultCode = 0xC0000090;       // EXCEPTION_FLT_INVALID_OPERATION

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

void faultHandler(int signal, siginfo_t* info, void* context) {
    if (info == nullptr || info->si_code <= 0) {
        // Sent with kill or sigqueue: nothing faulted on this thread.
        struct sigaction fallback {};
        fallback.sa_handler = SIG_DFL;
        sigemptyset(&fallback.sa_mask);
        sigaction(signal, &fallback, nullptr);
        raise(signal);
        return;
    }
    faultSetPendingCode(codeFor(signal, info));
#if defined(__x86_64__)
    if (context != nullptr) {
        greg_t* registers = static_cast<ucontext_t*>(context)->uc_mcontext.gregs;
        auto* stack = reinterpret_cast<greg_t*>(registers[REG_RSP]);
        *(stack - 1) = registers[REG_RIP] + 1;
        registers[REG_RSP] = reinterpret_cast<greg_t>(stack - 1);
        registers[REG_RIP] = reinterpret_cast<greg_t>(&morvalenFaultTrampoline);
        return;
    }
#endif
    morvalenThrowProcessorFault();
}

}  // namespace

void faultGuardInstallPort() noexcept {
    struct sigaction action {};
    action.sa_sigaction = faultHandler;
    action.sa_flags = SA_SIGINFO | SA_NODEFER;
    sigemptyset(&action.sa_mask);
    for (int signal : {SIGSEGV, SIGBUS, SIGFPE, SIGILL}) {
        sigaction(signal, &action, nullptr);
    }
}

}  // namespace platform
