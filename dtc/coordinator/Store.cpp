// SQLite side of dtcd: schema, start-up load and the group-committing writer
// thread (see Store.h). The writer is the only thread that touches the
// database after storeStart; the event loop only queues and collects.
#include "Store.h"

#include <fcntl.h>
#include <sqlite3.h>
#include <sys/eventfd.h>
#include <sys/random.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <ctime>

#include "Metrics.h"
#include "Wire.h"
#ifdef MORVALEN_PG_STORE
#include "StorePg.h"
#endif

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

// Reads the instance id from the meta table. When there is none, `create`
// makes one and stores it; otherwise the store is taken as damaged.
bool readInstance(sqlite3* db, uint8_t* instance, bool create, std::string* error) {
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
    if (!create) {
        *error = "its instance id is missing";
        return false;
    }
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
        sqlite3_bind_blob(stmt, 8, write.row.participants.data(), static_cast<int>(write.row.participants.size()),
                          SQLITE_TRANSIENT);
    }
    return sqlite3_step(stmt) == SQLITE_DONE;
}

// Runs a prepared statement without a result row (BEGIN, COMMIT, ROLLBACK).
bool runStatement(sqlite3_stmt* stmt) {
    sqlite3_reset(stmt);
    return sqlite3_step(stmt) == SQLITE_DONE;
}

// True when SQLite's last failure on the store was an I/O error of a write or
// a flush (SQLITE_IOERR and its extended codes), rather than a full disk,
// which SQLite finds before it writes the transaction's frames and which
// leaves the store as it was.
bool failedOnIo(Store* store) {
    return (sqlite3_extended_errcode(store->db) & 0xFF) == SQLITE_IOERR;
}

// Ends the process after a write or flush of the store failed with an I/O
// error. Whether the failed transaction's frames reached the disk is unknown,
// and after a failed flush the kernel may have dropped pages that a later,
// successful flush would seem to cover: nothing this process writes from now
// on could be acknowledged as durable. It answers nothing more (its clients
// see the connection lost, XAER_RMFAIL, and recover), and the next start
// recovers from what is on disk. The exit code makes systemd restart it.
[[noreturn]] void stopAfterFailedWrite(Store* store, const char* what) {
    int code = sqlite3_extended_errcode(store->db);
    int error = sqlite3_system_errno(store->db);
    std::fprintf(stderr,
                 "dtcd: %s failed (SQLite %d: %s; %s): stopping without answering; the next start recovers from the "
                 "store\n",
                 what, code, sqlite3_errmsg(store->db), std::strerror(error));
    std::fflush(stderr);
    _exit(1);
}

// Commits one batch as one transaction; every write gets the batch's result.
// A full disk fails the batch (each write answers -1, and nothing changed on
// disk); an I/O error ends the process (stopAfterFailedWrite).
void commitBatch(Store* store, std::vector<StoreWrite>& batch) {
    auto began = std::chrono::steady_clock::now();
    bool ok = runStatement(store->begin);
    for (size_t i = 0; ok && i < batch.size(); ++i) ok = applyWrite(store, batch[i]);
    if (ok) ok = runStatement(store->commit);
    if (!ok && failedOnIo(store)) stopAfterFailedWrite(store, "a durable write (the flush of the log)");
    if (!ok) (void)runStatement(store->rollback);
    for (StoreWrite& write : batch) write.result = ok ? 0 : -1;
    if (ok) {
        store->batches.fetch_add(1, std::memory_order_relaxed);
        store->records.fetch_add(batch.size(), std::memory_order_relaxed);
        metricsObserveGroupCommit(std::chrono::duration<double>(std::chrono::steady_clock::now() - began).count(),
                                  batch.size());
    }
}

// Called by SQLite on the writer thread after each commit with the log's size in pages.
int walHook(void* context, sqlite3*, const char*, int pages) {
    static_cast<Store*>(context)->walPages = pages;
    return SQLITE_OK;
}

