// The core of the DTC test doubles: the script, the record of calls, the
// thread associations and the COM objects. See DtcDouble.h and README.md.
#include "DtcDouble.h"

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <filesystem>
#include <functional>
#include <mutex>
#include <thread>

#if defined(_WIN32)
// From kernel32; <windows.h> would clash with the contract's own COM types.
extern "C" __declspec(dllimport) void __stdcall RaiseException(unsigned long code, unsigned long flags,
                                                                unsigned long count, const unsigned long long* arguments);
#endif

namespace dtcdouble {
namespace {

constexpr const char* kNames[kEntryCount] = {
    "DTC_XaOpen",      "DTC_XaClose",  "DTC_XaStart",   "DTC_XaEnd",    "DTC_XaRollback", "DTC_XaPrepare",
    "DTC_XaCommit",    "DTC_XaRecover", "DTC_XaForget", "DTC_XaComplete", "DtcGetTransactionManager",
    "GetWhereaboutsSize", "GetWhereabouts", "Create",   "Lookup",       "Export",         "GetTransactionCookie"};

struct Script {
    int32_t result = 0;               // sticky answer
    std::deque<int32_t> oneShot;      // answers used first
    bool nullPointer = false;         // Create / Lookup: success with a null pointer
    bool fault = false;               // SIGSEGV inside the call
    uint32_t raise = 0;               // a software exception with this code inside the call (0: none)
    bool raiseContinuable = false;    // ... raised continuable
    bool slow = false;                // block until released
};

struct TmScript {
    HRESULT code = S_OK;
    bool nullPointer = false;
};

struct State {
    std::mutex mutex;
    std::condition_variable changed;  // a call was recorded, or a slow call released
    Script scripts[kEntryCount];
    TmScript tm[kInterfaceCount];
    std::vector<Call> calls;
    std::vector<XID> recoverXids;
    size_t recoverCursor = 0;
    uint32_t cookieSize = 16;
    uint32_t cookieUsed = 0;
    std::string gateDir;  // from the environment: slow calls wait for files here
    std::string logPath;  // from the environment: one line per call
};

State& state() {
    static State* const s = new State;  // never freed: detached threads may call late
    return *s;
}

std::atomic<int32_t> live{0};
std::atomic<int32_t> loads{0};
std::atomic<int32_t> unloads{0};

thread_local bool associated = false;
thread_local XID associatedXid{};

std::string hex(const char* bytes, int32_t n) {
    std::string text;
    char pair[3];
    for (int32_t i = 0; i < n && i < XIDDATASIZE; ++i) {
        snprintf(pair, sizeof pair, "%02X", static_cast<uint8_t>(bytes[i]));
        text += pair;
    }
    return text;
}

int32_t clampLength(int32_t n, int32_t room) { return n < 0 ? 0 : (n > room ? room : n); }

void appendLog(const State& s, const Call& call) {
    if (s.logPath.empty()) {
        return;
    }
    int32_t g = clampLength(call.xid.gtrid_length, XIDDATASIZE);
    int32_t b = clampLength(call.xid.bqual_length, XIDDATASIZE - g);
    if (FILE* f = fopen(s.logPath.c_str(), "a")) {
        fprintf(f, "%s rmid=%d flags=0x%x xid=%d:%s:%s thread=%llu\n", kNames[call.entry], call.rmid,
                static_cast<unsigned>(call.flags), call.xid.formatID, hex(call.xid.data, g).c_str(),
                hex(call.xid.data + g, b).c_str(), static_cast<unsigned long long>(call.thread));
        fclose(f);
    }
}

__attribute__((noinline, no_sanitize("undefined"))) void crash() {
    volatile int* volatile target = nullptr;
    *target = 1;  // a real access violation, raised inside the call
}

// Records the call, waits while it is slow, faults or raises when told to, and
// answers the scripted code. *nullPointer tells the caller to hand out null.
int32_t enter(Entry entry, const XID* xid, int32_t rmid, int32_t flags, const char* info, bool* nullPointer = nullptr) {
    State& s = state();
    bool fault = false;
    uint32_t raise = 0;
    bool raiseContinuable = false;
    int32_t code = 0;
    {
        std::unique_lock<std::mutex> hold(s.mutex);
        Call call{entry, XID{}, rmid, flags, currentThread(), info != nullptr ? info : ""};
        if (xid != nullptr) {
            std::memcpy(&call.xid, xid, sizeof(XID));
        }
        s.calls.push_back(call);
        appendLog(s, call);
        s.changed.notify_all();
        Script& script = s.scripts[entry];
        if (script.slow && !s.gateDir.empty()) {
            // Out of process: announce the call with a file and wait for the
            // test's release file (bounded, so a forgotten test cannot hang us).
            std::string base = s.gateDir + "/" + kNames[entry];
            if (FILE* f = fopen((base + ".entered").c_str(), "w")) {
                fclose(f);
            }
            hold.unlock();
            for (int i = 0; i < 600000 && !std::filesystem::exists(base + ".release"); ++i) {
                std::this_thread::sleep_for(std::chrono::milliseconds(1));
            }
            hold.lock();
        } else {
            s.changed.wait(hold, [&] { return !script.slow; });
        }
        fault = script.fault;
        raise = script.raise;
        raiseContinuable = script.raiseContinuable;
        if (!script.oneShot.empty()) {
            code = script.oneShot.front();
            script.oneShot.pop_front();
        } else {
            code = script.result;
        }
        if (nullPointer != nullptr) {
            *nullPointer = script.nullPointer;
        }
    }
    if (fault) {
        crash();
    }
    if (raise != 0) {
        raiseSoftware(raise, raiseContinuable);
    }
    return code;
}

// ---- COM objects ----------------------------------------------------------

template <typename Interface>
struct Object : Interface {
    Object() { live.fetch_add(1); }
    virtual ~Object() { live.fetch_sub(1); }
    HRESULT QueryInterface(REFIID, void** object) override {
        if (object != nullptr) {
            *object = nullptr;
        }
        return E_NOINTERFACE;
    }
    ULONG AddRef() override { return ++references; }
    ULONG Release() override {
        ULONG left = --references;
        if (left == 0) {
            delete this;
        }
        return left;
    }
    std::atomic<ULONG> references{1};
};

struct Transaction final : Object<ITransaction> {
    HRESULT Commit(BOOL, DWORD, DWORD) override { return S_OK; }
    HRESULT Abort(BOID*, BOOL, BOOL) override { return S_OK; }
    HRESULT GetTransactionInfo(XACTTRANSINFO*) override { return S_OK; }
    XID xid{};  // the branch whose transaction this is
};

struct ExportObject final : Object<ITransactionExport> {
    HRESULT Export(IUnknown* transaction, ULONG* cookieSize) override {
        int32_t code = enter(kExport, nullptr, 0, 0, nullptr);
        State& s = state();
        std::lock_guard<std::mutex> hold(s.mutex);
        *cookieSize = s.cookieSize;
        (void)transaction;
        return code;
    }
    HRESULT GetTransactionCookie(IUnknown* transaction, ULONG size, BYTE* buffer, ULONG* used) override {
        auto* t = static_cast<Transaction*>(static_cast<ITransaction*>(transaction));
        int32_t code = enter(kGetTransactionCookie, &t->xid, 0, 0, nullptr);
        std::vector<uint8_t> bytes = cookieFor(t->xid, size);
        std::memcpy(buffer, bytes.data(), bytes.size());
        State& s = state();
        std::lock_guard<std::mutex> hold(s.mutex);
        *used = s.cookieUsed != 0 ? s.cookieUsed : size;
        return code;
    }
};

struct ExportFactory final : Object<ITransactionExportFactory> {
    HRESULT GetRemoteClassId(GUID*) override { return E_NOTIMPL; }
    HRESULT Create(ULONG, BYTE*, ITransactionExport** exporter) override {
        bool nullPointer = false;
        int32_t code = enter(kCreate, nullptr, 0, 0, nullptr, &nullPointer);
        *exporter = DTC_SUCCEEDED(code) && !nullPointer ? new ExportObject : nullptr;
        return code;
    }
};

struct Whereabouts final : Object<ITransactionImportWhereabouts> {
    HRESULT GetWhereaboutsSize(ULONG* size) override {
        *size = 24;
        return enter(kGetWhereaboutsSize, nullptr, 0, 0, nullptr);
    }
    HRESULT GetWhereabouts(ULONG size, BYTE* buffer, ULONG* used) override {
        std::memset(buffer, 0x57, size);
        *used = size;
        return enter(kGetWhereabouts, nullptr, 0, 0, nullptr);
    }
};

struct LookupObject final : Object<IXATransLookup> {
    HRESULT Lookup(ITransaction** transaction) override {
        bool nullPointer = false;
        int32_t code = enter(kLookup, associated ? &associatedXid : nullptr, 0, 0, nullptr, &nullPointer);
        *transaction = nullptr;
        if (code != 0 || nullPointer) {
            return code;
        }
        if (!associated) {
            return XACT_E_NOTRANSACTION;
        }
        auto* t = new Transaction;
        t->xid = associatedXid;
        *transaction = t;
        return S_OK;
    }
};

// ---- the environment script of a child process ----------------------------

// MORVALEN_DOUBLE_SCRIPT="DTC_XaPrepare=slow,DTC_XaCommit=-7,DTC_XaEnd=fault,Lookup=null,
// DTC_XaOpen=raise,DTC_XaRecover=raise-continuable:0xE0000001"
void loadEnvironment() {
    State& s = state();
    if (const char* gate = getenv("MORVALEN_DOUBLE_GATE")) {
        s.gateDir = gate;
    }
    if (const char* log = getenv("MORVALEN_DOUBLE_LOG")) {
        s.logPath = log;
    }
    const char* script = getenv("MORVALEN_DOUBLE_SCRIPT");
    if (script == nullptr) {
        return;
    }
    std::string text = script;
    size_t start = 0;
    while (start < text.size()) {
        size_t end = text.find(',', start);
        std::string item = text.substr(start, end == std::string::npos ? std::string::npos : end - start);
        start = end == std::string::npos ? text.size() : end + 1;
        size_t equals = item.find('=');
        if (equals == std::string::npos) {
            continue;
        }
        Entry entry = entryFromName(item.substr(0, equals));
        std::string value = item.substr(equals + 1);
        if (entry == kEntryCount) {
            continue;
        }
        if (value == "slow") {
            s.scripts[entry].slow = true;
        } else if (value == "fault") {
            s.scripts[entry].fault = true;
        } else if (value.rfind("raise", 0) == 0) {
            // raise, raise:CODE, raise-continuable, raise-continuable:CODE
            size_t colon = value.find(':');
            std::string kind = value.substr(0, colon);
            uint32_t raiseCode = colon == std::string::npos
                                     ? kRpcServerUnavailable
                                     : static_cast<uint32_t>(strtoul(value.c_str() + colon + 1, nullptr, 0));
            s.scripts[entry].raise = raiseCode;
            s.scripts[entry].raiseContinuable = kind == "raise-continuable";
        } else if (value == "null") {
            s.scripts[entry].nullPointer = true;
        } else {
            s.scripts[entry].result = static_cast<int32_t>(strtol(value.c_str(), nullptr, 0));
        }
    }
}

struct EnvironmentLoader {
    EnvironmentLoader() { loadEnvironment(); }
} environmentLoader;

}  // namespace

const char* entryName(Entry entry) { return entry >= 0 && entry < kEntryCount ? kNames[entry] : "?"; }

Entry entryFromName(const std::string& name) {
    for (int32_t i = 0; i < kEntryCount; ++i) {
        if (name == kNames[i]) {
            return static_cast<Entry>(i);
        }
    }
    return kEntryCount;
}

void reset() {
    State& s = state();
    std::lock_guard<std::mutex> hold(s.mutex);
    for (Script& script : s.scripts) {
        script = Script{};
    }
    for (TmScript& tm : s.tm) {
        tm = TmScript{};
    }
    s.calls.clear();
    s.recoverXids.clear();
    s.recoverCursor = 0;
    s.cookieSize = 16;
    s.cookieUsed = 0;
    s.changed.notify_all();
}

void setResult(Entry entry, int32_t code) {
    std::lock_guard<std::mutex> hold(state().mutex);
    state().scripts[entry].result = code;
}

void pushResult(Entry entry, int32_t code) {
    std::lock_guard<std::mutex> hold(state().mutex);
    state().scripts[entry].oneShot.push_back(code);
}

void setNullPointer(Entry entry, bool on) {
    std::lock_guard<std::mutex> hold(state().mutex);
    state().scripts[entry].nullPointer = on;
}

void setTransactionManager(Interface which, HRESULT code, bool nullPointer) {
    std::lock_guard<std::mutex> hold(state().mutex);
    state().tm[which] = TmScript{code, nullPointer};
}

void setFault(Entry entry, bool on) {
    std::lock_guard<std::mutex> hold(state().mutex);
    state().scripts[entry].fault = on;
}

// What a library written in another language throws at its caller elsewhere.
struct ForeignFailure {
    uint32_t code;
};

__attribute__((noinline)) void raiseSoftware(uint32_t code, bool continuable) {
#if defined(_WIN32)
    constexpr unsigned long kNoncontinuable = 1;  // EXCEPTION_NONCONTINUABLE
    RaiseException(code, continuable ? 0 : kNoncontinuable, 0, nullptr);
#else
    (void)continuable;
    throw ForeignFailure{code};
#endif
}

void setRaise(Entry entry, uint32_t code, bool continuable) {
    std::lock_guard<std::mutex> hold(state().mutex);
    state().scripts[entry].raise = code;
    state().scripts[entry].raiseContinuable = continuable;
}

void setSlow(Entry entry, bool on) {
    std::lock_guard<std::mutex> hold(state().mutex);
    state().scripts[entry].slow = on;
    state().changed.notify_all();
}

void releaseSlow(Entry entry) { setSlow(entry, false); }

bool waitForCalls(Entry entry, int32_t count, int32_t timeoutMs) {
    State& s = state();
    std::unique_lock<std::mutex> hold(s.mutex);
    return s.changed.wait_for(hold, std::chrono::milliseconds(timeoutMs), [&] {
        int32_t n = 0;
        for (const Call& call : s.calls) {
            n += call.entry == entry ? 1 : 0;
        }
        return n >= count;
    });
}

void setRecoverXids(const std::vector<XID>& xids) {
    std::lock_guard<std::mutex> hold(state().mutex);
    state().recoverXids = xids;
    state().recoverCursor = 0;
}

void setCookieSize(uint32_t size, uint32_t reportedUsed) {
    std::lock_guard<std::mutex> hold(state().mutex);
    state().cookieSize = size;
    state().cookieUsed = reportedUsed;
}

std::vector<uint8_t> cookieFor(const XID& xid, uint32_t size) {
    static constexpr char kTag[] = "MCK1";
    std::vector<uint8_t> bytes(size);
    int32_t n = clampLength(xid.gtrid_length, XIDDATASIZE);
    n += clampLength(xid.bqual_length, XIDDATASIZE - n);
    for (uint32_t i = 0; i < size; ++i) {
        bytes[i] = i < 4 ? static_cast<uint8_t>(kTag[i])
                         : static_cast<uint8_t>(n == 0 ? i : xid.data[(i - 4) % static_cast<uint32_t>(n)] + i);
    }
    return bytes;
}

std::vector<Call> calls() {
    std::lock_guard<std::mutex> hold(state().mutex);
    return state().calls;
}

std::vector<Call> callsOf(Entry entry) {
    std::vector<Call> all = calls();
    std::vector<Call> some;
    for (const Call& call : all) {
        if (call.entry == entry) {
            some.push_back(call);
        }
    }
    return some;
}

int32_t callCount(Entry entry) { return static_cast<int32_t>(callsOf(entry).size()); }

void clearCalls() {
    std::lock_guard<std::mutex> hold(state().mutex);
    state().calls.clear();
}

uint64_t currentThread() { return std::hash<std::thread::id>{}(std::this_thread::get_id()); }

int32_t liveObjects() { return live.load(); }
int32_t libraryLoads() { return loads.load(); }
int32_t libraryUnloads() { return unloads.load(); }

XID makeXid(int32_t formatId, const std::string& gtrid, const std::string& bqual) {
    XID xid{};
    xid.formatID = formatId;
    xid.gtrid_length = static_cast<int32_t>(gtrid.size());
    xid.bqual_length = static_cast<int32_t>(bqual.size());
    std::memcpy(xid.data, gtrid.data(), gtrid.size());
    std::memcpy(xid.data + gtrid.size(), bqual.data(), bqual.size());
    return xid;
}

}  // namespace dtcdouble

