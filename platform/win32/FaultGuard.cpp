// The fault guard on Windows: structured exceptions. The process's unhandled-
// exception filter, which Windows asks on the faulting thread once every
// frame-based handler has declined the exception (the outermost __except of
// every thread start asks it), keeps the exception's own code and makes the
// thread continue in a trampoline that throws ProcessorFault with that code as
// a C++ exception. Code that handles its own faults with __try/__except (the
// system's, or MS DTC's) keeps them; only faults that would end the process
// are taken. The unwinder then finds the faulting frame through the
// trampoline's return address (the faulting instruction's address + 1, so
// that its lookup of address - 1 lands on the faulting instruction); every
// file is built with -fnon-call-exceptions, so that instruction lies in an
// exception region and the frame's destructors run, and the nearest guard's
// catch (...) reports the code.
//
// The filter does not write below the faulting stack pointer (the system's
// exception dispatch is using that stack): it passes the return address in
// r11, a scratch register that no call preserves, and the trampoline pushes it.
//
// Only faults in code that has unwind information are taken (all code built
// here has); a fault elsewhere, a stack overflow and every exception that is
// not a processor fault go on to the filter that was there before (the C
// runtime's), and so to the system's own handling.
#include "platform/FaultGuard.h"

#include <mutex>
#include <new>

#include <windows.h>

namespace platform {
namespace {

thread_local uint32_t pendingFaultCode = 0;  // set by the handler for the trampoline

}  // namespace
}  // namespace platform

// Called by the trampoline on the faulting thread, in ordinary context.
extern "C" [[noreturn]] __attribute__((used)) void morvalenThrowProcessorFault() {
    throw platform::ProcessorFault{platform::pendingFaultCode};
}

extern "C" void morvalenFaultTrampoline();
// Entered with r11 = the faulting instruction's address + 1: pushed, it is the
// return address of a call made by the faulting instruction. The body's unwind
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

std::mutex installMutex;
bool installed = false;  // guarded by installMutex
LPTOP_LEVEL_EXCEPTION_FILTER previousFilter = nullptr;  // set once under installMutex

bool isProcessorFault(DWORD code) {
    switch (code) {
        case EXCEPTION_ACCESS_VIOLATION:
        case EXCEPTION_IN_PAGE_ERROR:
        case EXCEPTION_DATATYPE_MISALIGNMENT:
        case EXCEPTION_ARRAY_BOUNDS_EXCEEDED:
        case EXCEPTION_INT_DIVIDE_BY_ZERO:
        case EXCEPTION_INT_OVERFLOW:
        case EXCEPTION_ILLEGAL_INSTRUCTION:
        case EXCEPTION_PRIV_INSTRUCTION:
        case EXCEPTION_FLT_DIVIDE_BY_ZERO:
        case EXCEPTION_FLT_INVALID_OPERATION:
        case EXCEPTION_FLT_OVERFLOW:
        case EXCEPTION_FLT_UNDERFLOW:
        case EXCEPTION_FLT_INEXACT_RESULT:
        case EXCEPTION_FLT_DENORMAL_OPERAND:
        case EXCEPTION_FLT_STACK_CHECK:
            return true;
        default:
            return false;
    }
}

LONG passOn(EXCEPTION_POINTERS* pointers) {
    return previousFilter != nullptr ? previousFilter(pointers) : EXCEPTION_CONTINUE_SEARCH;
}

LONG WINAPI faultFilter(EXCEPTION_POINTERS* pointers) {
    if (pointers == nullptr || pointers->ExceptionRecord == nullptr || pointers->ContextRecord == nullptr) {
        return passOn(pointers);
    }
    DWORD code = pointers->ExceptionRecord->ExceptionCode;
    if (!isProcessorFault(code) || (pointers->ExceptionRecord->ExceptionFlags & EXCEPTION_NONCONTINUABLE) != 0) {
        return passOn(pointers);
    }
    CONTEXT* context = pointers->ContextRecord;
    DWORD64 imageBase = 0;
    if (RtlLookupFunctionEntry(context->Rip, &imageBase, nullptr) == nullptr) {
        return passOn(pointers);
    }
    pendingFaultCode = code;
    context->R11 = context->Rip + 1;
    context->Rip = reinterpret_cast<DWORD64>(&morvalenFaultTrampoline);
    return EXCEPTION_CONTINUE_EXECUTION;
}

}  // namespace

void faultGuardInstall() noexcept {
    std::lock_guard<std::mutex> hold(installMutex);
    if (installed) {
        return;
    }
    previousFilter = SetUnhandledExceptionFilter(faultFilter);
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
