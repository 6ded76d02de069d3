// Manual-reset events (CreateEventA) and the critical section under the
// re-entrant lock, whose tracking is in ../Sync.cpp.
#include "platform/Sync.h"

#include <new>

#include <windows.h>

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

}  // namespace platform
