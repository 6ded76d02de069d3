// The process-wide binding to the coordinator (DtcBinding) and bridgeLock.
#pragma once

#include <cstddef>
#include <cstdint>

#include "platform/Sync.h"
#include "contract/txdtc.h"
#include "contract/xa.h"

// The resource manager identifier that every XA call passes.
constexpr int32_t kRmid = 1;

// Creates bridgeLock and reads the bridge's opt-in settings from the
// environment; called once by the listener at start. The lock also comes into
// being on first use, and it is never destroyed: threads that are not waited
// for at stop may still reach it.
void createBridgeLock() noexcept;

// The opt-in completion mode, MORVALEN_PARALLEL_COMPLETIONS=1 in the
// environment at start (off otherwise): prepare, commit, rollback, forget and
// recover make their coordinator call without bridgeLock, so that durable
// calls of different connections overlap; the binding's in-flight counting
// keeps each call safe, and registry changes stay under the lock; init answers
// a standing binding without taking bridgeLock. Off, every completion holds
// bridgeLock across its call. Tests switch it directly.
[[nodiscard]] bool parallelCompletions() noexcept;
void setParallelCompletions(bool on) noexcept;

// bridgeLock: the re-entrant lock that guards the binding's changes, the branch
// registry, cookie export and the handlers' direct DTC calls.
[[nodiscard]] platform::ReentrantLock& bridgeLock() noexcept;

// What a completion or recover holds across its DTC call: bridgeLock in the
// default mode, nothing in the parallel mode (decided once, at construction).
// The thread-safety analysis cannot follow a hold that depends on a run-time
// mode, so it is off for these two; nothing under a CompletionLock relies on
// it for a guarded field (the registry calls made under it take bridgeLock
// themselves).
struct CompletionLock {
    CompletionLock() NO_THREAD_SAFETY_ANALYSIS : held(!parallelCompletions()) {
        if (held) {
            platform::lockEnter(bridgeLock());
        }
    }
    ~CompletionLock() NO_THREAD_SAFETY_ANALYSIS {
        if (held) {
            platform::lockLeave(bridgeLock());
        }
    }
    CompletionLock(const CompletionLock&) = delete;
    CompletionLock& operator=(const CompletionLock&) = delete;
    bool held;  // bridgeLock is held (the default mode)
};

// Binds libmsdtcprx.so and the three interfaces on first use: 0 when the binding
// stands, otherwise the failure code (reported). When the coordinator cannot
// be reached (the open answers XAER_RMERR, or the transaction manager is not
// available) the result is XAER_RMFAIL, the code that tells a transaction
// manager to retry, while the reports keep the coordinator's own code. Takes
// bridgeLock (re-entrant).
[[nodiscard]] int32_t init() noexcept;

// Drops the binding so that the next init binds afresh: closes the XA
// connection, unloads the library once no call is in flight in it, releases
// the interfaces. Takes bridgeLock (re-entrant).
void deinit() noexcept;

// Every binding that init publishes has a generation of its own (never 0,
// never reused). A call that answered XAER_RMFAIL drops the binding it was
// made through, and only that one: when another thread has meanwhile dropped
// it and bound afresh, the new binding stays. 0 drops nothing.
void deinitGeneration(uint64_t generation) noexcept;

// Last step of the stop sequence: unloads the library (once no call is in
// flight in it) and retires the binding for good: every later init answers
// XAER_RMFAIL. It does not take bridgeLock, so a request that holds the lock
// inside a slow DTC call does not hold up the stop; the lock itself stays.
void releaseBridge() noexcept;

// The ten entry-point slots, in slot order.
enum DtcSlot : int32_t {
    kSlotOpen,
    kSlotClose,
    kSlotStart,
    kSlotEnd,
    kSlotRollback,
    kSlotPrepare,
    kSlotCommit,
    kSlotRecover,
    kSlotForget,
    kSlotComplete,
    kDtcSlotCount
};

