// The PostgreSQL participant (see PgParticipant.h). The session's PostgreSQL
// connection is used by the caller's thread until it enlists and by the
// library's dispatch thread after that, never by both at once: the caller
// only waits on the session's condition variable from then on.
#include "PgParticipant.h"

#include <libpq-fe.h>
#include <sys/random.h>

#include <chrono>
#include <condition_variable>
#include <cstring>
#include <map>
#include <mutex>

#include "PgArgs.h"
#include "Wire.h"
#include "contract/txdtc.h"

using namespace dtcwire;

namespace {

// First key of the advisory lock a session holds for its transaction ("DTCP").
constexpr const char* kLockClass = "1146372944";
// How long --recover waits, all in all, for transactions held by another
// session (a participant finishing, or another --recover) to be let go.
constexpr int kRecoverLockWaitMs = 2000;
// How long --recover waits for an undecided transaction's outcome.
constexpr DWORD kRecoverReenlistMs = 5000;

template <typename T>
T* transactionManager(REFIID iid) {
    void* object = nullptr;
    if (DtcGetTransactionManager(nullptr, nullptr, iid, 0, 0, nullptr, &object) != S_OK) return nullptr;
    return static_cast<T*>(object);
}

std::string oneLine(const char* text) {
    std::string s = text != nullptr ? text : "";
    while (!s.empty() && (s.back() == '\n' || s.back() == ' ')) s.pop_back();
    for (char& ch : s)
        if (ch == '\n') ch = ' ';
    return s;
}

// Runs one command; false with the server's message.
bool run(PGconn* conn, const std::string& sql, std::string* reason) {
    PGresult* result = PQexec(conn, sql.c_str());
    ExecStatusType status = PQresultStatus(result);
    bool ok = status == PGRES_COMMAND_OK || status == PGRES_TUPLES_OK;
    if (!ok && reason != nullptr) *reason = oneLine(PQerrorMessage(conn));
    PQclear(result);
    return ok;
}

// The first column of the first row, or "" (and false).
bool scalar(PGconn* conn, const std::string& sql, std::string* value, std::string* reason) {
    PGresult* result = PQexec(conn, sql.c_str());
    bool ok = PQresultStatus(result) == PGRES_TUPLES_OK && PQntuples(result) == 1;
    if (ok) *value = PQgetisnull(result, 0, 0) ? "" : PQgetvalue(result, 0, 0);
    if (!ok && reason != nullptr) *reason = oneLine(PQerrorMessage(conn));
    PQclear(result);
    return ok;
}

// A connection without the prepared-transactions check (for settling).
PGconn* plainConnect(const std::string& conninfo, std::string* reason) {
    PGconn* conn = PQconnectdb(conninfo.c_str());
    if (PQstatus(conn) != CONNECTION_OK) {
        if (reason != nullptr) *reason = "cannot connect to PostgreSQL: " + oneLine(PQerrorMessage(conn));
        PQfinish(conn);
        return nullptr;
    }
    return conn;
}

PGconn* connect(const std::string& conninfo, std::string* reason) {
    PGconn* conn = plainConnect(conninfo, reason);
    if (conn == nullptr) return nullptr;
    std::string max;
    if (!scalar(conn, "SHOW max_prepared_transactions", &max, reason) || max.empty() || max == "0") {
        *reason = "PostgreSQL has prepared transactions disabled (max_prepared_transactions = " +
                  (max.empty() ? std::string("?") : max) + "); set it above 0 and restart the server";
        PQfinish(conn);
        return nullptr;
    }
    return conn;
}

// The database's resource-manager GUID: md5 of the cluster's system
// identifier and the database's name, so every run against this database
// (and no run against another) uses it.
bool databaseGuid(PGconn* conn, GUID* guid, std::string* reason) {
    std::string hex;
    std::string bytes;
    if (!scalar(conn, "SELECT md5(system_identifier::text || '/' || current_database()) FROM pg_control_system()",
                &hex, reason) ||
        !hexDecode(hex, &bytes) || bytes.size() != sizeof(GUID)) {
        *reason = "cannot read the database's identity: " + *reason;
        return false;
    }
    std::memcpy(guid, bytes.data(), sizeof(GUID));
    return true;
}

// The resource manager's name dtcctl list shows: the connection's target.
std::string targetName(PGconn* conn) { return pgTargetName(PQdb(conn), PQhost(conn), PQport(conn)); }

std::string lockArgs(const std::string& gid) { return std::string(kLockClass) + ", hashtext('" + gid + "')"; }

// 1: the prepared transaction `gid` exists, 0: it does not, -1: cannot tell.
int preparedExists(PGconn* conn, const std::string& gid) {
    std::string count;
    if (!scalar(conn, "SELECT count(*) FROM pg_prepared_xacts WHERE gid = '" + gid + "'", &count, nullptr)) return -1;
    return count == "0" ? 0 : 1;
}

// The current transaction's virtual id: changes whenever a transaction ends
// and another begins (COMMIT AND CHAIN included).
bool virtualXid(PGconn* conn, std::string* vxid, std::string* reason) {
    return scalar(conn,
                  "SELECT virtualxid FROM pg_locks WHERE locktype = 'virtualxid' AND pid = pg_backend_pid()"
                  " AND virtualxid = virtualtransaction",
                  vxid, reason);
}

} // namespace