// Copies the log into the database once it has grown past kCheckpointPages.
// Runs between batches, after their answers have gone out, so no caller waits
// for it; the writes queued meanwhile go into the next (larger) batch. With no
// reader the checkpoint takes every frame, the next commit starts the log from
// its beginning again, and journal_size_limit trims the file to kWalKeepBytes.
void checkpointIfDue(Store* store) {
    if (store->walPages < kCheckpointPages) return;
    int logPages = 0;
    int copied = 0;
    if (sqlite3_wal_checkpoint_v2(store->db, nullptr, SQLITE_CHECKPOINT_PASSIVE, &logPages, &copied) == SQLITE_OK) {
        store->walPages = 0;
        store->checkpoints.fetch_add(1, std::memory_order_relaxed);
        return;
    }
    // A checkpoint whose write or flush of the database failed may have lost
    // pages that the log would later be trusted to have copied: stop as for a
    // failed commit. A full disk leaves the log as it is; the checkpoint is
    // tried again after the next batch.
    if (failedOnIo(store)) stopAfterFailedWrite(store, "a checkpoint (the flush of the database)");
}

// The writer thread: commits the batches the loop hands over, and the log
// checkpoints, each while holding the busy flag (the loop may commit between
// them).
void writerLoop(Store* store) {
    std::vector<StoreWrite> batch;
    for (;;) {
        {
            platform::MutexLock lock(store->mu);
            while (((store->queue.empty() && !store->checkpointWanted) || store->busy) && !store->stopping)
                platform::condWait(store->cv, store->mu);
            if (store->queue.empty() && !store->checkpointWanted) return; // stopping and drained
            if (store->groupCommit) {
                batch.swap(store->queue);
            } else if (!store->queue.empty()) {
                batch.push_back(std::move(store->queue.front()));
                store->queue.erase(store->queue.begin());
            }
            store->checkpointWanted = false;
            store->busy = true;
        }
        if (!batch.empty()) {
            commitBatch(store, batch);
            storeBatchDone(store, &batch);
        }
        checkpointIfDue(store);
        platform::MutexLock lock(store->mu);
        store->busy = false;
    }
}

} // namespace

namespace {

bool fileSize(const std::string& path, off_t* size) {
    struct stat st {};
    if (stat(path.c_str(), &st) != 0) return false;
    *size = st.st_size;
    return true;
}

// The identity file: "dtcd-store 1 " + instance id in hex + newline.
constexpr char kIdMagic[] = "dtcd-store 1 ";

// 1: read, 0: absent, -1: present but unreadable or malformed.
int readIdentity(const std::string& path, uint8_t* instance) {
    int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) return errno == ENOENT ? 0 : -1;
    char buffer[128];
    ssize_t n = read(fd, buffer, sizeof buffer);
    close(fd);
    std::string_view text(buffer, n > 0 ? static_cast<size_t>(n) : 0);
    size_t magic = sizeof kIdMagic - 1;
    if (text.size() != magic + 33 || text.substr(0, magic) != kIdMagic || text.back() != '\n') return -1;
    std::string bytes;
    if (!dtcwire::hexDecode(text.substr(magic, 32), &bytes) || bytes.size() != 16) return -1;
    std::memcpy(instance, bytes.data(), 16);
    return 1;
}