// Calls one of the entry points start, end, rollback, prepare, commit or forget
// with (xid, 1, flags) through a snapshot of the binding: XAER_RMFAIL without a
// call when the binding does not stand (never bound, or dropped by another
// thread since the caller's init). The library stays loaded until the call has
// returned. *generation (when given) is set on every path to the generation of
// the binding the call went through, 0 when none. Needs no lock; an exception
// raised inside the call passes through.
// rmid is kRmid but for a client's own resource manager (clientIsolation).
[[nodiscard]] int32_t dtcBranchCall(DtcSlot slot, XID* xid, int32_t flags, uint64_t* generation = nullptr,
                                    int32_t rmid = kRmid);

// DTC_XaRecover(xids, count, rmid, flags) under the same rule.
[[nodiscard]] int32_t dtcRecoverCall(XID* xids, int32_t count, int32_t flags, uint64_t* generation = nullptr,
                                     int32_t rmid = kRmid);

// The three interfaces for cookie export. The caller holds bridgeLock, under
// which alone they change; each is null while the binding does not stand.
struct DtcInterfaces {
    ITransactionImportWhereabouts* whereabouts;  // local coordinator's whereabouts
    ITransactionExportFactory* exportFactory;    // makes ITransactionExport objects
    IXATransLookup* lookup;                      // the calling thread's transaction
};
[[nodiscard]] DtcInterfaces dtcInterfaces() noexcept;

// The same three, each with a reference of its own taken (AddRef) while the
// binding cannot change, or all null when the binding does not stand. The
// caller gives every non-null one back with Release; a deinit meanwhile only
// drops the binding's own references. Needs no lock.
[[nodiscard]] DtcInterfaces dtcInterfacesAcquire() noexcept;

// For tests and diagnostics: calls currently inside the library, and the
// generation of the binding that stands (0 when none).
[[nodiscard]] int32_t dtcCallsInFlight() noexcept;
[[nodiscard]] uint64_t dtcBindingGeneration() noexcept;

// Branches kept apart per client, MORVALEN_TLS_ISOLATE_CLIENTS=1 in the
// environment at start (read by createBridgeLock; off otherwise; the listener
// refuses the start unless client certificates are required). Each client
// certificate name then has a resource manager of its own at the coordinator:
// an rmid of its own (from 2 up, given in the order the names first come, for
// the life of the process) and an open string of its own whose recovery GUID
// is derived from the name (ownerRecoveryGuid), so that the coordinator keeps
// its branches and its recover apart from every other name's, across restarts
// of either side and from any host. Off, every request goes to kRmid with the
// fixed open string, exactly as without the setting. Tests switch it directly.
[[nodiscard]] bool clientIsolation() noexcept;
void setClientIsolation(bool on) noexcept;

// The rmid that serves nobody: a connection without a certificate name while
// isolation is on (the listener admits none such).
constexpr int32_t kNoOwner = 0;

// The rmid whose branches a connection admitted under the certificate name may
// touch: kRmid while isolation is off (the name is not looked at), otherwise
// the name's own (kNoOwner for an empty name). Takes only a leaf lock of its
// own; opens nothing.
[[nodiscard]] int32_t ownerRmid(const char* name) noexcept;

// init for a request on behalf of rmid: init alone for kRmid. For a name's
// rmid, also that name's XA open, made once per binding the first time the
// name needs it (under bridgeLock) and closed when the binding is dropped;
// its failure answers like init's. XAER_NOTA for kNoOwner.
[[nodiscard]] int32_t initFor(int32_t rmid) noexcept;

// For tests and diagnostics: the open string of a name's rmid (empty for
// kRmid or an rmid not given), and whether it is open under the standing
// binding.
[[nodiscard]] bool ownerOpenString(int32_t rmid, char* text, size_t size) noexcept;
[[nodiscard]] bool ownerOpen(int32_t rmid) noexcept;
