// The process-wide binding to the coordinator (DtcBinding): libmsdtcprx.so with
// its ten entry points, one XA connection opened with the fixed open string,
// and three interfaces from libxolehlp.so for cookie export.
//
// State and its locks:
//   - bridgeLock, re-entrant, never destroyed. init and deinit hold it for
//     their whole run, so binding and unbinding are serialised with the
//     registry, cookie export and the handlers' direct DTC calls.
//   - bindingMutex, a leaf lock held only for a few loads and stores (never
//     across a call into DTC, a report or a wait). It guards `binding`,
//     `callsInFlight`, `deferredUnloads` and `released`. init and deinit change
//     the binding while they hold both locks; a caller takes its snapshot
//     under bindingMutex alone, so that a worker's DTC_XaStart and DTC_XaEnd do
//     not wait for bridgeLock (a registry operation may hold it for a 10 ms
//     poll that waits for exactly that worker).
//
// The life of one DTC call (dtcBranchCall, dtcRecoverCall):
//   1. Under bindingMutex: if the binding does not stand, answer XAER_RMFAIL
//      without a call; otherwise copy the slot and count the call in flight.
//   2. Call the entry point with no lock of ours taken.
//   3. Under bindingMutex: count the call out; when none is left in flight,
//      unload every library whose unload was deferred.
// deinit and releaseBridge unpublish the binding first (callers arriving later
// get XAER_RMFAIL) and unload the library at once only when no call is in
// flight; otherwise step 3 of the last call does it. A library therefore
// never goes away under a thread that is executing it.
//
// Client isolation (opt-in, clientIsolation): the owner table lists every
// certificate name seen, with its rmid, its open string and the generation of
// the binding its XA open was made under (0: not open). ownersMutex, a leaf
// lock taken under bridgeLock or alone, guards it. initFor opens a name's
// resource manager under bridgeLock, on its first need under each binding;
// deinit and deinitGeneration close the ones open under the binding they
// drop, before the binding's own close. Off, the table stays empty and none of
// this runs.
//
// init builds a fresh binding on its own and publishes it only when it is
// whole, so other threads see either no binding or a whole one; a failure
// half-way drops what the fresh binding already held.
#include "xa/Binding.h"

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <new>
#include <string>
#include <vector>

#include "common/Codes.h"
#include "platform/Library.h"
#include "platform/ThreadSafety.h"
#include "report/Guard.h"
#include "report/Metrics.h"
#include "report/Report.h"
#include "xa/OwnerGuid.h"
#include "xa/ScopeExit.h"

