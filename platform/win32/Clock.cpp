// GetTickCount and Sleep.
#include "platform/Clock.h"

#include <atomic>

#include <windows.h>

namespace platform {
namespace {

std::atomic<TickSource> substituteSource{nullptr};  // read by every thread

}  // namespace

uint32_t tickCount() noexcept {
    TickSource source = substituteSource.load(std::memory_order_acquire);
    if (source != nullptr) {
        return source();
    }
    return static_cast<uint32_t>(GetTickCount());
}

void tickCountSubstitute(TickSource source) noexcept {
    substituteSource.store(source, std::memory_order_release);
}

void sleepMs(uint32_t milliseconds) noexcept {
    Sleep(milliseconds);
}

}  // namespace platform
