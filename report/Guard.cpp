// The report of the guard that every top-level operation runs under.
#include "report/Guard.h"

#include <cstdio>

void reportException(const char* operation, int32_t code) noexcept {
    // Formatted on the stack: the exception may be an allocation failure.
    char text[1024];
    snprintf(text, sizeof text, "Exception in %s", operation != nullptr ? operation : "");
    reportErrorCode(text, code);
}