struct PgSession final : ITransactionResourceAsync {
    PGconn* conn = nullptr;
    std::string conninfo;     // for a new connection when this one is lost
    ITransaction* tx = nullptr;
    IResourceManager* rm = nullptr;
    ITransactionEnlistmentAsync* enlistment = nullptr;
    GUID rmGuid{};
    std::string gid;          // set at enlistment
    std::string vxid;         // the PostgreSQL transaction the statements run in
    bool begun = false;       // BEGIN sent
    bool prepared = false;    // PREPARE TRANSACTION succeeded
    std::mutex mu;            // guards done, outcome, reason
    std::condition_variable cv;
    bool done = false;
    PgOutcome outcome = kPgFailed;
    std::string reason;

    HRESULT QueryInterface(REFIID riid, void** object) override {
        if (object == nullptr) return E_INVALIDARG;
        if (!(riid == IID_IUnknown || riid == IID_ITransactionResourceAsync)) return E_NOINTERFACE;
        *object = static_cast<ITransactionResourceAsync*>(this);
        return S_OK;
    }
    // The session owns itself; the library's references only keep it while it lives.
    ULONG AddRef() override { return 2; }
    ULONG Release() override { return 1; }

    HRESULT PrepareRequest(BOOL, DWORD, BOOL, BOOL) override {
        std::string writes;
        std::string why;
        HRESULT vote = E_FAIL;
        PgOutcome failed = kPgAborted;
        if (PQtransactionStatus(conn) != PQTRANS_INTRANS) {
            why = "the transaction is no longer open at PREPARE TRANSACTION";
        } else if (scalar(conn, "SELECT pg_current_xact_id_if_assigned()", &writes, &why) && writes.empty()) {
            // Nothing written: commit here and take no part in phase two.
            if (run(conn, "COMMIT", &why)) vote = XACT_S_READONLY;
        } else if (run(conn, "PREPARE TRANSACTION '" + gid + "'", &why)) {
            prepared = true;
            vote = S_OK;
        } else if (PQstatus(conn) == CONNECTION_BAD) {
            // The reply was lost: the server may have prepared it. A no vote
            // is only safe once nothing prepared is left behind.
            failed = settleLostPrepare(&why);
        }
        if (vote == E_FAIL && PQstatus(conn) == CONNECTION_OK)
            run(conn, "ROLLBACK", nullptr); // PREPARE that fails has rolled back already
        // The vote goes out before the caller may close the session (and the
        // connection, which dtcd would take as a participant gone).
        enlistment->PrepareRequestDone(vote, nullptr, nullptr);
        if (vote == XACT_S_READONLY) finish(kPgCommitted, {});
        if (vote == E_FAIL) finish(failed, why);
        return S_OK;
    }
    // Rolls back, through a new connection, what a PREPARE TRANSACTION whose
    // reply was lost may have prepared. kPgAborted when nothing is left,
    // kPgFailed (and --recover named) when that cannot be made sure of.
    PgOutcome settleLostPrepare(std::string* why) {
        std::string lost = *why;
        PGconn* fresh = plainConnect(conninfo, nullptr);
        int exists = fresh != nullptr ? preparedExists(fresh, gid) : -1;
        bool gone = exists == 0 || (exists == 1 && run(fresh, "ROLLBACK PREPARED '" + gid + "'", nullptr));
        if (fresh != nullptr) PQfinish(fresh);
        if (gone) {
            *why = "the connection was lost during PREPARE TRANSACTION (" + lost + "); rolled back";
            return kPgAborted;
        }
        *why = "the connection was lost during PREPARE TRANSACTION (" + lost + ") and " + gid +
               " may be left prepared; run dtc-pg-enlist --recover";
        return kPgFailed;
    }
    // Applies phase two (COMMIT PREPARED or ROLLBACK PREPARED). When this
    // session's connection fails, a new one finishes it: a transaction that
    // is no longer prepared was finished already (the lost reply's command,
    // or a --recover), so it counts as done.
    bool applyPhaseTwo(const char* verb, std::string* why) {
        if (run(conn, std::string(verb) + " '" + gid + "'", why)) return true;
        PGconn* fresh = plainConnect(conninfo, nullptr);
        if (fresh == nullptr) return false;
        int exists = preparedExists(fresh, gid);
        bool ok = exists == 0 || (exists == 1 && run(fresh, std::string(verb) + " '" + gid + "'", why));
        PQfinish(fresh);
        return ok;
    }
    HRESULT CommitRequest(DWORD, XACTUOW*) override {
        std::string why;
        if (!applyPhaseTwo("COMMIT PREPARED", &why)) {
            // Not acknowledged: dtcd keeps the decision for --recover.
            finish(kPgFailed, "commit of " + gid + " failed (" + why + "); run dtc-pg-enlist --recover");
            return S_OK;
        }
        enlistment->CommitRequestDone(S_OK);
        finish(kPgCommitted, {});
        return S_OK;
    }
    HRESULT AbortRequest(BOID*, BOOL, XACTUOW*) override {
        std::string why;
        bool ok = prepared ? applyPhaseTwo("ROLLBACK PREPARED", &why) : run(conn, "ROLLBACK", &why);
        if (ok || !prepared) enlistment->AbortRequestDone(S_OK);
        finish(ok || !prepared ? kPgAborted : kPgFailed,
               ok || !prepared ? std::string() : "rollback of " + gid + " failed (" + why + "); run dtc-pg-enlist --recover");
        return S_OK;
    }
    HRESULT TMDown() override {
        if (!prepared) {
            run(conn, "ROLLBACK", nullptr);
            finish(kPgAborted, "lost the coordinator before voting");
        } else {
            finish(kPgFailed, "lost the coordinator after preparing " + gid + "; run dtc-pg-enlist --recover");
        }
        return S_OK;
    }
    void finish(PgOutcome what, const std::string& why) {
        std::lock_guard lock(mu);
        if (done) return;
        done = true;
        outcome = what;
        reason = why;
        cv.notify_all();
    }
};

