// The branch registry: the list of ThreadDaten records, XID lookup with the
// ten-minute expiry, and destruction of branches.
//
// State, all guarded by bridgeLock: threadDatenList (an array of record
// pointers that starts at 100 slots, doubles when full, never shrinks and is
// never freed), threadDatenCount, threadDatenCapacity, the timeStamp of every
// listed record, and the XID index with its bookkeeping (threadDatenIndex,
// duplicateCount, lastFullWalk, each record's `indexed`). Connection threads
// call in; a worker calls none of it.
//
// Records are told apart by XID and rmid: under client isolation two clients
// may each hold a branch of the same XID, and one never finds the other's.
// By default every record has kRmid, and the rmid never decides a search.
//
// The index: the list keeps its order and its walk, which sweeps expired
// records as it passes them, but a search walks it only once a second (a walk
// that reaches the end of the list restarts the second); between walks it
// looks the XID up in the index, so a request costs the same with ten live
// branches or thirty thousand. The sweep thus comes at most a second late on
// a ten-minute expiry. The index names, for each XID, the record that the walk
// would find first: the earliest listed. Two records with one XID are rare
// (two connections starting it at once, until the coordinator refuses the
// second); the later one is unindexed and counted in duplicateCount, and
// takes the index over when the earlier one is unlinked.
//
// The life of a record, counted in `references`:
//   1. thread_start creates it (one reference: the creator's) and lists it
//      (addThreadDaten takes the registry's reference).
//   2. Before the worker starts it takes its own reference; the worker gives
//      it back as the very last thing it does, after it has set `closing` and
//      signalled doneEvent.
//   3. Every caller that searchThreadDaten finds it for gets a reference and
//      gives it back when it has read result and cookie (ThreadDatenRef).
//   4. garbageThreadDaten asks the worker to stop (stopRequested, then
//      commandEvent) and polls `closing` for at most 10 x 1 ms, then unlinks
//      the record, dropping the registry's reference.
//   5. The last reference frees the cookie, closes both events and frees the
//      record. So a garbage call whose poll runs out while the worker is still
//      inside DTC, or while a poster still waits on doneEvent, frees nothing
//      that one of them still uses.
// A failure between the steps: a record whose add fails is released by its
// creator alone; a worker that cannot start gives its reference back at once.
#include "xa/Registry.h"

#include <cstdio>
#include <cstring>
#include <new>
#include <unordered_map>

#include "common/Codes.h"
#include "common/Xid.h"
#include "platform/Clock.h"
#include "report/Guard.h"
#include "report/Metrics.h"
#include "report/Report.h"
#include "xa/Binding.h"

