// The fault guard on Windows: structured exceptions. The process's unhandled-
// exception filter, which Windows asks on the faulting thread once every
// frame-based handler has declined the exception (the outermost __except of
// every thread start asks it), accepts every exception, keeps its own code and
// makes the thread continue in a trampoline that throws ProcessorFault with
// that code as a C++ exception. That covers processor faults and software
// exceptions alike (RaiseException, as an RPC failure inside MS DTC surfaces).
// Code that handles its own exceptions with __try/__except (the system's, or
// MS DTC's) keeps them; only exceptions that would end the process are taken.
// The unwinder then finds the raising frame through the trampoline's return
// address (the address at which the exception was raised + 1, so that its
// lookup of address - 1 lands on the raising instruction); every file is built
// with -fnon-call-exceptions, so a faulting instruction of ours lies in an
// exception region and the frame's destructors run, and the nearest guard's
// catch (...) reports the code. For a software exception the context stands
// inside RaiseException, just after its own call that raised; the system's
// libraries carry unwind information too, so the unwinder walks on from there
// to RaiseException's caller.
//
// The filter does not write below the raising stack pointer (the system's
// exception dispatch is using that stack): it passes the return address in
// r11, a scratch register that no call preserves, and the trampoline pushes it.
// A non-continuable exception (RaiseException with EXCEPTION_NONCONTINUABLE,
// as RpcRaiseException raises) is not continued where it was raised, which the
// dispatcher would refuse, but sent to the trampoline by restoring the
// redirected context directly.
//
// Passed on to the filter that was there before (the C runtime's), and so to
// the system's own handling: the C++ runtime's own exceptions (an uncaught
// throw must still end in std::terminate), a stack overflow (no stack left to
// throw on), and an exception raised where there is no unwind information
// (all code built here has it, and so have the system's libraries).
#include "platform/FaultGuard.h"

#include <windows.h>

#include "platform/FaultGuardPort.h"

extern "C" void morvalenFaultTrampoline();
// Entered with r11 = the raising address + 1: pushed, it is the return address
// of a call made by the raising instruction. The body's unwind
// information (a frame pointer) covers the realigned stack of the call.
asm(R"(
    .text
    .p2align 4
    .globl morvalenFaultTrampoline
    .def morvalenFaultTrampoline; .scl 2; .type 32; .endef
morvalenFaultTrampoline:
    pushq %r11
    .def morvalenFaultTrampolineBody; .scl 3; .type 32; .endef
    .seh_proc morvalenFaultTrampolineBody
morvalenFaultTrampolineBody:
    pushq %rbp
    .seh_pushreg %rbp
    movq %rsp, %rbp
    .seh_setframe %rbp, 0
    .seh_endprologue
    andq $-16, %rsp
    subq $32, %rsp
    call morvalenThrowProcessorFault
    ud2
    .seh_endproc
)");

namespace platform {
namespace {

LPTOP_LEVEL_EXCEPTION_FILTER previousFilter = nullptr;  // set once, by faultGuardInstallPort

// The C++ runtime's own exceptions: a throw, and the unwinder's internal ones.
// Their codes carry "GCC" in the low three bytes and bit 29 (customer code).
bool isRuntimeException(DWORD code) {
    return (code & 0x20FFFFFFu) == 0x20474343u;
}

LONG passOn(EXCEPTION_POINTERS* pointers) {
    return previousFilter != nullptr ? previousFilter(pointers) : EXCEPTION_CONTINUE_SEARCH;
}

LONG WINAPI faultFilter(EXCEPTION_POINTERS* pointers) {
    if (pointers == nullptr || pointers->ExceptionRecord == nullptr || pointers->ContextRecord == nullptr) {
        return passOn(pointers);
    }
    const EXCEPTION_RECORD* record = pointers->ExceptionRecord;
    DWORD code = record->ExceptionCode;
    if (isRuntimeException(code) || code == EXCEPTION_STACK_OVERFLOW) {
        return passOn(pointers);
    }
    CONTEXT* context = pointers->ContextRecord;
    DWORD64 imageBase = 0;
    if (RtlLookupFunctionEntry(context->Rip, &imageBase, nullptr) == nullptr) {
        return passOn(pointers);
    }
    faultSetPendingCode(code);
    context->R11 = context->Rip + 1;
    context->Rip = reinterpret_cast<DWORD64>(&morvalenFaultTrampoline);
    if ((record->ExceptionFlags & EXCEPTION_NONCONTINUABLE) != 0) {
        // Leaves the dispatch for good: its frames below the raising stack
        // pointer are abandoned, as a continued exception abandons them.
        RtlRestoreContext(context, nullptr);
    }
    return EXCEPTION_CONTINUE_EXECUTION;
}

}  // namespace

void faultGuardInstallPort() noexcept {
    previousFilter = SetUnhandledExceptionFilter(faultFilter);
}

}  // namespace platform