// Writes the identity file durably: a temporary file, synced, renamed over,
// and the directory synced.
bool writeIdentity(const std::string& dir, const uint8_t* instance, std::string* error) {
    std::string path = dir + "/" + kIdentityFile;
    std::string temporary = path + ".tmp";
    std::string text = std::string(kIdMagic) + dtcwire::hexEncode(instance, 16) + "\n";
    int fd = open(temporary.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
    bool ok = fd >= 0 && write(fd, text.data(), text.size()) == static_cast<ssize_t>(text.size()) && fsync(fd) == 0;
    if (fd >= 0) close(fd);
    ok = ok && rename(temporary.c_str(), path.c_str()) == 0;
    if (ok) {
        int dirFd = open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
        ok = dirFd >= 0 && fsync(dirFd) == 0;
        if (dirFd >= 0) close(dirFd);
    }
    if (!ok) {
        *error = "cannot write " + path + ": " + std::strerror(errno);
        unlink(temporary.c_str());
    }
    return ok;
}

// Moves dtcd.db and its log files out of the way (never deletes them).
bool setAside(const std::string& dir, std::string* error) {
    std::string suffix = ".set-aside-" + std::to_string(time(nullptr));
    for (const char* name : {"dtcd.db", "dtcd.db-wal", "dtcd.db-shm"}) {
        std::string path = dir + "/" + name;
        if (access(path.c_str(), F_OK) != 0) continue;
        if (rename(path.c_str(), (path + suffix).c_str()) != 0) {
            *error = "cannot set " + path + " aside: " + std::strerror(errno);
            return false;
        }
    }
    std::string id = dir + "/" + kIdentityFile;
    if (unlink(id.c_str()) != 0 && errno != ENOENT) {
        *error = "cannot remove " + id + ": " + std::strerror(errno);
        return false;
    }
    return true;
}

void closeDb(Store* store) {
    sqlite3_finalize(store->put);
    sqlite3_finalize(store->remove);
    sqlite3_finalize(store->begin);
    sqlite3_finalize(store->commit);
    sqlite3_finalize(store->rollback);
    store->put = store->remove = store->begin = store->commit = store->rollback = nullptr;
    sqlite3_close(store->db);
    store->db = nullptr;
}

// Stores made before participants existed lack the column; it is added empty.
bool addParticipantsColumn(sqlite3* db, std::string* error) {
    sqlite3_stmt* probe = nullptr;
    bool present = sqlite3_prepare_v2(db, "SELECT participants FROM branches LIMIT 0", -1, &probe, nullptr) == SQLITE_OK;
    sqlite3_finalize(probe);
    return present || exec(db, "ALTER TABLE branches ADD COLUMN participants BLOB NOT NULL DEFAULT x''", error);
}


// True when SQLite finds the database whole (every page reachable and well formed).
bool wholeDatabase(sqlite3* db, std::string* error) {
    sqlite3_stmt* check = nullptr;
    if (sqlite3_prepare_v2(db, "PRAGMA quick_check(1)", -1, &check, nullptr) != SQLITE_OK) {
        *error = sqlite3_errmsg(db);
        return false;
    }
    int rc = sqlite3_step(check);
    bool ok = false;
    if (rc == SQLITE_ROW) {
        const auto* text = sqlite3_column_text(check, 0);
        std::string answer = text != nullptr ? reinterpret_cast<const char*>(text) : "";
        ok = answer == "ok";
        for (char& ch : answer)
            if (ch == '\n') ch = ' '; // one line
        if (!ok) *error = answer;
    } else {
        *error = sqlite3_errmsg(db);
    }
    sqlite3_finalize(check);
    return ok;
}

// The PostgreSQL store: the instance id is the store's; DIR/dtcd.id records it
// the first time and refuses a store of another instance from then on.
bool openPg(Store* store, const std::string& dir, bool newStore, uint8_t* instance, std::string* error) {
#ifdef MORVALEN_PG_STORE
    std::string idPath = dir + "/" + kIdentityFile;
    if (newStore) {
        *error = "--new-store applies to the SQLite store only; with --store, drop the schema dtcd by hand";
        return false;
    }
    uint8_t recorded[16]{};
    int identity = readIdentity(idPath, recorded);
    if (identity < 0) {
        *error = idPath + " is damaged; restore it, or remove it to take the PostgreSQL store's instance";
        return false;
    }
    if (!pgStoreOpen(store, dir, identity == 0, instance, error)) return false;
    bool ok = true;
    if (identity > 0 && std::memcmp(recorded, instance, 16) != 0) {
        *error = "the PostgreSQL store belongs to another store than " + idPath + " records";
        ok = false;
    }
    if (ok && identity == 0) ok = writeIdentity(dir, instance, error);
    if (!ok) {
        pgStoreClose(store);
        if (store->notifyFd >= 0) close(store->notifyFd);
        store->notifyFd = -1;
    }
    return ok;
#else
    (void)store, (void)dir, (void)newStore, (void)instance;
    *error = "--store: this dtcd was built without PostgreSQL (libpq)";
    return false;
#endif
}

} // namespace