PgSession* pgSessionOpen(const std::string& conninfo, const std::string& cookie, std::string* reason, bool* aborted) {
    if (aborted != nullptr) *aborted = false;
    PGconn* conn = connect(conninfo, reason);
    if (conn == nullptr) return nullptr;
    auto* session = new PgSession;
    session->conn = conn;
    session->conninfo = conninfo;
    if (!databaseGuid(conn, &session->rmGuid, reason)) {
        pgSessionClose(session);
        return nullptr;
    }
    auto* import = transactionManager<ITransactionImport>(IID_ITransactionImport);
    if (import == nullptr) {
        *reason = "cannot reach dtcd";
        pgSessionClose(session);
        return nullptr;
    }
    IID iid = IID_ITransaction;
    HRESULT hr = import->Import(static_cast<ULONG>(cookie.size()),
                                reinterpret_cast<BYTE*>(const_cast<char*>(cookie.data())), &iid,
                                reinterpret_cast<void**>(&session->tx));
    import->Release();
    if (hr != S_OK) {
        if (aborted != nullptr) *aborted = hr == XACT_E_ABORTED;
        *reason = hr == XACT_E_INVALIDCOOKIE   ? "the cookie is not valid"
                  : hr == XACT_E_NOTRANSACTION ? "no such transaction"
                  : hr == XACT_E_ABORTED       ? "the transaction was rolled back"
                                               : "import failed (" + std::to_string(hr) + ")";
        pgSessionClose(session);
        return nullptr;
    }
    auto* factory = transactionManager<IResourceManagerFactory>(IID_IResourceManagerFactory);
    std::string name = targetName(conn);
    hr = factory != nullptr ? factory->Create(&session->rmGuid, name.data(), nullptr, &session->rm) : E_FAIL;
    if (factory != nullptr) factory->Release();
    if (hr != S_OK) {
        *reason = "cannot register with dtcd";
        pgSessionClose(session);
        return nullptr;
    }
    return session;
}

