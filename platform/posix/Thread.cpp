// Detached threads (_beginthread) on pthreads, a small per-thread id, and the
// idle threads that threadStartReusable hands its functions to.
//
// Idle threads: a thread started by threadStartReusable, once its function has
// returned, parks in `idleThreads` (guarded by idleMutex) for up to kIdleTime,
// unless kMaxIdle threads already wait or the function called threadRetire.
// A reusable start takes the thread that parked last with the same stack size
// and wakes it with the function; with none, it makes a thread. A parked
// thread that nobody takes in time ends. Nothing here is ever destroyed: parked
// threads may still wait while the process ends.
#include "platform/Thread.h"

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <new>
#include <vector>

#include <pthread.h>

namespace platform {
namespace {

constexpr size_t kMaxIdle = 64;                                 // parked threads at most
constexpr std::chrono::milliseconds kIdleTime{500};              // how long one waits for work

struct ThreadStart {
    ThreadFunction fn;  // what the new thread runs
    void* argument;     // its argument
    size_t stackBytes;  // its stack size as asked for (0: the default)
    bool reusable;      // started by threadStartReusable
};

// A parked thread, on its own stack while it waits.
struct IdleThread {
    size_t stackBytes = 0;         // what it was made with
    ThreadFunction fn = nullptr;   // the next function, set by the start that takes it
    void* argument = nullptr;      // its argument
    std::condition_variable wake;  // signalled when fn is set
};

std::mutex& idleMutex() {
    static std::mutex* const mutex = new std::mutex;
    return *mutex;
}
std::vector<IdleThread*>& idleThreads() {  // guarded by idleMutex(); most recently parked last
    static std::vector<IdleThread*>* const threads = new std::vector<IdleThread*>;
    return *threads;
}

thread_local bool retiring = false;  // threadRetire was called

// Parks the calling thread until a start hands it a function (true, *fn and
// *argument set) or kIdleTime passes (false).
bool parkForWork(size_t stackBytes, ThreadFunction* fn, void** argument) {
    IdleThread self;
    self.stackBytes = stackBytes;
    std::unique_lock<std::mutex> hold(idleMutex());
    std::vector<IdleThread*>& idle = idleThreads();
    if (idle.size() >= kMaxIdle) {
        return false;
    }
    idle.push_back(&self);
    if (!self.wake.wait_for(hold, kIdleTime, [&self] { return self.fn != nullptr; })) {
        idle.erase(std::find(idle.begin(), idle.end(), &self));  // nobody took it: it ends
        return false;
    }
    *fn = self.fn;
    *argument = self.argument;
    return true;
}

void* threadTrampoline(void* raw) {
    ThreadStart start = *static_cast<ThreadStart*>(raw);
    delete static_cast<ThreadStart*>(raw);
    ThreadFunction fn = start.fn;
    void* argument = start.argument;
    for (;;) {
        fn(argument);
        if (!start.reusable || retiring || !parkForWork(start.stackBytes, &fn, &argument)) {
            return nullptr;
        }
    }
}

// Hands fn to a parked thread made with stackBytes; false when none waits.
bool wakeIdleThread(ThreadFunction fn, void* argument, size_t stackBytes) {
    std::lock_guard<std::mutex> hold(idleMutex());
    std::vector<IdleThread*>& idle = idleThreads();
    for (auto it = idle.rbegin(); it != idle.rend(); ++it) {
        IdleThread* thread = *it;
        if (thread->stackBytes != stackBytes) {
            continue;
        }
        idle.erase(std::next(it).base());
        thread->fn = fn;
        thread->argument = argument;
        thread->wake.notify_one();
        return true;
    }
    return false;
}

int32_t startThread(ThreadFunction fn, void* argument, size_t stackBytes, bool reusable) noexcept {
    if (fn == nullptr) {
        return EINVAL;
    }
    auto* start = new (std::nothrow) ThreadStart{fn, argument, stackBytes, reusable};
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

std::atomic<uint64_t> nextThreadId{1};

}  // namespace

int32_t threadStartDetached(ThreadFunction fn, void* argument, size_t stackBytes) noexcept {
    return startThread(fn, argument, stackBytes, false);
}

int32_t threadStartReusable(ThreadFunction fn, void* argument, size_t stackBytes) noexcept {
    if (fn == nullptr) {
        return EINVAL;
    }
    if (wakeIdleThread(fn, argument, stackBytes)) {
        return 0;
    }
    return startThread(fn, argument, stackBytes, true);
}

void threadRetire() noexcept { retiring = true; }

uint64_t threadCurrentId() noexcept {
    thread_local const uint64_t id = nextThreadId.fetch_add(1, std::memory_order_relaxed);
    return id;
}

}  // namespace platform