namespace {

constexpr const char* kLibraryName = platform::kDtcProxyLibrary;

// Passed unchanged to DTC_XaOpen and DTC_XaClose: the TM name is the service's
// name, the recovery GUID is the same in every run and on every machine. The
// GUID is kServiceRecoveryGuid, the namespace of the certificate names' GUIDs.
char xaOpenString[] = "TM=Morvalen,RmRecoveryGuid=7592BBA9-26B4-421A-AE43-6E27A5BFD134";

constexpr const char* kSlotNames[kDtcSlotCount] = {
    "DTC_XaOpen",   "DTC_XaClose",  "DTC_XaStart",   "DTC_XaEnd",    "DTC_XaRollback",
    "DTC_XaPrepare", "DTC_XaCommit", "DTC_XaRecover", "DTC_XaForget", "DTC_XaComplete"};

struct DtcBinding {
    platform::LibraryHandle library = nullptr;           // null while unbound: the state init tests
    void* slots[kDtcSlotCount] = {};                     // entry points in slot order, null when unresolved
    ITransactionImportWhereabouts* whereabouts = nullptr;  // owned (one reference)
    ITransactionExportFactory* exportFactory = nullptr;    // owned
    IXATransLookup* lookup = nullptr;                      // owned
    uint64_t generation = 0;                               // set when published; 0 while unbound
};

platform::Mutex bindingMutex;
DtcBinding binding GUARDED_BY(bindingMutex);  // changed also under bridgeLock
int32_t callsInFlight GUARDED_BY(bindingMutex) = 0;
std::vector<platform::LibraryHandle> deferredUnloads GUARDED_BY(bindingMutex);
bool released GUARDED_BY(bindingMutex) = false;        // set by releaseBridge for good
uint64_t lastGeneration GUARDED_BY(bindingMutex) = 0;  // the latest published

// One certificate name's resource manager (client isolation).
struct OwnerRm {
    std::string name;             // the certificate name
    int32_t rmid = kNoOwner;      // its own, from kRmid + 1 up
    char openString[80] = {};     // "TM=Morvalen,RmRecoveryGuid=" and the name's GUID
    uint64_t openedGeneration = 0;  // binding its open was made under; 0 when not open
};

std::atomic<bool> isolationMode{false};  // read at start; see clientIsolation
platform::Mutex ownersMutex;
std::vector<OwnerRm>* owners GUARDED_BY(ownersMutex) = nullptr;  // made on first need, never freed

// The table entry of a name's rmid, or null.
OwnerRm* ownerEntry(int32_t rmid) REQUIRES(ownersMutex) {
    if (owners == nullptr || rmid <= kRmid || static_cast<size_t>(rmid - kRmid) > owners->size()) {
        return nullptr;
    }
    return &(*owners)[static_cast<size_t>(rmid - kRmid - 1)];
}

// Unloads now when no call is in flight, otherwise leaves it to the last call.
// Should the deferral itself fail for want of memory, the library simply stays
// loaded, which is harmless.
void unloadWhenIdle(platform::LibraryHandle library) noexcept {
    if (library == nullptr) {
        return;
    }
    {
        platform::MutexLock hold(bindingMutex);
        if (callsInFlight > 0) {
            try {
                deferredUnloads.push_back(library);
            } catch (...) {
            }
            return;
        }
    }
    platform::libraryFree(library);
}

// A counted call: step 1 in the constructor, step 3 in the destructor (also
// when the call is left by an exception).
struct CallLoan {
    explicit CallLoan(DtcSlot slot) {
        platform::MutexLock hold(bindingMutex);
        if (binding.library == nullptr || binding.slots[slot] == nullptr) {
            return;
        }
        entry = binding.slots[slot];
        generation = binding.generation;
        ++callsInFlight;
    }
    ~CallLoan() {
        if (entry == nullptr) {
            return;
        }
        std::vector<platform::LibraryHandle> due;
        {
            platform::MutexLock hold(bindingMutex);
            if (--callsInFlight == 0) {
                due.swap(deferredUnloads);
            }
        }
        for (platform::LibraryHandle library : due) {
            platform::libraryFree(library);
        }
    }
    CallLoan(const CallLoan&) = delete;
    CallLoan& operator=(const CallLoan&) = delete;
    void* entry = nullptr;    // the entry point, or null when the binding does not stand
    uint64_t generation = 0;  // the binding's generation, 0 when it does not stand
};

template <typename Fn>
Fn entryAs(void* entry) {
    return reinterpret_cast<Fn>(entry);
}

// Tears down a binding that is no longer published (or never was): the XA
// close when the slot is resolved (its result ignored, made whether or not the
// open succeeded), the unload, then the three interfaces. Each part runs under
// its own guard, so a fault in the close still lets the rest go.
void dropBinding(DtcBinding* old) noexcept {
    if (old->library != nullptr) {
        void* close = old->slots[kSlotClose];
        if (close != nullptr) {
            (void)guardedRun("deinit", [&] { (void)entryAs<DTC_XaCloseFn>(close)(xaOpenString, kRmid, TMNOFLAGS); });
        }
        unloadWhenIdle(old->library);
        old->library = nullptr;
    }
    for (void*& slot : old->slots) {
        slot = nullptr;
    }
    (void)guardedRun("deinit", [&] {
        if (old->exportFactory != nullptr) {
            ITransactionExportFactory* held = old->exportFactory;
            old->exportFactory = nullptr;
            held->Release();
        }
        if (old->whereabouts != nullptr) {
            ITransactionImportWhereabouts* held = old->whereabouts;
            old->whereabouts = nullptr;
            held->Release();
        }
        if (old->lookup != nullptr) {
            IXATransLookup* held = old->lookup;
            old->lookup = nullptr;
            held->Release();
        }
    });
}

// Closes every name's resource manager opened under the binding being
// dropped (its close slot given), before the binding's own close; each close's
// result is ignored. Under bridgeLock, which serialises it with the opens.
void closeOwnerRms(uint64_t generation, void* close) REQUIRES(bridgeLock()) {
    if (generation == 0 || close == nullptr) {
        return;
    }
    std::vector<OwnerRm> open;
    {
        platform::MutexLock hold(ownersMutex);
        if (owners == nullptr) {
            return;
        }
        for (OwnerRm& owner : *owners) {
            if (owner.openedGeneration == generation) {
                owner.openedGeneration = 0;
                open.push_back(owner);
            }
        }
    }
    for (OwnerRm& owner : open) {
        (void)guardedRun("deinit",
                         [&] { (void)entryAs<DTC_XaCloseFn>(close)(owner.openString, owner.rmid, TMNOFLAGS); });
    }
}

// One interface from DtcGetTransactionManager. A success code with a null
// pointer is reported with that code like a failure and then counts as
// E_NOINTERFACE: no interface was handed out, and the binding must not stand
// without it. A success code with a pointer counts as 0 (S_FALSE included).
int32_t requestInterface(const IID& iid, const char* failureText, void** out) {
    HRESULT hr = DtcGetTransactionManager(nullptr, nullptr, iid, 0, 0, nullptr, out);
    if (DTC_SUCCEEDED(hr) && *out != nullptr) {
        return 0;
    }
    reportErrorCode(failureText, hr);
    return DTC_FAILED(hr) ? hr : E_NOINTERFACE;
}

// The code a request gets for a failed bind. A coordinator that cannot be
// reached (the open cannot reach it: XAER_RMERR; the transaction manager is not
// available or its connection is down) is XAER_RMFAIL, the XA code for an
// unavailable resource manager: a transaction manager retries on it, whereas
// XAER_RMERR from a commit would tell it that the branch was rolled back. Any
// other failure keeps its own code.
int32_t requestCode(int32_t bindCode) {
    switch (bindCode) {
        case XAER_RMERR:
        case XACT_E_TMNOTAVAILABLE:
        case XACT_E_CONNECTION_DOWN:
            return XAER_RMFAIL;
        default:
            return bindCode;
    }
}

// Steps of init that build the fresh binding; the first failure's code, or 0.
int32_t bindFresh(DtcBinding* fresh) {
    fresh->library = platform::libraryLoad(kLibraryName);
    if (fresh->library == nullptr) {
        reportErrorCode("MSDTCPRX.DLL not loaded.", XAER_RMFAIL);
        return XAER_RMFAIL;
    }
    // All ten are resolved before any is tested.
    bool missing = false;
    for (int32_t slot = 0; slot < kDtcSlotCount; ++slot) {
        fresh->slots[slot] = platform::librarySymbol(fresh->library, kSlotNames[slot]);
        missing = missing || fresh->slots[slot] == nullptr;
    }
    if (missing) {
        reportErrorCode("MSDTCPRX.DLL not init.", XAER_RMFAIL);
        return XAER_RMFAIL;
    }
    int32_t opened = entryAs<DTC_XaOpenFn>(fresh->slots[kSlotOpen])(xaOpenString, kRmid, TMNOFLAGS);
    if (opened < 0) {
        reportErrorCode("Open the MSDTC", opened);
        return opened;
    }
    int32_t result = requestInterface(IID_ITransactionImportWhereabouts,
                                      "DtcGetTransactionManager::IID_ITransactionImportWhereabouts",
                                      reinterpret_cast<void**>(&fresh->whereabouts));
    if (result != 0) {
        return result;
    }
    result = requestInterface(IID_ITransactionExportFactory, "DtcGetTransactionManager::IID_ITransactionExportFactory",
                              reinterpret_cast<void**>(&fresh->exportFactory));
    if (result != 0) {
        return result;
    }
    return requestInterface(IID_IXATransLookup, "DtcGetTransactionManager::IID_IXATransLookup",
                            reinterpret_cast<void**>(&fresh->lookup));
}

}  // namespace

