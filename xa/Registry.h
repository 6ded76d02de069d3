// The branch record (ThreadDaten) and the branch registry that lists it.
#pragma once

#include <atomic>
#include <cstdint>

#include "platform/Sync.h"
#include "contract/xa.h"
#include "xa/Binding.h"

// Commands for a branch's worker; every value other than 1 and 2 acts as CMD_STOP.
// garbageThreadDaten asks for the stop through stopRequested instead, so that it
// never overwrites a command that a poster has written.
constexpr int32_t CMD_STOP = 0;
constexpr int32_t CMD_START = 1;
constexpr int32_t CMD_END = 2;

// A branch is expired when no search has found it for longer than this.
constexpr uint32_t kBranchExpiryMs = 600000;

// One XA branch that the service has started and not yet finished with.
// Fields that a poster and the worker hand over are atomics; the events order
// them (what one side writes before it signals, the other reads after its wait).
// The outcome of a branch's first start, as firstStart holds it.
constexpr int32_t kFirstStartPending = 0;
constexpr int32_t kFirstStartDone = 1;    // DTC_XaStart and the cookie export succeeded
constexpr int32_t kFirstStartFailed = -1; // the branch does not exist; its record is being destroyed

struct ThreadDaten {
    XID xid{};                             // the branch; copied at creation, never changed
    int32_t rmid = kRmid;                  // resource manager it belongs to: kRmid, or its client's own
                                           // under client isolation; set at creation, never changed
    std::atomic<int32_t> flags{0};         // XA flags of the last start or end posted
    std::atomic<int32_t> result{XAER_PROTO};  // code of the worker's last command, valid after doneEvent;
                                           // a poster presets XAER_PROTO, the answer when its command never ran
    std::atomic<uint64_t> generation{0};   // binding generation of the call that gave result
    std::atomic<int32_t> command{CMD_START};  // what the worker runs next
    std::atomic<uint8_t> stopRequested{0}; // set by garbageThreadDaten: the worker ends at its next wait
    std::atomic<int32_t> firstStart{kFirstStartPending};  // outcome of the first start (see Worker.cpp)
    std::atomic<uint8_t> startedInDtc{0};  // the first DTC_XaStart succeeded (set by the worker)
    std::atomic<uint8_t> prepared{0};      // a prepare of the branch answered XA_OK
    uint8_t* cookie GUARDED_BY(bridgeLock()) = nullptr;  // exported cookie, owned; written once, by the worker
    uint32_t cookieLength GUARDED_BY(bridgeLock()) = 0;  // bytes in cookie, as Export gave them
    platform::Event* doneEvent = nullptr;     // manual reset: the worker finished a command
    platform::Event* commandEvent = nullptr;  // manual reset: a command was posted
    std::atomic<int32_t> joinCount{0};     // TMJOIN starts not yet matched by an end
    std::atomic<uint8_t> closing{0};       // 1 once the worker has left its loop; never cleared
    std::atomic<uint8_t> posting{1};       // 1 while a poster owns the hand-off (the creator first)
    uint32_t timeStamp GUARDED_BY(bridgeLock()) = 0;  // tick count of creation or of the last search hit
    bool indexed GUARDED_BY(bridgeLock()) = false;    // the XID index names this record (see Registry.cpp)
    std::atomic<int32_t> references{1};    // holders of the record (see Registry.cpp); the last frees it
};

// A new record with one reference (the caller's), both events created and
// unsignalled, xid copied, flags set, command CMD_START and timeStamp now.
// Null when the record cannot be allocated; *eventsFailed (set on every path)
// tells that an event could not be created (the record is then not made).
// rmid: the resource manager the branch belongs to (clientIsolation).
[[nodiscard]] ThreadDaten* createThreadDaten(const XID& xid, int32_t flags, bool* eventsFailed,
                                             int32_t rmid = kRmid) noexcept;

// Takes one more reference (the worker's, or a search caller's).
void retainThreadDaten(ThreadDaten* record) noexcept;
// Gives one reference back; the last frees the cookie, both events and the record.
void releaseThreadDaten(ThreadDaten* record) noexcept;

// Lists the record; the registry takes a reference of its own. 0, or
// kRegistryGrowFailed when the array cannot be created or grown (nothing
// changes), or kExceptionCaught. Takes bridgeLock.
[[nodiscard]] int32_t addThreadDaten(ThreadDaten* record) noexcept;

// Unlinks the record (by identity) keeping the order of the others, and drops
// the registry's reference, which frees the record when nobody else holds it.
// A null or unlisted record changes nothing. Takes bridgeLock.
void removeThreadDaten(ThreadDaten* record) noexcept;

// The listed record whose xid equals the given one and that belongs to rmid
// (two clients kept apart may each have a branch of one XID), with its time stamp renewed
// and a reference taken for the caller (give it back with releaseThreadDaten),
// or null. When a second of tick count has passed since the last walk over the
// whole list, the search walks the list, and every expired record that the
// walk passes over is rolled back and destroyed, with its timeout report;
// otherwise it looks the XID up in the registry's index. Takes bridgeLock.
[[nodiscard]] ThreadDaten* searchThreadDaten(const XID& xid, int32_t rmid = kRmid) noexcept;

// Destroys the branch: asks a worker still in its loop to stop and waits for
// it at most 10 x 1 ms, then unlinks the record and drops the registry's
// reference. The caller's own reference, if it holds one, stays valid. Null
// does nothing. Takes bridgeLock.
void garbageThreadDaten(ThreadDaten* record) noexcept;

// Marks the listed record of the XID and rmid, if there is one, as prepared: its prepare
// answered XA_OK, so the branch belongs to its transaction manager and the
// expiry sweep must not roll it back. Neither renews the time stamp nor sweeps.
// Takes bridgeLock.
void markThreadDatenPrepared(const XID& xid, int32_t rmid = kRmid) noexcept;

// A reference held for a scope: released on every way out.
struct ThreadDatenRef {
    ThreadDatenRef() = default;
    explicit ThreadDatenRef(ThreadDaten* r) : record(r) {}
    ~ThreadDatenRef() { reset(); }
    ThreadDatenRef(ThreadDatenRef&& other) noexcept : record(other.record) { other.record = nullptr; }
    ThreadDatenRef& operator=(ThreadDatenRef&& other) noexcept {
        if (this != &other) {
            reset();
            record = other.record;
            other.record = nullptr;
        }
        return *this;
    }
    ThreadDatenRef(const ThreadDatenRef&) = delete;
    ThreadDatenRef& operator=(const ThreadDatenRef&) = delete;
    void reset() noexcept {
        if (record != nullptr) {
            ThreadDaten* held = record;
            record = nullptr;
            releaseThreadDaten(held);
        }
    }
    ThreadDaten* record = nullptr;  // the held record, or null
};

// Inspection for tests and diagnostics (take bridgeLock).
[[nodiscard]] int32_t threadDatenListCount() noexcept;
[[nodiscard]] int32_t threadDatenListCapacity() noexcept;
// Records alive anywhere (listed or still held): a leak check.
[[nodiscard]] int32_t threadDatenAlive() noexcept;
