// The XA entry points of the client core. State, all guarded by Tables::mu:
// one Rm record per open rmid (open count, GUID, control connection, the
// process's branch table keyed by XID with the thread that holds each branch)
// and, per rmid, the thread that is actively associated with each branch.
// dtcd keeps the authoritative branch state; this file keeps what XA ties to
// a thread of this process (xa_end from a foreign thread, suspend and resume
// on the same thread, Lookup). No lock is held while waiting for dtcd.
//
// The recover cursor is per thread and rmid (thread_local), as XA asks.
#include <atomic>
#include <cstring>
#include <map>
#include <string>
#include <unordered_map>

#include "Connection.h"
#include "Core.h"
#include "Wire.h"
#include "platform/ThreadSafety.h"

using namespace dtcwire;

namespace {

constexpr int TM_NOTHREADAFFINITY = 0x00040000; // accepted on start and ignored

struct Entry {
    uint64_t owner = 0;      // thread key of the thread that holds the branch
    bool suspended = false;  // the association is suspended
    uint8_t uow[16]{};       // transaction id
    uint8_t token[16]{};     // cookie secret
};

struct Rm {
    int32_t openCount = 0;                            // opens minus closes
    std::string guid;                                 // RmRecoveryGuid, upper-case
    uint64_t generation = 0;                          // changes at each first open
    ConnectionRef connection;                         // the control connection
    std::map<std::string, Entry> entries;             // xidKey -> branch held by this process
    std::unordered_map<uint64_t, std::string> active; // thread key -> xidKey it is associated with
};

// The Rm records (and their entries) are reached only through rms, under mu.
struct Tables {
    platform::Mutex mu;                               // guards everything below
    std::unordered_map<int32_t, Rm> rms GUARDED_BY(mu);  // open rmids
    uint64_t nextGeneration GUARDED_BY(mu) = 1;
};

// Never destroyed: reader threads and late callers may still reach it while
// the process exits.
Tables& tables() {
    static Tables* t = new Tables;
    return *t;
}

std::atomic<uint64_t> nextThreadKey{1};

uint64_t threadKey() {
    thread_local uint64_t key = nextThreadKey.fetch_add(1);
    return key;
}

struct Cursor {
    uint64_t generation = 0; // the rmid's generation the scan belongs to
    bool open = false;       // a scan is open
    bool hasAfter = false;   // `after` holds the last XID returned
    bool exhausted = false;  // the list has ended
    XID after{};
};
thread_local std::unordered_map<int32_t, Cursor> recoverCursors;

struct OpenString {
    std::string guid;        // RmRecoveryGuid
    uint32_t timeoutMs = 0;  // Timeout=, 0 none
};

bool equalsNoCase(std::string_view a, std::string_view b) {
    if (a.size() != b.size()) return false;
    for (size_t i = 0; i < a.size(); ++i) {
        char x = a[i] >= 'A' && a[i] <= 'Z' ? static_cast<char>(a[i] - 'A' + 'a') : a[i];
        char y = b[i] >= 'A' && b[i] <= 'Z' ? static_cast<char>(b[i] - 'A' + 'a') : b[i];
        if (x != y) return false;
    }
    return true;
}

// Parses "TM=name,RmRecoveryGuid=GUID[,Timeout=ms][,BrIso=Loose]". Every pair
// is name=value; TM and RmRecoveryGuid are required; no name twice.
bool parseOpenString(std::string_view info, OpenString* out) {
    if (info.empty() || info.size() >= 256) return false;
    bool haveTm = false;
    bool haveGuid = false;
    bool haveTimeout = false;
    bool haveIso = false;
    size_t pos = 0;
    while (pos <= info.size()) {
        size_t comma = info.find(',', pos);
        std::string_view pair = info.substr(pos, comma == std::string_view::npos ? std::string_view::npos : comma - pos);
        size_t eq = pair.find('=');
        if (eq == std::string_view::npos || eq == 0) return false;
        std::string_view name = pair.substr(0, eq);
        std::string_view value = pair.substr(eq + 1);
        if (equalsNoCase(name, "TM")) {
            if (haveTm || value.empty()) return false;
            haveTm = true;
        } else if (equalsNoCase(name, "RmRecoveryGuid")) {
            if (haveGuid || !normalizeGuid(value, &out->guid)) return false;
            haveGuid = true;
        } else if (equalsNoCase(name, "Timeout")) {
            if (haveTimeout || value.empty() || value.size() > 10) return false;
            uint64_t ms = 0;
            for (char ch : value) {
                if (ch < '0' || ch > '9') return false;
                ms = ms * 10 + static_cast<uint64_t>(ch - '0');
            }
            if (ms > INT32_MAX) return false;
            out->timeoutMs = static_cast<uint32_t>(ms);
            haveTimeout = true;
        } else if (equalsNoCase(name, "BrIso")) {
            // Only loose coupling is offered: every XID is its own transaction.
            if (haveIso || !equalsNoCase(value, "Loose")) return false;
            haveIso = true;
        } else {
            return false;
        }
        if (comma == std::string_view::npos) break;
        pos = comma + 1;
    }
    return haveTm && haveGuid;
}

std::string openBody(const std::string& guid, uint32_t timeoutMs) {
    Writer w;
    putBytes(w, guid.data(), kGuidText);
    putU32(w, timeoutMs);
    return std::move(w.bytes);
}

std::string xidBody(const XID& xid, int32_t flags, int32_t assoc) {
    Writer w;
    putBytes(w, &xid, sizeof xid);
    putI32(w, flags);
    putI32(w, assoc);
    return std::move(w.bytes);
}

// Looks up an open, live rmid under the lock. XAER_PROTO when not open,
// XAER_RMFAIL when its control connection is known to be lost, else XA_OK
// (a loss not seen yet fails the call that follows with XAER_RMFAIL alike).
int32_t findRm(Tables& t, int32_t rmid, Rm** rm) REQUIRES(t.mu) {
    auto it = t.rms.find(rmid);
    *rm = nullptr;
    if (it == t.rms.end()) return XAER_PROTO;
    if (connectionKnownLost(*it->second.connection)) return XAER_RMFAIL;
    *rm = &it->second;
    return XA_OK;
}

// The same rmid, still under the same open, after a call without the lock.
Rm* sameRm(Tables& t, int32_t rmid, uint64_t generation) REQUIRES(t.mu) {
    auto it = t.rms.find(rmid);
    return it != t.rms.end() && it->second.generation == generation ? &it->second : nullptr;
}

// Sends a branch call to dtcd. XAER_RMFAIL when the connection is lost.
int32_t remoteCall(Connection& c, uint16_t op, const XID& xid, int32_t flags, int32_t assoc, std::string* body) {
    int32_t result = 0;
    if (!connectionCall(c, op, xidBody(xid, flags, assoc), &result, body)) return XAER_RMFAIL;
    return result;
}

void dropEntry(Rm& rm, const std::string& key) {
    auto it = rm.entries.find(key);
    if (it == rm.entries.end()) return;
    auto active = rm.active.find(it->second.owner);
    if (active != rm.active.end() && active->second == key) rm.active.erase(active);
    connectionForgetNote(*rm.connection, it->second.uow);
    rm.entries.erase(it);
}

int32_t startCall(XID* xid, int32_t rmid, int32_t flags) {
    if ((flags & TMASYNC) != 0) return XAER_ASYNC;
    if ((flags & ~(TMJOIN | TMRESUME | TMNOWAIT | TM_NOTHREADAFFINITY)) != 0) return XAER_INVAL;
    if ((flags & TMJOIN) != 0 && (flags & TMRESUME) != 0) return XAER_INVAL;
    if (xid == nullptr || !xidValid(*xid)) return XAER_INVAL;
    XID canon = xidCanonical(*xid);
    std::string key = xidKey(canon);
    uint64_t me = threadKey();
    Tables& t = tables();
    ConnectionRef conn;
    uint64_t generation = 0;
    int32_t assoc = kAssocNone;
    int32_t wireFlags = flags & (TMJOIN | TMRESUME);
    {
        platform::MutexLock lock(t.mu);
        Rm* rm = nullptr;
        int32_t rc = findRm(t, rmid, &rm);
        if (rc != XA_OK) return rc;
        if (rm->active.count(me) != 0) return XAER_PROTO; // this thread is already associated
        auto it = rm->entries.find(key);
        if (it != rm->entries.end()) {
            Entry& e = it->second;
            if (wireFlags == 0) return XAER_DUPID;
            if (!e.suspended) return XAER_RMERR;       // held active by another thread
            if (e.owner != me) return XAER_PROTO;      // suspended by another thread
            assoc = kAssocSuspended;
            wireFlags = TMRESUME;                      // a join of our own suspended branch resumes it
        }
        conn = rm->connection;
        generation = rm->generation;
    }
    std::string body;
    int32_t rc = remoteCall(*conn, kOpStart, canon, wireFlags, assoc, &body);
    platform::MutexLock lock(t.mu);
    Rm* rm = sameRm(t, rmid, generation);
    if (rm == nullptr) return rc == XA_OK ? XAER_RMFAIL : rc; // closed meanwhile by another thread
    if (rc == XA_OK && body.size() == 2 * kIdSize) {
        Entry& e = rm->entries[key];
        e.owner = me;
        e.suspended = false;
        std::memcpy(e.uow, body.data(), kIdSize);
        std::memcpy(e.token, body.data() + kIdSize, kIdSize);
        rm->active[me] = key;
    } else if (assoc == kAssocSuspended && rc >= XA_RBBASE && rc <= XA_RBEND) {
        dropEntry(*rm, key); // a rolled-back branch is no longer held
    }
    return rc;
}

int32_t endCall(XID* xid, int32_t rmid, int32_t flags) {
    if ((flags & TMASYNC) != 0) return XAER_ASYNC;
    if ((flags & ~(TMSUSPEND | TMSUCCESS | TMFAIL | TMMIGRATE)) != 0) return XAER_INVAL;
    int kinds = ((flags & TMSUSPEND) != 0) + ((flags & TMSUCCESS) != 0) + ((flags & TMFAIL) != 0);
    if (kinds != 1) return XAER_INVAL;
    if ((flags & TMMIGRATE) != 0 && (flags & TMSUSPEND) == 0) return XAER_INVAL;
    if (xid == nullptr || !xidValid(*xid)) return XAER_INVAL;
    XID canon = xidCanonical(*xid);
    std::string key = xidKey(canon);
    uint64_t me = threadKey();
    Tables& t = tables();
    ConnectionRef conn;
    uint64_t generation = 0;
    int32_t assoc = kAssocNone;
    {
        platform::MutexLock lock(t.mu);
        Rm* rm = nullptr;
        int32_t rc = findRm(t, rmid, &rm);
        if (rc != XA_OK) return rc;
        auto it = rm->entries.find(key);
        if (it != rm->entries.end()) {
            Entry& e = it->second;
            if (e.owner != me) return XAER_PROTO; // only the thread that holds it may end it
            if (e.suspended && (flags & TMSUSPEND) != 0) return XAER_PROTO;
            assoc = e.suspended ? kAssocSuspended : kAssocActive;
        }
        conn = rm->connection;
        generation = rm->generation;
    }
    int32_t rc = remoteCall(*conn, kOpEnd, canon, flags, assoc, nullptr);
    platform::MutexLock lock(t.mu);
    Rm* rm = sameRm(t, rmid, generation);
    if (rm == nullptr || assoc == kAssocNone) return rc;
    bool suspendedNow = (flags & TMSUSPEND) != 0 && (rc == XA_OK || rc == XA_NOMIGRATE);
    if (suspendedNow) {
        auto it = rm->entries.find(key);
        if (it != rm->entries.end()) it->second.suspended = true;
        rm->active.erase(me);
    } else if (rc == XA_OK || (rc >= XA_RBBASE && rc <= XA_RBEND) || rc == XAER_NOTA) {
        dropEntry(*rm, key);
    }
    return rc;
}

int32_t completionCall(uint16_t op, XID* xid, int32_t rmid, int32_t flags, int32_t allowed) {
    if ((flags & TMASYNC) != 0) return XAER_ASYNC;
    if ((flags & ~allowed) != 0) return XAER_INVAL;
    if (xid == nullptr || !xidValid(*xid)) return XAER_INVAL;
    XID canon = xidCanonical(*xid);
    ConnectionRef conn;
    {
        Tables& t = tables();
        platform::MutexLock lock(t.mu);
        Rm* rm = nullptr;
        int32_t rc = findRm(t, rmid, &rm);
        if (rc != XA_OK) return rc;
        conn = rm->connection;
    }
    return remoteCall(*conn, op, canon, flags & ~TMNOWAIT, kAssocNone, nullptr);
}

int32_t recoverBatch(Connection& c, Cursor& cursor, XID* out, int32_t want) {
    Writer w;
    putU8(w, cursor.hasAfter ? 1 : 0);
    putBytes(w, &cursor.after, sizeof(XID));
    putU32(w, static_cast<uint32_t>(want));
    int32_t result = 0;
    std::string body;
    if (!connectionCall(c, kOpRecover, w.bytes, &result, &body)) return XAER_RMFAIL;
    if (result != XA_OK) return result;
    Reader r = reader(body);
    uint32_t n = getU32(r);
    if (r.bad || n > static_cast<uint32_t>(want) || body.size() != 4 + n * sizeof(XID)) return XAER_RMERR;
    for (uint32_t i = 0; i < n; ++i) getBytes(r, &out[i], sizeof(XID));
    if (n > 0) {
        cursor.after = out[n - 1];
        cursor.hasAfter = true;
    }
    if (n < static_cast<uint32_t>(want)) cursor.exhausted = true;
    return static_cast<int32_t>(n);
}

constexpr int32_t kOpenRetry = 1; // openAttempt: the rmid changed under us, try again

// One try of xa_open once the string is parsed: count on the rmid's live
// connection, or make a new one. No lock is held while dtcd is asked.
int32_t openAttempt(int32_t rmid, const OpenString& parsed) {
    Tables& t = tables();
    ConnectionRef existing;
    {
        platform::MutexLock lock(t.mu);
        auto it = t.rms.find(rmid);
        if (it != t.rms.end()) {
            if (it->second.guid != parsed.guid) return XAER_INVAL;
            if (connectionAlive(*it->second.connection)) existing = it->second.connection;
        }
    }
    if (existing != nullptr) {
        // A second open counts and refreshes the time-out.
        int32_t result = 0;
        bool answered =
            connectionCall(*existing, kOpOpen, openBody(parsed.guid, parsed.timeoutMs), &result, nullptr);
        if (answered && result != XA_OK) return XAER_RMERR;
        platform::MutexLock lock(t.mu);
        auto it = t.rms.find(rmid);
        if (!answered || it == t.rms.end() || it->second.connection != existing) return kOpenRetry;
        it->second.openCount++;
        return XA_OK;
    }
    // First open, or a reopen of an rmid whose connection was lost: a new
    // control connection, registered under the GUID.
    ConnectionRef conn = connectionOpen();
    if (conn == nullptr) return XAER_RMERR;
    int32_t result = 0;
    if (!connectionCall(*conn, kOpOpen, openBody(parsed.guid, parsed.timeoutMs), &result, nullptr) ||
        result != XA_OK) {
        connectionShutdown(*conn);
        return XAER_RMERR;
    }
    platform::MutexLock lock(t.mu);
    auto it = t.rms.find(rmid);
    if (it != t.rms.end() && connectionAlive(*it->second.connection)) {
        // Another thread opened it meanwhile; count this open on its connection.
        connectionShutdown(*conn);
        if (it->second.guid != parsed.guid) return XAER_INVAL;
        it->second.openCount++;
        return XA_OK;
    }
    int32_t count = it != t.rms.end() ? it->second.openCount : 0;
    if (it != t.rms.end()) connectionShutdown(*it->second.connection);
    Rm& rm = t.rms[rmid];
    rm = Rm{};
    rm.openCount = count + 1;
    rm.guid = parsed.guid;
    rm.generation = t.nextGeneration++;
    rm.connection = std::move(conn);
    return XA_OK;
}

} // namespace