using namespace dtcdouble;

extern "C" int dtcdouble_xa(int entry, XID* xid, int rmid, int flags) {
    int32_t code = enter(static_cast<Entry>(entry), xid, rmid, flags, nullptr);
    if (entry == kStart && code >= 0) {
        associated = true;
        associatedXid = *xid;
    } else if (entry == kEnd) {
        associated = false;
    }
    return code;
}

extern "C" int dtcdouble_xa_info(int entry, char* info, int rmid, int flags) {
    return enter(static_cast<Entry>(entry), nullptr, rmid, flags, info);
}

extern "C" int dtcdouble_xa_recover(XID* xids, int count, int rmid, int flags) {
    State& s = state();
    bool scripted = false;
    {
        std::lock_guard<std::mutex> hold(s.mutex);
        scripted = !s.scripts[kRecover].oneShot.empty() || s.scripts[kRecover].result != 0;
    }
    int32_t code = enter(kRecover, nullptr, rmid, flags, nullptr);
    if (scripted) {
        return code;
    }
    std::lock_guard<std::mutex> hold(s.mutex);
    if ((flags & TMSTARTRSCAN) != 0) {
        s.recoverCursor = 0;
    }
    int n = 0;
    while (n < count && s.recoverCursor < s.recoverXids.size()) {
        xids[n++] = s.recoverXids[s.recoverCursor++];
    }
    return n;
}