platform::ReentrantLock& bridgeLock() noexcept {
    // Made on first use and never freed: detached workers and connection
    // threads are not waited for at stop, so it must outlive them all.
    static platform::ReentrantLock* const lock = new platform::ReentrantLock;
    return *lock;
}

namespace {
std::atomic<bool> parallelMode{false};  // read at start; see parallelCompletions
}  // namespace

void createBridgeLock() noexcept {
    (void)bridgeLock();
    const char* setting = std::getenv("MORVALEN_PARALLEL_COMPLETIONS");
    parallelMode.store(setting != nullptr && std::strcmp(setting, "1") == 0);
    const char* isolate = std::getenv("MORVALEN_TLS_ISOLATE_CLIENTS");
    isolationMode.store(isolate != nullptr && std::strcmp(isolate, "1") == 0);
}

bool clientIsolation() noexcept {
    return isolationMode.load(std::memory_order_relaxed);
}

void setClientIsolation(bool on) noexcept {
    isolationMode.store(on);
}

bool parallelCompletions() noexcept {
    return parallelMode.load(std::memory_order_relaxed);
}

void setParallelCompletions(bool on) noexcept {
    parallelMode.store(on);
}

int32_t init() noexcept {
    return guardedCall("init", kExceptionCaught, [] {
        if (parallelCompletions()) {
            // In the parallel mode a standing binding is answered without
            // waiting for bridgeLock, which a cookie export or a registry
            // operation may hold; only binding afresh takes it.
            platform::MutexLock state(bindingMutex);
            if (binding.library != nullptr) {
                return 0;
            }
        }
        // Held for the whole run, so binding is serialised with the registry,
        // cookie export and the handlers' direct DTC calls.
        platform::ScopedLock hold(bridgeLock());
        {
            platform::MutexLock state(bindingMutex);
            if (binding.library != nullptr) {
                return 0;  // bound: the XA connection is not opened again
            }
        }
        DtcBinding fresh;
        int32_t result = 0;
        bool finished = false;
        // The closing step, on every way out (an exception included, with the
        // result as it stood): the report, then what the fresh binding holds
        // is dropped. Runs before bridgeLock is released.
        ScopeExit closing([&] {
            if (result != 0) {
                reportErrorCode("Morvalen not init.", result);
            }
            if (result != 0 || !finished) {
                dropBinding(&fresh);
            }
        });
        bool retired = false;
        {
            platform::MutexLock state(bindingMutex);
            retired = released;
        }
        // After the stop sequence has released the bridge nothing binds again.
        result = retired ? XAER_RMFAIL : bindFresh(&fresh);
        if (result == 0) {
            platform::MutexLock state(bindingMutex);
            fresh.generation = ++lastGeneration;
            binding = fresh;
            fresh = DtcBinding{};
            if (lastGeneration > 1) {
                metricsCountRebind();  // an earlier binding was dropped
            }
        }
        finished = true;
        return requestCode(result);
    });
}