PgExec pgSessionExec(PgSession* session, const std::string& sql, std::string* reason) {
    if (!session->begun) {
        if (!run(session->conn, "BEGIN", reason) || !virtualXid(session->conn, &session->vxid, reason))
            return kPgExecFailed;
        session->begun = true;
    }
    if (!run(session->conn, sql, reason)) {
        run(session->conn, "ROLLBACK", nullptr);
        session->begun = false;
        return kPgExecFailed;
    }
    // The work must stay in the one transaction that will be prepared: a
    // statement that committed or rolled it back (or prepared it) took it
    // out of the coordinator's hands.
    std::string now;
    if (PQtransactionStatus(session->conn) != PQTRANS_INTRANS || !virtualXid(session->conn, &now, nullptr) ||
        now != session->vxid) {
        *reason = "the statement \"" + sql +
                  "\" ended the transaction (COMMIT, ROLLBACK and PREPARE TRANSACTION are not allowed); nothing was "
                  "enlisted and the work done before it is not under the coordinator";
        if (PQtransactionStatus(session->conn) != PQTRANS_IDLE) run(session->conn, "ROLLBACK", nullptr);
        session->begun = false;
        return kPgExecEnded;
    }
    return kPgExecOk;
}

bool pgSessionEnlist(PgSession* session, std::string* reason, bool* aborted) {
    if (aborted != nullptr) *aborted = false;
    if (!session->begun) {
        if (!run(session->conn, "BEGIN", reason)) return false;
        session->begun = true;
    }
    XACTTRANSINFO info{};
    HRESULT got = session->tx->GetTransactionInfo(&info);
    if (got != S_OK) {
        if (aborted != nullptr) *aborted = got == XACT_E_ABORTED;
        *reason = got == XACT_E_ABORTED ? "the transaction was rolled back" : "the transaction is gone";
        return false;
    }
    uint32_t mine = 0;
    if (getrandom(&mine, sizeof mine, 0) != static_cast<ssize_t>(sizeof mine)) {
        *reason = "no random bytes for the transaction's id";
        return false;
    }
    session->gid = pgGidText(info.uow.rgb, &session->rmGuid, &mine);
    // Held by this session (not the transaction) until it closes: --recover
    // leaves a prepared transaction alone while its session lives.
    if (!run(session->conn, "SELECT pg_advisory_lock(" + lockArgs(session->gid) + ")", reason)) return false;
    XACTUOW uow{};
    LONG iso = 0;
    HRESULT hr = session->rm->Enlist(session->tx, session, &uow, &iso, &session->enlistment);
    if (hr != S_OK) {
        if (aborted != nullptr) *aborted = hr == XACT_E_ABORTED;
        *reason = hr == XACT_E_ABORTED         ? "the transaction was rolled back"
                  : hr == XACT_E_NOTRANSACTION ? "the transaction is preparing or decided already"
                                               : "enlistment refused (" + std::to_string(hr) + ")";
        return false;
    }
    return true;
}

