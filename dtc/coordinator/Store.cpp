// SQLite side of dtcd: schema, start-up load and the group-committing writer
// thread (see Store.h). The writer is the only thread that touches the
// database after storeStart; the event loop only queues and collects.
#include "Store.h"

#include <sqlite3.h>
#include <sys/eventfd.h>
#include <sys/random.h>
#include <unistd.h>

#include <cstring>

namespace {

bool exec(sqlite3* db, const char* sql, std::string* error) {
    char* message = nullptr;
    if (sqlite3_exec(db, sql, nullptr, nullptr, &message) == SQLITE_OK) return true;
    *error = message != nullptr ? message : sqlite3_errmsg(db);
    sqlite3_free(message);
    return false;
}

bool fillRandom(uint8_t* out, size_t size) {
    size_t got = 0;
    while (got < size) {
        ssize_t n = getrandom(out + got, size - got, 0);
        if (n < 0) return false;
        got += static_cast<size_t>(n);
    }
    return true;
}

bool readInstance(sqlite3* db, uint8_t* instance, std::string* error) {
    sqlite3_stmt* get = nullptr;
    if (sqlite3_prepare_v2(db, "SELECT value FROM meta WHERE key='instance'", -1, &get, nullptr) != SQLITE_OK) {
        *error = sqlite3_errmsg(db);
        return false;
    }
    bool found = false;
    if (sqlite3_step(get) == SQLITE_ROW && sqlite3_column_bytes(get, 0) == 16) {
        std::memcpy(instance, sqlite3_column_blob(get, 0), 16);
        found = true;
    }
    sqlite3_finalize(get);
    if (found) return true;
    if (!fillRandom(instance, 16)) {
        *error = "no random bytes for the instance id";
        return false;
    }
    sqlite3_stmt* put = nullptr;
    if (sqlite3_prepare_v2(db, "INSERT OR REPLACE INTO meta(key, value) VALUES('instance', ?)", -1, &put, nullptr) !=
        SQLITE_OK) {
        *error = sqlite3_errmsg(db);
        return false;
    }
    sqlite3_bind_blob(put, 1, instance, 16, SQLITE_TRANSIENT);
    bool ok = sqlite3_step(put) == SQLITE_DONE;
    if (!ok) *error = sqlite3_errmsg(db);
    sqlite3_finalize(put);
    return ok;
}

void bindKey(sqlite3_stmt* stmt, const StoredBranch& row) {
    sqlite3_bind_text(stmt, 1, row.guid.c_str(), static_cast<int>(row.guid.size()), SQLITE_TRANSIENT);
    sqlite3_bind_blob(stmt, 2, &row.xid, sizeof(XID), SQLITE_TRANSIENT);
}

bool applyWrite(Store* store, const StoreWrite& write) {
    sqlite3_stmt* stmt = write.kind == kWritePut ? store->put : store->remove;
    sqlite3_reset(stmt);
    bindKey(stmt, write.row);
    if (write.kind == kWritePut) {
        sqlite3_bind_blob(stmt, 3, write.row.uow, 16, SQLITE_TRANSIENT);
        sqlite3_bind_blob(stmt, 4, write.row.token, 16, SQLITE_TRANSIENT);
        sqlite3_bind_int(stmt, 5, write.row.state);
        sqlite3_bind_int(stmt, 6, write.row.heuristic);
        sqlite3_bind_int64(stmt, 7, write.row.createdMs);
    }
    return sqlite3_step(stmt) == SQLITE_DONE;
}

// Commits one batch as one transaction; every write gets the batch's result.
void commitBatch(Store* store, std::vector<StoreWrite>& batch) {
    bool ok = sqlite3_exec(store->db, "BEGIN IMMEDIATE", nullptr, nullptr, nullptr) == SQLITE_OK;
    for (size_t i = 0; ok && i < batch.size(); ++i) ok = applyWrite(store, batch[i]);
    if (ok) ok = sqlite3_exec(store->db, "COMMIT", nullptr, nullptr, nullptr) == SQLITE_OK;
    if (!ok) sqlite3_exec(store->db, "ROLLBACK", nullptr, nullptr, nullptr);
    for (StoreWrite& write : batch) write.result = ok ? 0 : -1;
    if (ok) {
        store->batches.fetch_add(1, std::memory_order_relaxed);
        store->records.fetch_add(batch.size(), std::memory_order_relaxed);
    }
}

void writerLoop(Store* store) {
    std::vector<StoreWrite> batch;
    for (;;) {
        {
            std::unique_lock lock(store->mu);
            store->cv.wait(lock, [&] { return !store->queue.empty() || store->stopping; });
            if (store->queue.empty()) return; // stopping and drained
            if (store->groupCommit) {
                batch.swap(store->queue);
            } else {
                batch.push_back(std::move(store->queue.front()));
                store->queue.erase(store->queue.begin());
            }
        }
        commitBatch(store, batch);
        {
            std::lock_guard lock(store->mu);
            for (StoreWrite& write : batch) store->done.push_back(std::move(write));
        }
        batch.clear();
        uint64_t one = 1;
        ssize_t n = write(store->notifyFd, &one, sizeof one);
        (void)n; // an eventfd write only fails when the counter would overflow
    }
}

} // namespace

