// GetTickCount and Sleep.
#include "platform/Clock.h"

#include <windows.h>

namespace platform {

uint32_t systemTickCount() noexcept {
    return static_cast<uint32_t>(GetTickCount());
}

void sleepMs(uint32_t milliseconds) noexcept {
    Sleep(milliseconds);
}

}  // namespace platform
