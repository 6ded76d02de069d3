// PostgreSQL side of dtcd's store (see StorePg.h): schema, lease, start-up load
// and the group-committing writer thread. Every batch goes to the server as one
// simple query (BEGIN, the lease check, the writes, COMMIT): one round trip
// per batch, however many writes it folds.
#include "StorePg.h"

#include <fcntl.h>
#include <libpq-fe.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/random.h>
#include <sys/signalfd.h>
#include <systemd/sd-daemon.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "Metrics.h"
#include "Wire.h"

struct PgStore {
    PGconn* conn = nullptr;
    std::string node;      // this data directory's node id (hex)
    std::string holder;    // "HOST pid N", shown by dtcctl lease
    int64_t epoch = 0;     // the lease epoch held, 0 while standby
    int64_t lastRenewMs = 0; // monotonic send time of the last successful renewal
};

namespace {

constexpr int kSchemaVersion = 1;
constexpr char kNodeFile[] = "dtcd.node";
constexpr char kLeaseLost[] = "DT001"; // SQLSTATE raised by dtcd.hold_lease

int64_t nowMs() {
    return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

std::string oneLine(const char* text) {
    std::string s = text != nullptr ? text : "";
    while (!s.empty() && (s.back() == '\n' || s.back() == ' ')) s.pop_back();
    for (char& ch : s)
        if (ch == '\n') ch = ' ';
    return s;
}

// RAII for a result.
struct Result {
    PGresult* r = nullptr;
    explicit Result(PGresult* result) : r(result) {}
    ~Result() { PQclear(r); }
    Result(const Result&) = delete;
    Result& operator=(const Result&) = delete;
    bool ok() const {
        ExecStatusType s = PQresultStatus(r);
        return s == PGRES_COMMAND_OK || s == PGRES_TUPLES_OK;
    }
};

bool run(PGconn* conn, const char* sql, std::string* error) {
    Result r(PQexec(conn, sql));
    if (r.ok()) return true;
    *error = oneLine(PQerrorMessage(conn));
    return false;
}

// The first value of the first row, or "" when there is no row.
bool value(PGconn* conn, const std::string& sql, std::string* out, std::string* error) {
    Result r(PQexec(conn, sql.c_str()));
    if (!r.ok()) {
        *error = oneLine(PQerrorMessage(conn));
        return false;
    }
    *out = PQntuples(r.r) > 0 ? PQgetvalue(r.r, 0, 0) : "";
    return true;
}

// The objects of schema version 1.
const char kSchemaV1[] =
    "CREATE TABLE dtcd.branches(guid text NOT NULL, xid bytea NOT NULL, uow bytea NOT NULL, token bytea NOT NULL,"
    " state integer NOT NULL, heuristic integer NOT NULL, created bigint NOT NULL,"
    " participants bytea NOT NULL DEFAULT '', PRIMARY KEY(guid, xid));"
    "CREATE TABLE dtcd.lease(id integer PRIMARY KEY CHECK (id = 1), epoch bigint NOT NULL, holder text NOT NULL,"
    " node text NOT NULL, since timestamptz NOT NULL, lease_until timestamptz NOT NULL);"
    "INSERT INTO dtcd.lease VALUES(1, 0, '', '', now(), '-infinity');"
    "CREATE FUNCTION dtcd.hold_lease(mine bigint, lease_ms bigint) RETURNS void LANGUAGE plpgsql AS $$"
    " BEGIN"
    "  UPDATE dtcd.lease SET lease_until = now() + lease_ms * interval '1 millisecond'"
    "   WHERE id = 1 AND epoch = mine AND lease_until > clock_timestamp();"
    "  IF NOT FOUND THEN"
    "   RAISE EXCEPTION 'the coordinator lease of epoch % is no longer held', mine USING ERRCODE = 'DT001';"
    "  END IF;"
    " END $$;";

// The upgrade steps, from version 0 (no schema) on; kSchemaVersion is their count.
const char* const kSchemaSteps[] = {kSchemaV1};
static_assert(sizeof kSchemaSteps / sizeof kSchemaSteps[0] == kSchemaVersion);

// Creates or upgrades the schema under a transaction-level advisory lock, so
// that coordinators starting together do not race; reads or makes the instance.
bool prepareSchema(PGconn* conn, bool create, uint8_t* instance, std::string* error) {
    if (!run(conn, "BEGIN; SELECT pg_advisory_xact_lock(4470068)", error)) return false;
    std::string present;
    bool ok = value(conn, "SELECT count(*) FROM pg_namespace WHERE nspname = 'dtcd'", &present, error) &&
              (present != "0" || run(conn, "CREATE SCHEMA dtcd", error)) &&
              run(conn, "CREATE TABLE IF NOT EXISTS dtcd.meta(key text PRIMARY KEY, value text NOT NULL)", error);
    std::string version;
    ok = ok && value(conn, "SELECT value FROM dtcd.meta WHERE key = 'schema_version'", &version, error);
    int from = version.empty() ? 0 : std::atoi(version.c_str());
    if (ok && (from < 0 || from > kSchemaVersion || (!version.empty() && std::to_string(from) != version))) {
        *error = "its schema version " + version + " is not one this dtcd knows (up to " +
                 std::to_string(kSchemaVersion) + ")";
        ok = false;
    }
    // Each step takes the schema from version i to i + 1, in the same transaction.
    for (int step = from; ok && step < kSchemaVersion; ++step) ok = run(conn, kSchemaSteps[step], error);
    if (ok && from < kSchemaVersion)
        ok = run(conn,
                 ("INSERT INTO dtcd.meta VALUES('schema_version', '" + std::to_string(kSchemaVersion) +
                  "') ON CONFLICT (key) DO UPDATE SET value = EXCLUDED.value")
                     .c_str(),
                 error);
    std::string hex;
    ok = ok && value(conn, "SELECT value FROM dtcd.meta WHERE key = 'instance'", &hex, error);
    std::string bytes;
    if (ok && !hex.empty()) {
        ok = dtcwire::hexDecode(hex, &bytes) && bytes.size() == 16;
        if (!ok) *error = "its instance id is damaged";
        if (ok) std::memcpy(instance, bytes.data(), 16);
    } else if (ok && !create) {
        *error = "it holds no dtcd store, but the data directory's dtcd.id records one";
        ok = false;
    } else if (ok) {
        ok = getrandom(instance, 16, 0) == 16;
        if (!ok) *error = "no random bytes for the instance id";
        ok = ok && run(conn,
                       ("INSERT INTO dtcd.meta VALUES('instance', '" + dtcwire::hexEncode(instance, 16) + "')").c_str(),
                       error);
    }
    if (!ok) {
        std::string ignored;
        run(conn, "ROLLBACK", &ignored);
        return false;
    }
    return run(conn, "COMMIT", error);
}

// DIR/dtcd.node: 32 hex digits, made once per data directory.
bool nodeId(const std::string& dir, std::string* node, std::string* error) {
    std::string path = dir + "/" + kNodeFile;
    int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd >= 0) {
        char buffer[64];
        ssize_t n = read(fd, buffer, sizeof buffer);
        close(fd);
        std::string bytes;
        if (n >= 32 && dtcwire::hexDecode(std::string_view(buffer, 32), &bytes) && bytes.size() == 16) {
            node->assign(buffer, 32);
            return true;
        }
        *error = path + " is damaged; remove it (a new node id is made)";
        return false;
    }
    uint8_t raw[16];
    if (getrandom(raw, sizeof raw, 0) != sizeof raw) {
        *error = "no random bytes for the node id";
        return false;
    }
    *node = dtcwire::hexEncode(raw, sizeof raw);
    std::string text = *node + "\n";
    fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
    bool ok = fd >= 0 && write(fd, text.data(), text.size()) == static_cast<ssize_t>(text.size()) && fsync(fd) == 0;
    if (fd >= 0) close(fd);
    if (!ok) *error = "cannot write " + path + ": " + std::strerror(errno);
    return ok;
}

// One attempt at the lease: true and *taken when this dtcd now holds it.
bool tryLease(Store* store, bool* taken, std::string* current, std::string* error) {
    PgStore* pg = store->pg;
    std::string lease = std::to_string(store->leaseMs);
    const char* params[] = {pg->holder.c_str(), pg->node.c_str(), lease.c_str()};
    int64_t sent = nowMs();
    Result r(PQexecParams(pg->conn,
                          "UPDATE dtcd.lease SET epoch = epoch + 1, holder = $1, node = $2, since = now(),"
                          " lease_until = now() + $3::bigint * interval '1 millisecond'"
                          " WHERE id = 1 AND (lease_until < clock_timestamp() OR node = $2) RETURNING epoch",
                          3, nullptr, params, nullptr, nullptr, 0));
    if (!r.ok()) {
        *error = oneLine(PQerrorMessage(pg->conn));
        return false;
    }
    *taken = PQntuples(r.r) == 1;
    if (*taken) {
        pg->epoch = std::strtoll(PQgetvalue(r.r, 0, 0), nullptr, 10);
        pg->lastRenewMs = sent;
        store->servingUntilMs.store(sent + store->leaseMs - store->leaseMs / 5, std::memory_order_relaxed);
        return true;
    }
    return value(pg->conn,
                 "SELECT holder || ' (epoch ' || epoch || ')' FROM dtcd.lease WHERE id = 1", current, error);
}

bool signalled(int signalFd, int timeoutMs) {
    pollfd p{signalFd, POLLIN, 0};
    if (poll(&p, 1, timeoutMs) <= 0) return false;
    signalfd_siginfo info;
    return read(signalFd, &info, sizeof info) == static_cast<ssize_t>(sizeof info);
}

// Ends the process after a write or a renewal whose outcome is unknown (the
// connection was lost) or that found the lease taken: nothing more may be
// answered from this process's memory. systemd restarts it; it comes back as
// a standby or, once the lease is free, loads what the store holds.
[[noreturn]] void stopWriter(const std::string& what) {
    std::fprintf(stderr, "dtcd: %s: stopping without answering; the next start recovers from the store\n",
                 what.c_str());
    std::fflush(stderr);
    _exit(1);
}

std::string quoted(PGconn* conn, const std::string& text) {
    std::string out(text.size() * 2 + 1, '\0');
    int bad = 0;
    size_t n = PQescapeStringConn(conn, out.data(), text.data(), text.size(), &bad);
    out.resize(n);
    return "'" + out + "'";
}

std::string bytea(const void* data, size_t size) {
    return "decode('" + dtcwire::hexEncode(data, size) + "','hex')";
}

void appendWrite(PGconn* conn, const StoreWrite& w, std::string* sql) {
    std::string guid = quoted(conn, w.row.guid);
    std::string xid = bytea(&w.row.xid, sizeof(XID));
    if (w.kind == kWritePut) {
        *sql += "INSERT INTO dtcd.branches(guid, xid, uow, token, state, heuristic, created, participants) VALUES(" +
                guid + "," + xid + "," + bytea(w.row.uow, 16) + "," + bytea(w.row.token, 16) + "," +
                std::to_string(w.row.state) + "," + std::to_string(w.row.heuristic) + "," +
                std::to_string(w.row.createdMs) + "," + bytea(w.row.participants.data(), w.row.participants.size()) +
                ") ON CONFLICT (guid, xid) DO UPDATE SET uow = EXCLUDED.uow, token = EXCLUDED.token,"
                " state = EXCLUDED.state, heuristic = EXCLUDED.heuristic, created = EXCLUDED.created,"
                " participants = EXCLUDED.participants;";
    } else {
        *sql += "DELETE FROM dtcd.branches WHERE guid = " + guid + " AND xid = " + xid + ";";
    }
}

// Sends `sql` (one or more statements) and reads every result. True when all
// succeeded. A lost connection (the outcome unknown) or a lease found taken
// ends the process; any other failure answers false with *error (the server
// rolled the statement back, and the caller ends the transaction).
bool send(Store* store, const std::string& sql, const char* what, std::string* error) {
    PGconn* conn = store->pg->conn;
    bool ok = PQsendQuery(conn, sql.c_str()) == 1;
    std::string state;
    if (!ok) *error = oneLine(PQerrorMessage(conn));
    while (PGresult* r = PQgetResult(conn)) {
        ExecStatusType s = PQresultStatus(r);
        if (ok && s != PGRES_COMMAND_OK && s != PGRES_TUPLES_OK) {
            ok = false;
            const char* code = PQresultErrorField(r, PG_DIAG_SQLSTATE);
            state = code != nullptr ? code : "";
            *error = oneLine(PQresultErrorMessage(r));
        }
        PQclear(r);
    }
    if (ok) return true;
    if (state == kLeaseLost)
        stopWriter("this coordinator lost the lease of epoch " + std::to_string(store->pg->epoch) + " (" + *error +
                   "); another coordinator is active");
    // No SQLSTATE, a connection exception (08) or an operator intervention
    // such as a server shutdown (57): whether the server committed is unknown.
    if (PQstatus(conn) != CONNECTION_OK || state.empty() || state.rfind("08", 0) == 0 || state.rfind("57", 0) == 0)
        stopWriter(std::string(what) + " failed (connection to the PostgreSQL store lost: " + *error + ")");
    return false;
}

void renew(Store* store) {
    int64_t sent = nowMs();
    std::string error;
    std::string sql = "SELECT dtcd.hold_lease(" + std::to_string(store->pg->epoch) + "," +
                      std::to_string(store->leaseMs) + ")";
    if (!send(store, sql, "a renewal of the coordinator lease", &error))
        stopWriter("a renewal of the coordinator lease failed (" + error + ")");
    store->pg->lastRenewMs = sent;
    store->servingUntilMs.store(sent + store->leaseMs - store->leaseMs / 5, std::memory_order_relaxed);
}

// Commits one batch as one transaction that also renews the lease.
void commitBatch(Store* store, std::vector<StoreWrite>& batch) {
    auto began = std::chrono::steady_clock::now();
    int64_t sent = nowMs();
    PGconn* conn = store->pg->conn;
    std::string sql = "BEGIN;SELECT dtcd.hold_lease(" + std::to_string(store->pg->epoch) + "," +
                      std::to_string(store->leaseMs) + ");";
    for (const StoreWrite& w : batch) appendWrite(conn, w, &sql);
    sql += "COMMIT";
    std::string error;
    bool ok = send(store, sql, "a durable write", &error);
    if (!ok) {
        std::string ignored;
        (void)send(store, "ROLLBACK", "a rollback", &ignored);
        std::fprintf(stderr, "dtcd: a write batch failed and was rolled back: %s\n", error.c_str());
    }
    for (StoreWrite& w : batch) w.result = ok ? 0 : -1;
    if (!ok) return;
    store->pg->lastRenewMs = sent;
    store->servingUntilMs.store(sent + store->leaseMs - store->leaseMs / 5, std::memory_order_relaxed);
    store->batches.fetch_add(1, std::memory_order_relaxed);
    store->records.fetch_add(batch.size(), std::memory_order_relaxed);
    metricsObserveGroupCommit(std::chrono::duration<double>(std::chrono::steady_clock::now() - began).count(),
                              batch.size());
}

void writerLoop(Store* store) {
    std::vector<StoreWrite> batch;
    for (;;) {
        {
            platform::MutexLock lock(store->mu);
            auto due = std::chrono::steady_clock::time_point(
                std::chrono::milliseconds(store->pg->lastRenewMs + store->renewMs));
            while (store->queue.empty() && !store->stopping)
                if (!platform::condWaitUntil(store->cv, store->mu, due)) break;
            if (store->queue.empty() && store->stopping) return;
            if (store->groupCommit) {
                batch.swap(store->queue);
            } else if (!store->queue.empty()) {
                batch.push_back(std::move(store->queue.front()));
                store->queue.erase(store->queue.begin());
            }
        }
        if (batch.empty()) {
            renew(store);
            continue;
        }
        commitBatch(store, batch);
        storeBatchDone(store, &batch);
    }
}

std::string hostName() {
    char name[256] = {};
    if (gethostname(name, sizeof name - 1) != 0) return "?";
    return name;
}

} // namespace