bool storeOpen(Store* store, const std::string& dir, uint8_t* instance, std::string* error) {
    std::string path = dir + "/dtcd.db";
    if (sqlite3_open_v2(path.c_str(), &store->db, SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE | SQLITE_OPEN_FULLMUTEX,
                        nullptr) != SQLITE_OK) {
        *error = std::string("cannot open ") + path + ": " + sqlite3_errmsg(store->db);
        sqlite3_close(store->db);
        store->db = nullptr;
        return false;
    }
    sqlite3_busy_timeout(store->db, 1000);
    // Checkpoints copy the log into the database and sync it; fewer, larger ones keep
    // them off the path of most commits.
    bool ok = exec(store->db, "PRAGMA journal_mode=WAL", error) && exec(store->db, "PRAGMA synchronous=FULL", error) &&
              exec(store->db, "PRAGMA wal_autocheckpoint=8192", error) &&
              exec(store->db,
                   "CREATE TABLE IF NOT EXISTS meta(key TEXT PRIMARY KEY, value BLOB);"
                   "CREATE TABLE IF NOT EXISTS branches(guid TEXT NOT NULL, xid BLOB NOT NULL, uow BLOB NOT NULL,"
                   " token BLOB NOT NULL, state INTEGER NOT NULL, heuristic INTEGER NOT NULL,"
                   " created INTEGER NOT NULL, PRIMARY KEY(guid, xid)) WITHOUT ROWID",
                   error) &&
              readInstance(store->db, instance, error);
    if (ok) {
        ok = sqlite3_prepare_v2(store->db,
                                "INSERT OR REPLACE INTO branches(guid, xid, uow, token, state, heuristic, created)"
                                " VALUES(?, ?, ?, ?, ?, ?, ?)",
                                -1, &store->put, nullptr) == SQLITE_OK &&
             sqlite3_prepare_v2(store->db, "DELETE FROM branches WHERE guid=? AND xid=?", -1, &store->remove,
                                nullptr) == SQLITE_OK;
        if (!ok) *error = sqlite3_errmsg(store->db);
    }
    if (ok) {
        store->notifyFd = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
        ok = store->notifyFd >= 0;
        if (!ok) *error = std::string("eventfd: ") + std::strerror(errno);
    }
    if (!ok) {
        *error = path + ": " + *error;
        sqlite3_finalize(store->put);
        sqlite3_finalize(store->remove);
        store->put = store->remove = nullptr;
        sqlite3_close(store->db);
        store->db = nullptr;
    }
    return ok;
}

bool storeLoad(Store* store, std::vector<StoredBranch>* rows, std::string* error) {
    sqlite3_stmt* get = nullptr;
    if (sqlite3_prepare_v2(store->db, "SELECT guid, xid, uow, token, state, heuristic, created FROM branches", -1,
                           &get, nullptr) != SQLITE_OK) {
        *error = sqlite3_errmsg(store->db);
        return false;
    }
    int rc;
    while ((rc = sqlite3_step(get)) == SQLITE_ROW) {
        StoredBranch row;
        const auto* guid = sqlite3_column_text(get, 0);
        row.guid = guid != nullptr ? reinterpret_cast<const char*>(guid) : "";
        // Rows are only ever written by this program; one of a foreign shape is skipped.
        if (sqlite3_column_bytes(get, 1) != sizeof(XID) || sqlite3_column_bytes(get, 2) != 16 ||
            sqlite3_column_bytes(get, 3) != 16)
            continue;
        std::memcpy(&row.xid, sqlite3_column_blob(get, 1), sizeof(XID));
        std::memcpy(row.uow, sqlite3_column_blob(get, 2), 16);
        std::memcpy(row.token, sqlite3_column_blob(get, 3), 16);
        row.state = sqlite3_column_int(get, 4);
        row.heuristic = sqlite3_column_int(get, 5);
        row.createdMs = sqlite3_column_int64(get, 6);
        rows->push_back(std::move(row));
    }
    if (rc != SQLITE_DONE) *error = sqlite3_errmsg(store->db);
    sqlite3_finalize(get);
    return rc == SQLITE_DONE;
}

bool storeStart(Store* store) {
    try {
        store->writer = std::thread(writerLoop, store);
    } catch (...) {
        return false;
    }
    return true;
}

void storeSubmit(Store* store, StoreWrite write) {
    {
        std::lock_guard lock(store->mu);
        store->queue.push_back(std::move(write));
    }
    store->cv.notify_one();
}

std::vector<StoreWrite> storeTakeDone(Store* store) {
    std::vector<StoreWrite> out;
    std::lock_guard lock(store->mu);
    out.swap(store->done);
    return out;
}

void storeClose(Store* store) {
    {
        std::lock_guard lock(store->mu);
        store->stopping = true;
    }
    store->cv.notify_one();
    if (store->writer.joinable()) store->writer.join();
    sqlite3_finalize(store->put);
    sqlite3_finalize(store->remove);
    store->put = store->remove = nullptr;
    if (store->db != nullptr) sqlite3_close(store->db);
    store->db = nullptr;
    if (store->notifyFd >= 0) close(store->notifyFd);
    store->notifyFd = -1;
}