bool storeOpen(Store* store, const std::string& dir, bool newStore, uint8_t* instance, std::string* error) {
    if (!store->url.empty()) return openPg(store, dir, newStore, instance, error);
    std::string path = dir + "/dtcd.db";
    std::string idPath = dir + "/" + kIdentityFile;
    if (newStore && !setAside(dir, error)) return false;
    uint8_t recorded[16]{};
    int identity = readIdentity(idPath, recorded);
    if (identity < 0) {
        *error = idPath + " is damaged; restore it, or start with --new-store to begin afresh";
        return false;
    }
    off_t size = 0;
    bool exists = fileSize(path, &size) && size > 0;
    if (identity > 0 && !exists) {
        // The store was made here once: an empty or missing file is a loss,
        // not a new start (prepared branches and decisions would vanish).
        *error = path + " is missing or empty but " + idPath + " shows a store was made here; restore it, or start " +
                 "with --new-store to begin afresh";
        return false;
    }
    int flags = SQLITE_OPEN_READWRITE | SQLITE_OPEN_FULLMUTEX | (exists ? 0 : SQLITE_OPEN_CREATE);
    if (sqlite3_open_v2(path.c_str(), &store->db, flags, nullptr) != SQLITE_OK) {
        *error = std::string("cannot open ") + path + ": " + sqlite3_errmsg(store->db);
        closeDb(store);
        return false;
    }
    sqlite3_busy_timeout(store->db, 1000);
    // The writer checkpoints by itself between batches (checkpointIfDue).
    // dtcd alone opens its store, so it takes the file's lock once, at the
    // first access, and keeps it: no lock and unlock system calls around each
    // batch, and the log's index lives in memory instead of a shared file.
    bool ok = exec(store->db, "PRAGMA locking_mode=EXCLUSIVE", error) &&
              exec(store->db, "PRAGMA journal_mode=WAL", error) && exec(store->db, "PRAGMA synchronous=FULL", error) &&
              exec(store->db, "PRAGMA wal_autocheckpoint=0", error) &&
              exec(store->db, ("PRAGMA journal_size_limit=" + std::to_string(kWalKeepBytes)).c_str(), error) &&
              (!exists || wholeDatabase(store->db, error)) &&
              exec(store->db,
                   "CREATE TABLE IF NOT EXISTS meta(key TEXT PRIMARY KEY, value BLOB);"
                   "CREATE TABLE IF NOT EXISTS branches(guid TEXT NOT NULL, xid BLOB NOT NULL, uow BLOB NOT NULL,"
                   " token BLOB NOT NULL, state INTEGER NOT NULL, heuristic INTEGER NOT NULL,"
                   " created INTEGER NOT NULL, PRIMARY KEY(guid, xid)) WITHOUT ROWID",
                   error) &&
              addParticipantsColumn(store->db, error) && readInstance(store->db, instance, identity == 0, error);
    if (ok && identity > 0 && std::memcmp(recorded, instance, 16) != 0) {
        *error = "belongs to another store than " + idPath + " records";
        ok = false;
    }
    if (!ok) {
        bool damaged = exists && identity >= 0;
        *error = path + (damaged ? " is unreadable or damaged (" + *error +
                                       "); restore it, or start with --new-store to begin afresh"
                                 : ": " + *error);
        closeDb(store);
        return false;
    }
    if (identity == 0 && !writeIdentity(dir, instance, error)) {
        closeDb(store);
        return false;
    }
    ok = sqlite3_prepare_v2(store->db,
                            "INSERT OR REPLACE INTO branches(guid, xid, uow, token, state, heuristic, created,"
                            " participants) VALUES(?, ?, ?, ?, ?, ?, ?, ?)",
                            -1, &store->put, nullptr) == SQLITE_OK &&
         sqlite3_prepare_v2(store->db, "DELETE FROM branches WHERE guid=? AND xid=?", -1, &store->remove, nullptr) ==
             SQLITE_OK &&
         sqlite3_prepare_v2(store->db, "BEGIN IMMEDIATE", -1, &store->begin, nullptr) == SQLITE_OK &&
         sqlite3_prepare_v2(store->db, "COMMIT", -1, &store->commit, nullptr) == SQLITE_OK &&
         sqlite3_prepare_v2(store->db, "ROLLBACK", -1, &store->rollback, nullptr) == SQLITE_OK;
    if (!ok) *error = path + ": " + sqlite3_errmsg(store->db);
    if (ok) {
        store->notifyFd = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
        ok = store->notifyFd >= 0;
        if (!ok) *error = std::string("eventfd: ") + std::strerror(errno);
    }
    if (!ok) {
        closeDb(store);
        return false;
    }
    sqlite3_wal_hook(store->db, walHook, store);
    return true;
}

