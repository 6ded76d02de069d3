// The guard that every top-level operation runs under: it catches every
// exception, processor faults included, reports "Exception in <operation>" with
// the exception's code, and returns the given code. RAII objects declared inside
// the body have been destroyed by then.
#pragma once

#include <cstdint>
#include <cstdio>

#include "platform/FaultGuard.h"
#include "report/Report.h"

void reportException(const char* operation, int32_t code) noexcept;

template <typename Body>
[[nodiscard]] int32_t guardedCall(const char* operation, int32_t onException, Body&& body) noexcept {
    try {
        return body();
    } catch (...) {
        reportException(operation, platform::currentExceptionCode());
        return onException;
    }
}

// For bodies without a result: true when the body returned normally.
template <typename Body>
bool guardedRun(const char* operation, Body&& body) noexcept {
    try {
        body();
        return true;
    } catch (...) {
        reportException(operation, platform::currentExceptionCode());
        return false;
    }
}