void pgSessionAbort(PgSession* session) {
    if (session->begun) run(session->conn, "ROLLBACK", nullptr);
    session->begun = false;
    if (session->tx != nullptr) session->tx->Abort(nullptr, 0, 0);
}

PgOutcome pgSessionWait(PgSession* session, std::string* reason) {
    std::unique_lock lock(session->mu);
    session->cv.wait(lock, [&] { return session->done; });
    *reason = session->reason;
    return session->outcome;
}

void pgSessionClose(PgSession* session) {
    // The resource manager goes first: no callback runs after this.
    if (session->rm != nullptr) session->rm->Release();
    if (session->enlistment != nullptr) session->enlistment->Release();
    if (session->tx != nullptr) session->tx->Release();
    if (session->conn != nullptr) PQfinish(session->conn);
    delete session;
}

namespace {

// One prepared transaction of ours found by --recover.
struct Found {
    std::string gid;
    std::string uow;     // 16 bytes
    std::string rmBytes; // 16 bytes, the resource manager's GUID in memory order
};

// Reads "dtc_<uow>_<rm>" (a run of an earlier version, one GUID per run) or
// "dtc_<uow>_<rm>_<session>"; false for any other id.
bool parseGid(const std::string& gid, Found* out) {
    PgGid parsed;
    if (!pgParseGid(gid, &parsed)) return false;
    out->gid = gid;
    out->uow = std::move(parsed.uow);
    out->rmBytes = std::move(parsed.rmBytes);
    return true;
}

struct Recovery {
    PGconn* conn = nullptr;
    IResourceManagerFactory* factory = nullptr;
    std::map<std::string, IResourceManager*> rms; // by GUID bytes; null when it could not be made
    std::map<std::string, bool> blocked;          // by GUID bytes: something was left that it must still answer for
    std::vector<std::string>* lines = nullptr;
};

IResourceManager* recoveryRm(Recovery& r, const std::string& rmBytes) {
    auto it = r.rms.find(rmBytes);
    if (it != r.rms.end()) return it->second;
    GUID guid{};
    std::memcpy(&guid, rmBytes.data(), 16);
    IResourceManager* rm = nullptr;
    std::string name = targetName(r.conn);
    if (r.factory->Create(&guid, name.data(), nullptr, &rm) != S_OK) rm = nullptr;
    r.rms[rmBytes] = rm;
    return rm;
}

// Reenlists one prepared transaction whose lock this session holds and
// applies the outcome.
void resolveOne(Recovery& r, const Found& item) {
    int exists = preparedExists(r.conn, item.gid);
    if (exists == 0) return; // finished by its own session or another --recover meanwhile
    IResourceManager* rm = recoveryRm(r, item.rmBytes);
    if (rm == nullptr || exists < 0) {
        r.lines->push_back(item.gid + " in-doubt (cannot reach dtcd or the database)");
        r.blocked[item.rmBytes] = true;
        return;
    }
    BYTE info[kPrepareInfoSize];
    std::memcpy(info, "DTCP", 4);
    std::memcpy(info + 4, item.uow.data(), 16);
    XACTSTAT stat = XACTSTAT_NONE;
    HRESULT hr = rm->Reenlist(info, sizeof info, kRecoverReenlistMs, &stat);
    std::string why;
    if (hr == S_OK && stat == XACTSTAT_COMMITTED && run(r.conn, "COMMIT PREPARED '" + item.gid + "'", &why)) {
        r.lines->push_back(item.gid + " committed");
    } else if (hr == S_OK && stat == XACTSTAT_ABORTED && run(r.conn, "ROLLBACK PREPARED '" + item.gid + "'", &why)) {
        r.lines->push_back(item.gid + " aborted");
    } else if (hr == XACT_E_REENLISTTIMEOUT) {
        // Undecided: dtcd keeps it in doubt for this resource manager.
        r.lines->push_back(item.gid + " in-doubt (not decided yet)");
    } else if (hr == XACT_E_CONNECTION_DOWN) {
        // dtcd went away during the run (it died, or another host took
        // over): nothing was applied; the next run asks the active one.
        r.lines->push_back(item.gid + " in-doubt (lost dtcd; run it again once a coordinator is active)");
        r.blocked[item.rmBytes] = true;
    } else {
        // An outcome told but not applied, or no answer: not done.
        if (why.empty()) why = "dtcd answered " + std::to_string(hr);
        r.lines->push_back(item.gid + " in-doubt (" + why + ")");
        r.blocked[item.rmBytes] = true;
    }
}

} // namespace