bool pgStoreOpen(Store* store, const std::string& dir, bool create, uint8_t* instance, std::string* error) {
    auto* pg = new PgStore;
    store->pg = pg;
    pg->holder = hostName() + " pid " + std::to_string(getpid());
    if (!nodeId(dir, &pg->node, error)) {
        pgStoreClose(store);
        return false;
    }
    pg->conn = PQconnectdb(store->url.c_str());
    if (PQstatus(pg->conn) != CONNECTION_OK) {
        *error = "cannot connect to the PostgreSQL store: " + oneLine(PQerrorMessage(pg->conn));
        pgStoreClose(store);
        return false;
    }
    std::string reason;
    if (!run(pg->conn, "SET application_name = 'dtcd'; SET client_min_messages = warning", &reason) || !prepareSchema(pg->conn, create, instance, &reason)) {
        *error = "the PostgreSQL store cannot be used: " + reason;
        pgStoreClose(store);
        return false;
    }
    store->notifyFd = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    if (store->notifyFd < 0) {
        *error = std::string("eventfd: ") + std::strerror(errno);
        pgStoreClose(store);
        return false;
    }
    return true;
}

int pgStoreAwaitActive(Store* store, int signalFd, std::string* error) {
    // A standby keeps trying through an unreachable store (PostgreSQL may be
    // failing over itself): it never gives up with an error.
    (void)error;
    PgStore* pg = store->pg;
    bool reported = false;
    std::string last;
    for (;;) {
        bool taken = false;
        std::string current;
        std::string reason;
        if (PQstatus(pg->conn) != CONNECTION_OK) PQreset(pg->conn);
        if (PQstatus(pg->conn) == CONNECTION_OK && tryLease(store, &taken, &current, &reason)) {
            if (taken) {
                std::fprintf(stderr, "dtcd: active: holds the coordinator lease of epoch %lld\n",
                             static_cast<long long>(pg->epoch));
                return 1;
            }
            if (!reported) {
                // A standby is up but serves nothing: it does not listen.
                sd_notify(0, "READY=1\nSTATUS=standby: another coordinator holds the lease");
                reported = true;
            }
            if (current != last) std::fprintf(stderr, "dtcd: standby: the lease is held by %s\n", current.c_str());
            last = current;
        } else {
            if (reason.empty()) reason = oneLine(PQerrorMessage(pg->conn));
            if (reason != last) std::fprintf(stderr, "dtcd: standby: the PostgreSQL store is unreachable: %s\n",
                                             reason.c_str());
            last = reason;
        }
        if (signalled(signalFd, static_cast<int>(store->pollMs))) return 0;
    }
}

