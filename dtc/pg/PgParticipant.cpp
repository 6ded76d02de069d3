// The PostgreSQL participant (see PgParticipant.h). The session's PostgreSQL
// connection is used by the caller's thread until it enlists and by the
// library's dispatch thread after that, never by both at once: the caller
// only waits on the session's condition variable from then on.
#include "PgParticipant.h"

#include <libpq-fe.h>
#include <sys/random.h>

#include <condition_variable>
#include <cstring>
#include <map>
#include <mutex>

#include "Wire.h"
#include "contract/txdtc.h"

using namespace dtcwire;

namespace {

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
bool scalar(PGconn* conn, const char* sql, std::string* value, std::string* reason) {
    PGresult* result = PQexec(conn, sql);
    bool ok = PQresultStatus(result) == PGRES_TUPLES_OK && PQntuples(result) == 1;
    if (ok) *value = PQgetisnull(result, 0, 0) ? "" : PQgetvalue(result, 0, 0);
    if (!ok && reason != nullptr) *reason = oneLine(PQerrorMessage(conn));
    PQclear(result);
    return ok;
}

PGconn* connect(const std::string& conninfo, std::string* reason) {
    PGconn* conn = PQconnectdb(conninfo.c_str());
    if (PQstatus(conn) != CONNECTION_OK) {
        *reason = "cannot connect to PostgreSQL: " + oneLine(PQerrorMessage(conn));
        PQfinish(conn);
        return nullptr;
    }
    std::string max;
    if (!scalar(conn, "SHOW max_prepared_transactions", &max, reason) || max.empty() || max == "0") {
        *reason = "PostgreSQL has prepared transactions disabled (max_prepared_transactions = " +
                  (max.empty() ? std::string("?") : max) + "); set it above 0 and restart the server";
        PQfinish(conn);
        return nullptr;
    }
    return conn;
}

std::string guidHex(const GUID& g) {
    BYTE bytes[16];
    std::memcpy(bytes, &g, 16);
    return hexEncode(bytes, 16);
}

} // namespace