extern "C" int dtcdouble_xa_complete(int*, int*, int rmid, int flags) {
    return enter(kComplete, nullptr, rmid, flags, nullptr);
}

extern "C" HRESULT dtcdouble_get_transaction_manager(char*, char*, REFIID riid, DWORD, WORD, void*, void** object) {
    Interface which = riid == IID_ITransactionImportWhereabouts ? kWhereabouts
                      : riid == IID_ITransactionExportFactory   ? kExportFactory
                      : riid == IID_IXATransLookup              ? kXaLookup
                                                                : kInterfaceCount;
    int32_t code = enter(kGetTransactionManager, nullptr, 0, static_cast<int32_t>(which), nullptr);
    *object = nullptr;
    if (which == kInterfaceCount) {
        return E_NOINTERFACE;
    }
    TmScript tm;
    {
        std::lock_guard<std::mutex> hold(state().mutex);
        tm = state().tm[which];
    }
    if (code != 0) {
        return code;
    }
    if (DTC_FAILED(tm.code) || tm.nullPointer) {
        return tm.code;
    }
    switch (which) {
        case kWhereabouts:
            *object = static_cast<ITransactionImportWhereabouts*>(new Whereabouts);
            break;
        case kExportFactory:
            *object = static_cast<ITransactionExportFactory*>(new ExportFactory);
            break;
        case kXaLookup:
            *object = static_cast<IXATransLookup*>(new LookupObject);
            break;
        case kInterfaceCount:
            break;
    }
    return tm.code;
}

extern "C" void dtcdouble_library_loaded(int loaded) {
    (loaded != 0 ? loads : unloads).fetch_add(1);
}