namespace {

constexpr int32_t kInitialCapacity = 100;
constexpr int32_t kStopPolls = 10;  // garbageThreadDaten waits at most 10 x 1 ms for the worker

ThreadDaten** threadDatenList GUARDED_BY(bridgeLock()) = nullptr;  // lives as long as the process
int32_t threadDatenCount GUARDED_BY(bridgeLock()) = 0;
int32_t threadDatenCapacity GUARDED_BY(bridgeLock()) = 0;

constexpr uint32_t kFullWalkIntervalMs = 1000;  // searches walk the whole list at most this often

// The bytes xidEqual compares: format, both lengths, the data bytes in use.
size_t xidUsedBytes(const XID& x) {
    int64_t n = int64_t{x.gtrid_length} + int64_t{x.bqual_length};
    return n <= 0 ? 0 : static_cast<size_t>(n > XIDDATASIZE ? XIDDATASIZE : n);
}

// What the index is keyed by: a listed record's own xid, and its rmid.
struct BranchKey {
    const XID* xid;
    int32_t rmid;
};

// FNV-1a over what xidEqual compares, so equal XIDs hash alike; an rmid other
// than kRmid (client isolation) is mixed in as well.
struct XidHash {
    size_t operator()(const BranchKey& key) const noexcept {
        const XID* x = key.xid;
        uint64_t h = 14695981039346656037ull;
        auto mix = [&h](const void* bytes, size_t n) {
            for (size_t i = 0; i < n; ++i) {
                h = (h ^ static_cast<const uint8_t*>(bytes)[i]) * 1099511628211ull;
            }
        };
        mix(&x->formatID, sizeof x->formatID);
        mix(&x->gtrid_length, sizeof x->gtrid_length);
        mix(&x->bqual_length, sizeof x->bqual_length);
        mix(x->data, xidUsedBytes(*x));
        if (key.rmid != kRmid) {
            mix(&key.rmid, sizeof key.rmid);
        }
        return static_cast<size_t>(h);
    }
};
struct XidSame {
    bool operator()(const BranchKey& a, const BranchKey& b) const noexcept {
        return a.rmid == b.rmid && xidEqual(*a.xid, *b.xid);
    }
};
using XidIndex = std::unordered_map<BranchKey, ThreadDaten*, XidHash, XidSame>;

// The record a search or the index looks for.
bool sameBranch(const ThreadDaten* record, const XID& xid, int32_t rmid) {
    return record->rmid == rmid && xidEqual(record->xid, xid);
}

// Keyed by the listed record's own xid and rmid, which never change while it is listed.
XidIndex* threadDatenIndex GUARDED_BY(bridgeLock()) = nullptr;  // made with the list, never freed
int32_t duplicateCount GUARDED_BY(bridgeLock()) = 0;  // listed records not indexed (an earlier one has their XID)
uint32_t lastFullWalk GUARDED_BY(bridgeLock()) = 0;   // tick count of the last search walk that reached the list's end

std::atomic<int32_t> recordsAlive{0};  // records made and not yet freed

// Two hexadecimal digits per byte, upper case, high half first, into text
// (room for 2 * count + 1 bytes).
void renderHex(const char* bytes, int32_t count, char* text) {
    static constexpr char kDigits[] = "0123456789ABCDEF";
    for (int32_t i = 0; i < count; ++i) {
        auto byte = static_cast<uint8_t>(bytes[i]);
        text[2 * i] = kDigits[byte >> 4];
        text[2 * i + 1] = kDigits[byte & 0x0F];
    }
    text[2 * count] = '\0';
}

// Clamps a length so that offset + length stays inside the 128 data bytes.
int32_t clampLength(int32_t length, int32_t offset) {
    if (length < 0) {
        return 0;
    }
    return length > XIDDATASIZE - offset ? XIDDATASIZE - offset : length;
}

bool expired(const ThreadDaten* record, uint32_t now) REQUIRES(bridgeLock()) {
    // Unsigned 32-bit arithmetic throughout, as the tick count is: nothing
    // expires while the tick count is at or below ten minutes, and a wrap of
    // the tick count is not corrected for.
    return now > kBranchExpiryMs && record->timeStamp < now - kBranchExpiryMs;
}

// Reports, rolls back and destroys an expired record; under bridgeLock, from
// the search's walk. The rollback's result is ignored; when the binding does
// not stand no call is made. A branch whose prepare answered XA_OK is not
// rolled back: it belongs to its transaction manager, whose commit or rollback
// alone may end it, and stays in doubt at the coordinator (recover lists it);
// only its record goes, with a warning of its own.
void sweepThreadDaten(ThreadDaten* record, uint32_t now) REQUIRES(bridgeLock()) {
    int32_t gtridLength = clampLength(record->xid.gtrid_length, 0);
    int32_t bqualLength = clampLength(record->xid.bqual_length, gtridLength);
    char gtrid[2 * XIDDATASIZE + 1];
    char bqual[2 * XIDDATASIZE + 1];
    renderHex(record->xid.data, gtridLength, gtrid);
    renderHex(record->xid.data + gtridLength, bqualLength, bqual);
    char text[700];
    bool prepared = record->prepared.load(std::memory_order_relaxed) != 0;
    snprintf(text, sizeof text,
             prepared ? "Transaction Timeout (prepared, left in doubt) after ms : %d; Xid(%d,%s,%s)"
                      : "Transaction Timeout (rollback) after ms : %d; Xid(%d,%s,%s)",
             static_cast<int32_t>(now - record->timeStamp), record->xid.formatID, gtrid, bqual);
    if (prepared) {
        reportWarning(text);
    } else {
        reportError(text);
        (void)dtcBranchCall(kSlotRollback, &record->xid, TMNOFLAGS, nullptr, record->rmid);
    }
    metricsCountSwept(prepared);
    garbageThreadDaten(record);
}

// Drops an unlinked record from the index; the earliest listed record with
// the same XID, if any, takes its place. Under bridgeLock.
void unindexThreadDaten(ThreadDaten* record) REQUIRES(bridgeLock()) {
    if (!record->indexed) {
        --duplicateCount;
        return;
    }
    threadDatenIndex->erase(BranchKey{&record->xid, record->rmid});
    record->indexed = false;
    if (duplicateCount == 0) {
        return;
    }
    for (int32_t i = 0; i < threadDatenCount; ++i) {
        ThreadDaten* other = threadDatenList[i];
        if (!other->indexed && sameBranch(other, record->xid, record->rmid)) {
            threadDatenIndex->emplace(BranchKey{&other->xid, other->rmid}, other);
            other->indexed = true;
            --duplicateCount;
            return;
        }
    }
}

}  // namespace