bool currentTransaction(ThreadTransaction* out) {
    uint64_t me = threadKey();
    Tables& t = tables();
    platform::MutexLock lock(t.mu);
    for (auto& [rmid, rm] : t.rms) {
        auto active = rm.active.find(me);
        if (active == rm.active.end()) continue;
        auto e = rm.entries.find(active->second);
        if (e == rm.entries.end()) continue;
        out->connection = rm.connection;
        std::memcpy(out->uow, e->second.uow, kIdSize);
        std::memcpy(out->token, e->second.token, kIdSize);
        return true;
    }
    return false;
}

extern "C" int dtcclient_xa_open(char* xa_info, int rmid, int flags) {
    if (flags == TMASYNC) return XAER_ASYNC;
    if (xa_info == nullptr || flags != TMNOFLAGS) return E_INVALIDARG;
    OpenString parsed;
    if (!parseOpenString(std::string_view(xa_info, strnlen(xa_info, 256)), &parsed)) return XAER_INVAL;
    // A close by another thread may end the connection we meant to count on;
    // then the open starts over with a connection of its own.
    for (int attempt = 0; attempt < 3; ++attempt) {
        int32_t rc = openAttempt(rmid, parsed);
        if (rc != kOpenRetry) return rc;
    }
    return XAER_RMERR;
}