bool pgRecover(const std::string& conninfo, std::vector<std::string>* lines, std::string* reason) {
    Recovery r;
    r.lines = lines;
    r.conn = connect(conninfo, reason);
    if (r.conn == nullptr) return false;
    GUID own{};
    bool ok = databaseGuid(r.conn, &own, reason);
    if (ok) {
        r.factory = transactionManager<IResourceManagerFactory>(IID_IResourceManagerFactory);
        if (r.factory == nullptr) {
            *reason = "cannot reach dtcd";
            ok = false;
        }
    }
    // The database's resource manager registers before the prepared
    // transactions are listed: what dtcd settles at ReenlistmentComplete is
    // only what was voted before that, so anything prepared later is never
    // taken as done unseen.
    std::string ownBytes(reinterpret_cast<const char*>(&own), sizeof own);
    if (ok && recoveryRm(r, ownBytes) == nullptr) {
        *reason = "cannot register with dtcd";
        ok = false;
    }
    std::vector<Found> items;
    if (ok) {
        PGresult* result = PQexec(r.conn,
                                  "SELECT gid FROM pg_prepared_xacts WHERE database = current_database()"
                                  " AND gid LIKE 'dtc\\_%' ORDER BY gid");
        if (PQresultStatus(result) != PGRES_TUPLES_OK) {
            *reason = oneLine(PQerrorMessage(r.conn));
            ok = false;
        } else {
            for (int i = 0; i < PQntuples(result); ++i) {
                Found item;
                if (parseGid(PQgetvalue(result, i, 0), &item)) items.push_back(std::move(item));
            }
        }
        PQclear(result);
    }
    if (ok) {
        // First every transaction no live session holds; then, for a bounded
        // time, those held by a session that is about to finish (or another
        // --recover), which are most often gone by then.
        std::vector<const Found*> held;
        for (const Found& item : items) {
            std::string got;
            if (scalar(r.conn, "SELECT pg_try_advisory_lock(" + lockArgs(item.gid) + ")", &got, nullptr) && got == "t")
                resolveOne(r, item);
            else
                held.push_back(&item);
        }
        auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(kRecoverLockWaitMs);
        for (const Found* item : held) {
            auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
            bool locked = left.count() > 0 &&
                          run(r.conn, "SET lock_timeout = " + std::to_string(left.count()), nullptr) &&
                          run(r.conn, "SELECT pg_advisory_lock(" + lockArgs(item->gid) + ")", nullptr);
            if (locked) {
                resolveOne(r, *item);
            } else if (preparedExists(r.conn, item->gid) != 0) {
                lines->push_back(item->gid + " in-doubt (held by a live session)");
                r.blocked[item->rmBytes] = true;
            }
        }
        run(r.conn, "RESET lock_timeout", nullptr);
        // Each resource manager that answers for everything it was told lets
        // dtcd drop what it kept for it (commit outcomes whose
        // acknowledgement was lost included).
        for (const auto& [rmBytes, rm] : r.rms)
            if (rm != nullptr && !r.blocked[rmBytes]) rm->ReenlistmentComplete();
    }
    for (const auto& entry : r.rms)
        if (entry.second != nullptr) entry.second->Release();
    if (r.factory != nullptr) r.factory->Release();
    PQfinish(r.conn); // lets go of the advisory locks
    return ok;
}
