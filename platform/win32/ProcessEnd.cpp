// processEnd on Windows: flush, then ExitProcess, which ends every other thread
// before the DLLs are told to detach.
#include "platform/ProcessEnd.h"

#include <cstdio>

#include <windows.h>

namespace platform {

void processEnd(int32_t code) noexcept {
    std::fflush(stdout);
    std::fflush(stderr);
    ExitProcess(static_cast<UINT>(code));
}

}  // namespace platform