extern "C" int dtcclient_xa_close(char* /*xa_info*/, int rmid, int flags) {
    if (flags == TMASYNC) return XAER_ASYNC;
    if (flags != TMNOFLAGS) return XAER_INVAL;
    uint64_t me = threadKey();
    Tables& t = tables();
    platform::MutexLock lock(t.mu);
    auto it = t.rms.find(rmid);
    if (it == t.rms.end()) return XAER_PROTO;
    Rm& rm = it->second;
    bool alive = connectionAlive(*rm.connection);
    if (alive) {
        // A thread that is associated (or holds a suspended association) may
        // not close; a lost connection can always be closed.
        for (const auto& [key, entry] : rm.entries)
            if (entry.owner == me) return XAER_PROTO;
    }
    if (--rm.openCount > 0 && alive) return XA_OK;
    connectionShutdown(*rm.connection);
    t.rms.erase(it);
    return XA_OK;
}

extern "C" int dtcclient_xa_start(XID* xid, int rmid, int flags) { return startCall(xid, rmid, flags); }

extern "C" int dtcclient_xa_end(XID* xid, int rmid, int flags) { return endCall(xid, rmid, flags); }

extern "C" int dtcclient_xa_rollback(XID* xid, int rmid, int flags) {
    return completionCall(kOpRollback, xid, rmid, flags, TMNOFLAGS);
}