void deinit() noexcept {
    (void)guardedRun("deinit", [] {
        platform::ScopedLock hold(bridgeLock());
        DtcBinding old;
        {
            platform::MutexLock state(bindingMutex);
            old = binding;
            binding = DtcBinding{};
        }
        closeOwnerRms(old.generation, old.slots[kSlotClose]);
        dropBinding(&old);
    });
}

void deinitGeneration(uint64_t generation) noexcept {
    if (generation == 0) {
        return;
    }
    (void)guardedRun("deinit", [&] {
        platform::ScopedLock hold(bridgeLock());
        DtcBinding old;
        {
            platform::MutexLock state(bindingMutex);
            if (binding.library == nullptr || binding.generation != generation) {
                return;  // already dropped, and perhaps bound afresh since: not ours to drop
            }
            old = binding;
            binding = DtcBinding{};
        }
        closeOwnerRms(old.generation, old.slots[kSlotClose]);
        dropBinding(&old);
    });
}

void releaseBridge() noexcept {
    // No bridgeLock here: a request may hold it inside a slow DTC call, and the
    // stop sequence must not wait for that. The XA connection is not closed and
    // the interfaces are not released (they stay reachable for such a request).
    platform::LibraryHandle library = nullptr;
    {
        platform::MutexLock state(bindingMutex);
        released = true;
        library = binding.library;
        binding.library = nullptr;
        for (void*& slot : binding.slots) {
            slot = nullptr;
        }
    }
    unloadWhenIdle(library);
}

int32_t dtcBranchCall(DtcSlot slot, XID* xid, int32_t flags, uint64_t* generation, int32_t rmid) {
    CallLoan loan(slot);
    if (generation != nullptr) {
        *generation = loan.generation;
    }
    if (loan.entry == nullptr) {
        return XAER_RMFAIL;
    }
    return entryAs<DTC_XaBranchFn>(loan.entry)(xid, rmid, flags);
}

int32_t dtcRecoverCall(XID* xids, int32_t count, int32_t flags, uint64_t* generation, int32_t rmid) {
    CallLoan loan(kSlotRecover);
    if (generation != nullptr) {
        *generation = loan.generation;
    }
    if (loan.entry == nullptr) {
        return XAER_RMFAIL;
    }
    return entryAs<DTC_XaRecoverFn>(loan.entry)(xids, count, rmid, flags);
}