int storeAwaitActive(Store* store, int signalFd, std::string* error) {
#ifdef MORVALEN_PG_STORE
    if (store->pg != nullptr) return pgStoreAwaitActive(store, signalFd, error);
#endif
    (void)store, (void)signalFd, (void)error;
    return 1;
}

bool storeMayServe(const Store* store, int64_t monotonicNowMs) {
    return monotonicNowMs < store->servingUntilMs.load(std::memory_order_relaxed);
}

bool storeLoad(Store* store, std::vector<StoredBranch>* rows, std::string* error) {
#ifdef MORVALEN_PG_STORE
    if (store->pg != nullptr) return pgStoreLoad(store, rows, error);
#endif
    sqlite3_stmt* get = nullptr;
    if (sqlite3_prepare_v2(store->db, "SELECT guid, xid, uow, token, state, heuristic, created, participants FROM branches", -1,
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
        const void* participants = sqlite3_column_blob(get, 7);
        if (participants != nullptr)
            row.participants.assign(static_cast<const char*>(participants),
                                    static_cast<size_t>(sqlite3_column_bytes(get, 7)));
        rows->push_back(std::move(row));
    }
    if (rc != SQLITE_DONE) *error = sqlite3_errmsg(store->db);
    sqlite3_finalize(get);
    return rc == SQLITE_DONE;
}

bool storeStart(Store* store) {
#ifdef MORVALEN_PG_STORE
    if (store->pg != nullptr) return pgStoreStart(store);
#endif
    try {
        store->writer = std::thread(writerLoop, store);
    } catch (...) {
        return false;
    }
    return true;
}

void storeBatchDone(Store* store, std::vector<StoreWrite>* batch) {
    {
        platform::MutexLock lock(store->mu);
        for (StoreWrite& write : *batch) store->done.push_back(std::move(write));
    }
    batch->clear();
    uint64_t one = 1;
    ssize_t n = write(store->notifyFd, &one, sizeof one);
    (void)n; // an eventfd write only fails when the counter would overflow
}

void storeSubmit(Store* store, StoreWrite write) {
    {
        platform::MutexLock lock(store->mu);
        store->queue.push_back(std::move(write));
    }
    // The PostgreSQL writer takes every batch as it comes; the SQLite one waits
    // for the loop's storeCommitQueued at the end of the pass.
    if (store->pg != nullptr) store->cv.notify_one();
}

bool storeCommitQueued(Store* store, bool alone) {
    if (store->pg != nullptr) return false;
    std::vector<StoreWrite>& batch = store->loopBatch; // empty, its buffer swapped back to the queue
    {
        platform::MutexLock lock(store->mu);
        if (store->queue.empty()) return false;
        if (!alone || store->busy || !store->groupCommit) {
            store->cv.notify_one();
            return false;
        }
        batch.swap(store->queue);
        store->busy = true;
    }
    commitBatch(store, batch);
    bool checkpoint = store->walPages >= kCheckpointPages;
    {
        platform::MutexLock lock(store->mu);
        for (StoreWrite& write : batch) store->done.push_back(std::move(write));
        store->busy = false;
        store->checkpointWanted = checkpoint;
    }
    batch.clear();
    if (checkpoint) store->cv.notify_one();
    return true;
}

std::vector<StoreWrite> storeTakeDone(Store* store) {
    std::vector<StoreWrite> out;
    platform::MutexLock lock(store->mu);
    out.swap(store->done);
    return out;
}

void storeClose(Store* store) {
    {
        platform::MutexLock lock(store->mu);
        store->stopping = true;
    }
    store->cv.notify_one();
    if (store->writer.joinable()) store->writer.join();
#ifdef MORVALEN_PG_STORE
    pgStoreClose(store);
#endif
    closeDb(store);
    if (store->notifyFd >= 0) close(store->notifyFd);
    store->notifyFd = -1;
}