bool pgStoreLoad(Store* store, std::vector<StoredBranch>* rows, std::string* error) {
    Result r(PQexec(store->pg->conn,
                    "SELECT guid, encode(xid, 'hex'), encode(uow, 'hex'), encode(token, 'hex'), state, heuristic,"
                    " created, encode(participants, 'hex') FROM dtcd.branches"));
    if (!r.ok()) {
        *error = oneLine(PQerrorMessage(store->pg->conn));
        return false;
    }
    for (int i = 0; i < PQntuples(r.r); ++i) {
        StoredBranch row;
        row.guid = PQgetvalue(r.r, i, 0);
        std::string xid;
        std::string uow;
        std::string token;
        // Rows are only ever written by this program; one of a foreign shape is skipped.
        if (!dtcwire::hexDecode(PQgetvalue(r.r, i, 1), &xid) || xid.size() != sizeof(XID) ||
            !dtcwire::hexDecode(PQgetvalue(r.r, i, 2), &uow) || uow.size() != 16 ||
            !dtcwire::hexDecode(PQgetvalue(r.r, i, 3), &token) || token.size() != 16 ||
            !dtcwire::hexDecode(PQgetvalue(r.r, i, 7), &row.participants))
            continue;
        std::memcpy(&row.xid, xid.data(), sizeof(XID));
        std::memcpy(row.uow, uow.data(), 16);
        std::memcpy(row.token, token.data(), 16);
        row.state = static_cast<int32_t>(std::strtol(PQgetvalue(r.r, i, 4), nullptr, 10));
        row.heuristic = static_cast<int32_t>(std::strtol(PQgetvalue(r.r, i, 5), nullptr, 10));
        row.createdMs = std::strtoll(PQgetvalue(r.r, i, 6), nullptr, 10);
        rows->push_back(std::move(row));
    }
    return true;
}

bool pgStoreStart(Store* store) {
    try {
        store->writer = std::thread(writerLoop, store);
    } catch (...) {
        return false;
    }
    return true;
}

void pgStoreClose(Store* store) {
    PgStore* pg = store->pg;
    if (pg == nullptr) return;
    if (pg->conn != nullptr && pg->epoch != 0 && PQstatus(pg->conn) == CONNECTION_OK) {
        // Handing over at once rather than after the lease runs out.
        std::string ignored;
        run(pg->conn,
            ("UPDATE dtcd.lease SET lease_until = '-infinity' WHERE id = 1 AND epoch = " + std::to_string(pg->epoch))
                .c_str(),
            &ignored);
    }
    if (pg->conn != nullptr) PQfinish(pg->conn);
    delete pg;
    store->pg = nullptr;
}
