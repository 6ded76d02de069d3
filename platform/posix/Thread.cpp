// Detached threads (_beginthread) on pthreads, and a small per-thread id.
#include "platform/Thread.h"

#include <atomic>
#include <cerrno>
#include <new>

#include <pthread.h>

namespace platform {
namespace {

struct ThreadStart {
    ThreadFunction fn;  // what the new thread runs
    void* argument;     // its argument
};

void* threadTrampoline(void* raw) {
    ThreadStart start = *static_cast<ThreadStart*>(raw);
    delete static_cast<ThreadStart*>(raw);
    start.fn(start.argument);
    return nullptr;
}

std::atomic<uint64_t> nextThreadId{1};

}  // namespace

int32_t threadStartDetached(ThreadFunction fn, void* argument, size_t stackBytes) noexcept {
    if (fn == nullptr) {
        return EINVAL;
    }
    auto* start = new (std::nothrow) ThreadStart{fn, argument};
    if (start == nullptr) {
        return ENOMEM;
    }
    pthread_attr_t attributes;
    int error = pthread_attr_init(&attributes);
    if (error == 0) {
        error = pthread_attr_setdetachstate(&attributes, PTHREAD_CREATE_DETACHED);
        if (error == 0 && stackBytes != 0) {
            error = pthread_attr_setstacksize(&attributes, stackBytes);
        }
        if (error == 0) {
            pthread_t thread;
            error = pthread_create(&thread, &attributes, threadTrampoline, start);
        }
        pthread_attr_destroy(&attributes);
    }
    if (error != 0) {
        delete start;  // the thread never ran, so the start record is still ours
    }
    return error;
}

uint64_t threadCurrentId() noexcept {
    thread_local const uint64_t id = nextThreadId.fetch_add(1, std::memory_order_relaxed);
    return id;
}

}  // namespace platform