struct PgSession final : ITransactionResourceAsync {
    PGconn* conn = nullptr;
    ITransaction* tx = nullptr;
    IResourceManager* rm = nullptr;
    ITransactionEnlistmentAsync* enlistment = nullptr;
    GUID rmGuid{};
    std::string gid;          // set at enlistment
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
        if (scalar(conn, "SELECT pg_current_xact_id_if_assigned()", &writes, &why) && writes.empty()) {
            // Nothing written: commit here and take no part in phase two.
            if (run(conn, "COMMIT", &why)) vote = XACT_S_READONLY;
        } else if (run(conn, "PREPARE TRANSACTION '" + gid + "'", &why)) {
            prepared = true;
            vote = S_OK;
        }
        if (vote == E_FAIL) run(conn, "ROLLBACK", nullptr); // PREPARE that fails has rolled back already
        // The vote goes out before the caller may close the session (and the
        // connection, which dtcd would take as a participant gone).
        enlistment->PrepareRequestDone(vote, nullptr, nullptr);
        if (vote == XACT_S_READONLY) finish(kPgCommitted, {});
        if (vote == E_FAIL) finish(kPgAborted, why);
        return S_OK;
    }
    HRESULT CommitRequest(DWORD, XACTUOW*) override {
        std::string why;
        if (!run(conn, "COMMIT PREPARED '" + gid + "'", &why)) {
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
        bool ok = prepared ? run(conn, "ROLLBACK PREPARED '" + gid + "'", &why) : run(conn, "ROLLBACK", &why);
        enlistment->AbortRequestDone(S_OK);
        finish(ok || !prepared ? kPgAborted : kPgFailed, ok ? std::string() : why);
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

PgSession* pgSessionOpen(const std::string& conninfo, const std::string& cookie, std::string* reason) {
    PGconn* conn = connect(conninfo, reason);
    if (conn == nullptr) return nullptr;
    auto* session = new PgSession;
    session->conn = conn;
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
        *reason = hr == XACT_E_INVALIDCOOKIE ? "the cookie is not valid" : hr == XACT_E_NOTRANSACTION ? "no such transaction" : "import failed (" + std::to_string(hr) + ")";
        pgSessionClose(session);
        return nullptr;
    }
    auto* factory = transactionManager<IResourceManagerFactory>(IID_IResourceManagerFactory);
    ssize_t got = getrandom(&session->rmGuid, sizeof(GUID), 0);
    char name[] = "dtc-pg";
    hr = factory != nullptr && got == static_cast<ssize_t>(sizeof(GUID))
             ? factory->Create(&session->rmGuid, name, nullptr, &session->rm)
             : E_FAIL;
    if (factory != nullptr) factory->Release();
    if (hr != S_OK) {
        *reason = "cannot register with dtcd";
        pgSessionClose(session);
        return nullptr;
    }
    return session;
}

bool pgSessionExec(PgSession* session, const std::string& sql, std::string* reason) {
    if (!session->begun) {
        if (!run(session->conn, "BEGIN", reason)) return false;
        session->begun = true;
    }
    if (run(session->conn, sql, reason)) return true;
    run(session->conn, "ROLLBACK", nullptr);
    session->begun = false;
    return false;
}

bool pgSessionEnlist(PgSession* session, std::string* reason) {
    if (!session->begun && !run(session->conn, "BEGIN", reason)) return false;
    session->begun = true;
    XACTTRANSINFO info{};
    if (session->tx->GetTransactionInfo(&info) != S_OK) {
        *reason = "the transaction is gone";
        return false;
    }
    session->gid = "dtc_" + hexEncode(info.uow.rgb, 16) + "_" + guidHex(session->rmGuid);
    XACTUOW uow{};
    LONG iso = 0;
    HRESULT hr = session->rm->Enlist(session->tx, session, &uow, &iso, &session->enlistment);
    if (hr != S_OK) {
        *reason = hr == XACT_E_ABORTED ? "the transaction was rolled back"
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

bool pgRecover(const std::string& conninfo, std::vector<std::string>* lines, std::string* reason) {
    PGconn* conn = connect(conninfo, reason);
    if (conn == nullptr) return false;
    PGresult* result = PQexec(conn,
                              "SELECT gid FROM pg_prepared_xacts WHERE database = current_database()"
                              " AND gid LIKE 'dtc\\_%' ORDER BY gid");
    if (PQresultStatus(result) != PGRES_TUPLES_OK) {
        *reason = oneLine(PQerrorMessage(conn));
        PQclear(result);
        PQfinish(conn);
        return false;
    }
    // gid -> (transaction id, resource manager GUID), grouped by resource manager.
    std::map<std::string, std::vector<std::pair<std::string, std::string>>> byRm;
    for (int i = 0; i < PQntuples(result); ++i) {
        std::string gid = PQgetvalue(result, i, 0);
        std::string uow;
        std::string rmBytes;
        if (gid.size() != 4 + 32 + 1 + 32 || gid[36] != '_' || !hexDecode(gid.substr(4, 32), &uow) ||
            !hexDecode(gid.substr(37), &rmBytes))
            continue; // not one of ours
        byRm[rmBytes].emplace_back(gid, uow);
    }
    PQclear(result);
    auto* factory = transactionManager<IResourceManagerFactory>(IID_IResourceManagerFactory);
    if (factory == nullptr && !byRm.empty()) {
        *reason = "cannot reach dtcd";
        PQfinish(conn);
        return false;
    }
    for (const auto& [rmBytes, items] : byRm) {
        GUID guid{};
        std::memcpy(&guid, rmBytes.data(), 16);
        IResourceManager* rm = nullptr;
        char name[] = "dtc-pg";
        if (factory->Create(&guid, name, nullptr, &rm) != S_OK) {
            for (const auto& item : items) lines->push_back(item.first + " in-doubt");
            continue;
        }
        bool applied = true; // every outcome Reenlist told is applied
        for (const auto& [gid, uow] : items) {
            BYTE info[kPrepareInfoSize];
            std::memcpy(info, "DTCP", 4);
            std::memcpy(info + 4, uow.data(), 16);
            XACTSTAT stat = XACTSTAT_NONE;
            HRESULT hr = rm->Reenlist(info, sizeof info, 5000, &stat);
            std::string why;
            if (hr == S_OK && stat == XACTSTAT_COMMITTED && run(conn, "COMMIT PREPARED '" + gid + "'", &why))
                lines->push_back(gid + " committed");
            else if (hr == S_OK && stat == XACTSTAT_ABORTED && run(conn, "ROLLBACK PREPARED '" + gid + "'", &why))
                lines->push_back(gid + " aborted");
            else
                lines->push_back(gid + " in-doubt" + (why.empty() ? "" : " (" + why + ")"));
            if (!why.empty()) applied = false;
        }
        // dtcd keeps a committed outcome until the participant says it has it.
        if (applied) rm->ReenlistmentComplete();
        rm->Release();
    }
    if (factory != nullptr) factory->Release();
    PQfinish(conn);
    return true;
}