int32_t ownerRmid(const char* name) noexcept {
    if (!clientIsolation()) {
        return kRmid;
    }
    if (name == nullptr || name[0] == '\0') {
        return kNoOwner;
    }
    return guardedCall("ownerRmid", kNoOwner, [&] {
        platform::MutexLock hold(ownersMutex);
        if (owners == nullptr) {
            owners = new std::vector<OwnerRm>;
        }
        // A walk: a service has a handful of client names, not thousands.
        for (const OwnerRm& owner : *owners) {
            if (owner.name == name) {
                return owner.rmid;
            }
        }
        OwnerRm fresh;
        fresh.name = name;
        fresh.rmid = kRmid + 1 + static_cast<int32_t>(owners->size());
        char guid[kGuidTextLength + 1];
        ownerRecoveryGuid(name, guid);
        std::snprintf(fresh.openString, sizeof fresh.openString, "TM=Morvalen,RmRecoveryGuid=%s", guid);
        owners->push_back(fresh);
        return fresh.rmid;
    });
}

namespace {

// The name's XA open under the standing binding, unless it was made already.
int32_t openOwnerRm(int32_t rmid) REQUIRES(bridgeLock()) {
    uint64_t generation = 0;
    {
        platform::MutexLock state(bindingMutex);
        if (binding.library == nullptr) {
            return XAER_RMFAIL;  // dropped since the caller's init
        }
        generation = binding.generation;
    }
    char openString[sizeof OwnerRm::openString];
    {
        platform::MutexLock hold(ownersMutex);
        OwnerRm* owner = ownerEntry(rmid);
        if (owner == nullptr) {
            return XAER_NOTA;
        }
        if (owner->openedGeneration == generation) {
            return 0;
        }
        std::memcpy(openString, owner->openString, sizeof openString);
    }
    CallLoan loan(kSlotOpen);
    if (loan.entry == nullptr || loan.generation != generation) {
        return XAER_RMFAIL;
    }
    int32_t opened = entryAs<DTC_XaOpenFn>(loan.entry)(openString, rmid, TMNOFLAGS);
    if (opened < 0) {
        reportErrorCode("Open the MSDTC", opened);
        int32_t code = requestCode(opened);
        if (code == XAER_RMFAIL) {
            deinitGeneration(generation);  // the next request binds afresh
        }
        return code;
    }
    platform::MutexLock hold(ownersMutex);
    if (OwnerRm* owner = ownerEntry(rmid)) {
        owner->openedGeneration = generation;
    }
    return 0;
}

}  // namespace

int32_t initFor(int32_t rmid) noexcept {
    if (rmid == kNoOwner) {
        return XAER_NOTA;
    }
    int32_t r = init();
    if (r < 0 || rmid == kRmid) {
        return r;
    }
    return guardedCall("init", kExceptionCaught, [&] {
        uint64_t standing = dtcBindingGeneration();
        {
            platform::MutexLock hold(ownersMutex);
            OwnerRm* owner = ownerEntry(rmid);
            if (owner != nullptr && standing != 0 && owner->openedGeneration == standing) {
                return 0;  // opened under the binding that stands
            }
        }
        platform::ScopedLock hold(bridgeLock());
        return openOwnerRm(rmid);
    });
}

bool ownerOpenString(int32_t rmid, char* text, size_t size) noexcept {
    platform::MutexLock hold(ownersMutex);
    const OwnerRm* owner = ownerEntry(rmid);
    if (owner == nullptr || size == 0) {
        return false;
    }
    std::snprintf(text, size, "%s", owner->openString);
    return true;
}

bool ownerOpen(int32_t rmid) noexcept {
    uint64_t standing = dtcBindingGeneration();
    platform::MutexLock hold(ownersMutex);
    const OwnerRm* owner = ownerEntry(rmid);
    return owner != nullptr && standing != 0 && owner->openedGeneration == standing;
}

DtcInterfaces dtcInterfaces() noexcept {
    platform::MutexLock state(bindingMutex);
    return DtcInterfaces{binding.whereabouts, binding.exportFactory, binding.lookup};
}

DtcInterfaces dtcInterfacesAcquire() noexcept {
    platform::MutexLock state(bindingMutex);
    if (binding.library == nullptr || binding.whereabouts == nullptr || binding.exportFactory == nullptr ||
        binding.lookup == nullptr) {
        return DtcInterfaces{nullptr, nullptr, nullptr};
    }
    binding.whereabouts->AddRef();
    binding.exportFactory->AddRef();
    binding.lookup->AddRef();
    return DtcInterfaces{binding.whereabouts, binding.exportFactory, binding.lookup};
}

int32_t dtcCallsInFlight() noexcept {
    platform::MutexLock state(bindingMutex);
    return callsInFlight;
}

uint64_t dtcBindingGeneration() noexcept {
    platform::MutexLock state(bindingMutex);
    return binding.library != nullptr ? binding.generation : 0;
}
