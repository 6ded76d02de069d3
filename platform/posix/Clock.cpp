// GetTickCount and Sleep: CLOCK_MONOTONIC in milliseconds truncated to 32 bits,
// so the count wraps after about 49.7 days just as the Windows one does and
// code that subtracts two counts keeps working across the wrap.
#include "platform/Clock.h"

#include <cerrno>

#include <time.h>

namespace platform {

uint32_t systemTickCount() noexcept {
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    uint64_t ms = static_cast<uint64_t>(now.tv_sec) * 1000u + static_cast<uint64_t>(now.tv_nsec) / 1000000u;
    return static_cast<uint32_t>(ms);
}

void sleepMs(uint32_t milliseconds) noexcept {
    timespec remaining{static_cast<time_t>(milliseconds / 1000),
                       static_cast<long>((milliseconds % 1000) * 1000000L)};
    while (nanosleep(&remaining, &remaining) != 0 && errno == EINTR) {
    }
}

}  // namespace platform