// The new record is not shared yet, so its time stamp is written without
// bridgeLock: the analysis cannot know that, and is off here.
ThreadDaten* createThreadDaten(const XID& xid, int32_t flags, bool* eventsFailed,
                               int32_t rmid) noexcept NO_THREAD_SAFETY_ANALYSIS {
    *eventsFailed = false;
    auto* record = new (std::nothrow) ThreadDaten;
    if (record == nullptr) {
        return nullptr;
    }
    record->doneEvent = platform::eventCreate();
    record->commandEvent = platform::eventCreate();
    if (record->doneEvent == nullptr || record->commandEvent == nullptr) {
        platform::eventClose(record->doneEvent);
        platform::eventClose(record->commandEvent);
        delete record;
        *eventsFailed = true;
        return nullptr;
    }
    std::memcpy(&record->xid, &xid, sizeof(XID));
    record->rmid = rmid;
    record->flags.store(flags, std::memory_order_relaxed);
    record->command.store(CMD_START, std::memory_order_relaxed);
    record->timeStamp = platform::tickCount();
    recordsAlive.fetch_add(1, std::memory_order_relaxed);
    return record;
}

void retainThreadDaten(ThreadDaten* record) noexcept {
    record->references.fetch_add(1, std::memory_order_relaxed);
}

// The last reference frees the cookie without bridgeLock: no other thread can
// reach the record any more, which the analysis cannot know, so it is off here.
void releaseThreadDaten(ThreadDaten* record) noexcept NO_THREAD_SAFETY_ANALYSIS {
    if (record == nullptr || record->references.fetch_sub(1, std::memory_order_acq_rel) != 1) {
        return;
    }
    platform::eventClose(record->doneEvent);
    platform::eventClose(record->commandEvent);
    delete[] record->cookie;
    delete record;
    recordsAlive.fetch_sub(1, std::memory_order_relaxed);
}

int32_t addThreadDaten(ThreadDaten* record) noexcept {
    return guardedCall("addThreadDaten", kExceptionCaught, [&] {
        platform::ScopedLock hold(bridgeLock());
        if (threadDatenList == nullptr) {
            threadDatenList = new (std::nothrow) ThreadDaten*[kInitialCapacity];
            if (threadDatenList == nullptr) {
                return kRegistryGrowFailed;
            }
            threadDatenCapacity = kInitialCapacity;
        }
        if (threadDatenCount >= threadDatenCapacity) {
            if (threadDatenCapacity > INT32_MAX / 2) {
                return kRegistryGrowFailed;
            }
            auto* grown = new (std::nothrow) ThreadDaten*[static_cast<size_t>(threadDatenCapacity) * 2];
            if (grown == nullptr) {
                return kRegistryGrowFailed;
            }
            std::memcpy(grown, threadDatenList, sizeof(ThreadDaten*) * static_cast<size_t>(threadDatenCount));
            delete[] threadDatenList;
            threadDatenList = grown;
            threadDatenCapacity *= 2;
        }
        if (threadDatenIndex == nullptr) {
            threadDatenIndex = new (std::nothrow) XidIndex;
            if (threadDatenIndex == nullptr) {
                return kRegistryGrowFailed;
            }
        }
        record->indexed = threadDatenIndex->emplace(BranchKey{&record->xid, record->rmid}, record).second;
        if (!record->indexed) {
            ++duplicateCount;  // an earlier record has this XID and stays the one found
        }
        retainThreadDaten(record);  // the registry's reference
        threadDatenList[threadDatenCount++] = record;
        return 0;
    });
}

