// Detached threads (_beginthread) and a small per-thread id.
#include "platform/Thread.h"

#include <atomic>
#include <cerrno>
#include <new>

#include <process.h>
#include <windows.h>

namespace platform {
namespace {

struct ThreadStart {
    ThreadFunction fn;  // what the new thread runs
    void* argument;     // its argument
};

void __cdecl threadTrampoline(void* raw) {
    ThreadStart start = *static_cast<ThreadStart*>(raw);
    delete static_cast<ThreadStart*>(raw);
    start.fn(start.argument);
}

std::atomic<uint64_t> nextThreadId{1};

}  // namespace

int32_t threadStartDetached(ThreadFunction fn, void* argument, size_t stackBytes) noexcept {
    if (fn == nullptr) {
        return EINVAL;
    }
    if (stackBytes > 0xFFFFFFFFu) {
        return EINVAL;
    }
    auto* start = new (std::nothrow) ThreadStart{fn, argument};
    if (start == nullptr) {
        return ENOMEM;
    }
    // _beginthread closes the thread's handle itself when the thread ends.
    errno = 0;
    uintptr_t thread = _beginthread(threadTrampoline, static_cast<unsigned>(stackBytes), start);
    if (thread == static_cast<uintptr_t>(-1L)) {
        int error = errno != 0 ? errno : EAGAIN;
        delete start;  // the thread never ran, so the start record is still ours
        return error;
    }
    return 0;
}

// Windows keeps no idle threads here: each start makes a thread.
int32_t threadStartReusable(ThreadFunction fn, void* argument, size_t stackBytes) noexcept {
    return threadStartDetached(fn, argument, stackBytes);
}

void threadRetire() noexcept {}

uint64_t threadCurrentId() noexcept {
    // Not GetCurrentThreadId: Windows reuses those as soon as a thread ends.
    thread_local const uint64_t id = nextThreadId.fetch_add(1, std::memory_order_relaxed);
    return id;
}

}  // namespace platform
