// Manual-reset events (CreateEventA) and the re-entrant lock (a critical section).
#include "platform/Sync.h"

#include <new>

#include <windows.h>

#include "platform/Thread.h"

namespace platform {

static_assert(sizeof(CRITICAL_SECTION) <= sizeof(CriticalSection::storage));
static_assert(alignof(CRITICAL_SECTION) <= 8);

namespace {

CRITICAL_SECTION* section(CriticalSection* lock) {
    return reinterpret_cast<CRITICAL_SECTION*>(lock->storage);
}

}  // namespace

CriticalSection::CriticalSection() noexcept {
    InitializeCriticalSection(section(this));
}

CriticalSection::~CriticalSection() {
    DeleteCriticalSection(section(this));
}

void CriticalSection::lock() noexcept {
    EnterCriticalSection(section(this));
}

void CriticalSection::unlock() noexcept {
    LeaveCriticalSection(section(this));
}

bool CriticalSection::try_lock() noexcept {
    return TryEnterCriticalSection(section(this)) != 0;
}

Event* eventCreate() noexcept {
    auto* event = new (std::nothrow) Event;
    if (event == nullptr) {
        return nullptr;
    }
    event->handle = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    if (event->handle == nullptr) {
        delete event;
        return nullptr;
    }
    return event;
}

bool eventSet(Event* event) noexcept {
    if (event == nullptr) {
        return false;
    }
    event->signalled.store(true);
    return SetEvent(event->handle) != 0;
}

bool eventReset(Event* event) noexcept {
    if (event == nullptr) {
        return false;
    }
    bool reset = ResetEvent(event->handle) != 0;
    event->signalled.store(false);
    return reset;
}

bool eventWait(Event* event) noexcept {
    if (event == nullptr) {
        return false;
    }
    return WaitForSingleObject(event->handle, INFINITE) == WAIT_OBJECT_0;
}

void eventClose(Event* event) noexcept {
    if (event == nullptr) {
        return;
    }
    CloseHandle(event->handle);
    delete event;
}

void lockEnter(ReentrantLock& lock) {
    lock.mutex.lock();
    lock.owner.store(threadCurrentId(), std::memory_order_relaxed);
    ++lock.depth;
}

void lockLeave(ReentrantLock& lock) {
    if (--lock.depth == 0) {
        lock.owner.store(0, std::memory_order_relaxed);
    }
    lock.mutex.unlock();
}

bool lockHeldByMe(const ReentrantLock& lock) {
    // Only the holder can have stored its own id, so a relaxed read suffices.
    return lock.owner.load(std::memory_order_relaxed) == threadCurrentId();
}

}  // namespace platform
