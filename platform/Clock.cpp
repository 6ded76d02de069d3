// The tick count as callers see it, the same on every port: the substitute a
// test installed, else the port's own count (posix/Clock.cpp, win32/Clock.cpp).
#include "platform/Clock.h"

#include <atomic>

namespace platform {
namespace {

std::atomic<TickSource> substituteSource{nullptr};  // read by every thread

}  // namespace

uint32_t tickCount() noexcept {
    TickSource source = substituteSource.load(std::memory_order_acquire);
    if (source != nullptr) {
        return source();
    }
    return systemTickCount();
}

void tickCountSubstitute(TickSource source) noexcept {
    substituteSource.store(source, std::memory_order_release);
}

}  // namespace platform
