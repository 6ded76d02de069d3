// processEnd on POSIX: fflush, then _exit.
#include "platform/ProcessEnd.h"

#include <cstdio>

#include <unistd.h>

// Defined only when the process runs with the leak sanitizer (AddressSanitizer
// builds); null otherwise.
extern "C" __attribute__((weak)) void __lsan_do_leak_check();

namespace platform {

void processEnd(int32_t code) noexcept {
    std::fflush(stdout);
    std::fflush(stderr);
    if (&__lsan_do_leak_check != nullptr) __lsan_do_leak_check();
    _exit(code);
}

}  // namespace platform