extern "C" int dtcclient_xa_prepare(XID* xid, int rmid, int flags) {
    return completionCall(kOpPrepare, xid, rmid, flags, TMNOFLAGS);
}

extern "C" int dtcclient_xa_commit(XID* xid, int rmid, int flags) {
    return completionCall(kOpCommit, xid, rmid, flags, TMNOWAIT | TMONEPHASE);
}

extern "C" int dtcclient_xa_forget(XID* xid, int rmid, int flags) {
    return completionCall(kOpForget, xid, rmid, flags, TMNOFLAGS);
}

extern "C" int dtcclient_xa_recover(XID* xids, int count, int rmid, int flags) {
    if ((flags & ~(TMSTARTRSCAN | TMENDRSCAN)) != 0) return XAER_INVAL;
    if (xids == nullptr || count < 1) return XAER_INVAL;
    ConnectionRef conn;
    uint64_t generation = 0;
    {
        Tables& t = tables();
        platform::MutexLock lock(t.mu);
        Rm* rm = nullptr;
        int32_t rc = findRm(t, rmid, &rm);
        if (rc != XA_OK) return rc;
        conn = rm->connection;
        generation = rm->generation;
    }
    Cursor& cursor = recoverCursors[rmid];
    if ((flags & TMSTARTRSCAN) != 0 || !cursor.open || cursor.generation != generation) {
        // TMNOFLAGS without an open scan starts one at the top of the list.
        cursor = Cursor{};
        cursor.open = true;
        cursor.generation = generation;
    }
    int32_t filled = 0;
    while (filled < count && !cursor.exhausted) {
        int32_t want = count - filled;
        if (want > static_cast<int32_t>(kRecoverBatchMax)) want = static_cast<int32_t>(kRecoverBatchMax);
        int32_t n = recoverBatch(*conn, cursor, xids + filled, want);
        if (n < 0) {
            cursor = Cursor{};
            return n;
        }
        filled += n;
    }
    if ((flags & TMENDRSCAN) != 0) cursor = Cursor{};
    return filled;
}

extern "C" int dtcclient_xa_complete(int* /*handle*/, int* /*retval*/, int /*rmid*/, int /*flags*/) {
    return XAER_PROTO; // no call ever runs asynchronously
}