void removeThreadDaten(ThreadDaten* record) noexcept {
    (void)guardedRun("removeThreadDaten", [&] {
        platform::ScopedLock hold(bridgeLock());
        if (threadDatenList == nullptr || record == nullptr) {
            return;
        }
        for (int32_t i = 0; i < threadDatenCount; ++i) {
            if (threadDatenList[i] != record) {
                continue;
            }
            std::memmove(threadDatenList + i, threadDatenList + i + 1,
                         sizeof(ThreadDaten*) * static_cast<size_t>(threadDatenCount - i - 1));
            --threadDatenCount;
            unindexThreadDaten(record);
            releaseThreadDaten(record);  // the registry's reference
            return;
        }
    });
}

ThreadDaten* searchThreadDaten(const XID& xid, int32_t rmid) noexcept {
    ThreadDaten* found = nullptr;
    (void)guardedRun("searchThreadDaten", [&] {
        uint32_t now = platform::tickCount();  // once, before the lock
        platform::ScopedLock hold(bridgeLock());
        if (threadDatenList == nullptr) {
            return;
        }
        // Unsigned: a tick count that went back (a wrap) walks at once.
        if (now - lastFullWalk < kFullWalkIntervalMs && threadDatenIndex != nullptr) {
            auto it = threadDatenIndex->find(BranchKey{&xid, rmid});
            if (it != threadDatenIndex->end()) {
                it->second->timeStamp = now;
                retainThreadDaten(it->second);  // the caller's reference
                found = it->second;
            }
            return;
        }
        int32_t i = 0;
        while (i < threadDatenCount) {
            ThreadDaten* record = threadDatenList[i];
            if (sameBranch(record, xid, rmid)) {
                record->timeStamp = now;
                retainThreadDaten(record);  // the caller's reference
                found = record;
                return;
            }
            if (expired(record, now)) {
                // The sweep unlinks the record and moves the next one into
                // slot i, so the index deliberately stays where it is.
                sweepThreadDaten(record, now);
                continue;
            }
            ++i;
        }
        lastFullWalk = now;  // every listed record has been looked at
        metricsCountSweep();
    });
    return found;
}

void garbageThreadDaten(ThreadDaten* record) noexcept {
    if (record == nullptr) {
        return;
    }
    (void)guardedRun("garbageThreadDaten", [&] {
        platform::ScopedLock hold(bridgeLock());
        if (record->closing.load(std::memory_order_acquire) == 0) {
            // Not through `command`: a poster may be writing its own command at
            // this moment, and the stop must neither be overwritten by it nor
            // overwrite it. The worker looks at the flag each time it wakes.
            record->stopRequested.store(1, std::memory_order_release);
            platform::eventSet(record->commandEvent);
            // A bounded wait: the worker may be inside a slow DTC call. Its
            // reference keeps the record valid whatever this poll decides.
            for (int32_t polls = 0; polls < kStopPolls && record->closing.load(std::memory_order_acquire) == 0;
                 ++polls) {
                platform::sleepMs(1);
            }
        }
        // The events and the cookie go with the last reference.
        removeThreadDaten(record);
    });
}

void markThreadDatenPrepared(const XID& xid, int32_t rmid) noexcept {
    (void)guardedRun("markThreadDatenPrepared", [&] {
        platform::ScopedLock hold(bridgeLock());
        if (threadDatenIndex == nullptr) {
            return;
        }
        auto it = threadDatenIndex->find(BranchKey{&xid, rmid});
        if (it != threadDatenIndex->end()) {
            it->second->prepared.store(1, std::memory_order_relaxed);
        }
    });
}

int32_t threadDatenListCount() noexcept {
    platform::ScopedLock hold(bridgeLock());
    return threadDatenCount;
}

int32_t threadDatenListCapacity() noexcept {
    platform::ScopedLock hold(bridgeLock());
    return threadDatenCapacity;
}

int32_t threadDatenAlive() noexcept {
    return recordsAlive.load(std::memory_order_relaxed);
}
