// dtcd's durable state: one SQLite database in the data directory (WAL mode,
// synchronous=FULL, locked by dtcd for as long as it runs) holding the prepared and heuristically completed branches
// and the instance id. One writer thread owns the database after start-up and
// folds every write queued while it was busy into one transaction (group
// commit), so many concurrent prepares and decisions share one fsync.
//
// Life of a write: the event loop queues a StoreWrite (storeSubmit) and answers
// nothing yet. At the end of its pass the loop calls storeCommitQueued: a
// lone write (one caller waiting, as when completions are made one at a time)
// the loop commits itself, one flush and no hand-off to another thread and
// back; otherwise the batch goes to the writer thread, so that the loop reads
// and answers meanwhile and the next batch grows. Either way the writes reach
// the done list with their result (the writer also signals the eventfd) and
// the event loop takes them (storeTakeDone) and only then answers the
// client. A write that fails leaves the database as it was (the whole batch
// rolls back) and reports the failure for each write of the batch. Log
// checkpoints always run on the writer thread.
//
// Threads and locks: the event loop calls storeSubmit, storeCommitQueued and
// storeTakeDone. db, the statements and walPages belong to whichever thread
// holds the busy flag (the writer or the loop), from storeStart until
// storeClose has joined the writer (before that, the starting thread alone
// uses them). The two queues and the flags between the two threads are
// guarded by Store::mu (checked by the compiler); the counters are atomics,
// read by dtcctl stats.
//
// With --store CONNINFO the same functions keep the rows in PostgreSQL instead
// (StorePg.h), shared by several dtcd of which one, the holder of the store's
// lease, is active; storeAwaitActive waits for it.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <string>
#include <thread>
#include <vector>

#include "contract/xa.h"
#include "platform/ThreadSafety.h"

struct sqlite3;
struct sqlite3_stmt;
struct PgStore; // StorePg.cpp

// One row of the branch table.
struct StoredBranch {
    std::string guid;       // RmRecoveryGuid, upper-case text
    XID xid{};              // canonical XID
    uint8_t uow[16]{};      // transaction id
    uint8_t token[16]{};    // secret part of the cookie
    int32_t state = 0;      // dtcwire::kStatePrepared, kStateHeuristic or kStateCommitting, as stored
    int32_t heuristic = 0;  // XA_HEURCOM or XA_HEURRB when heuristic, else 0
    int64_t createdMs = 0;  // wall-clock ms when the branch started
    std::string participants; // n x (rm guid text, i32 vote), empty when none
};

constexpr int32_t kWritePut = 1;       // insert or replace the row
constexpr int32_t kWriteDelete = 2;    // delete the row (guid, xid)

struct StoreWrite {
    int32_t kind = 0;    // kWritePut or kWriteDelete
    StoredBranch row;    // the row (guid and xid only for a delete)
    uint64_t tag = 0;    // the caller's completion id
    int32_t result = 0;  // 0 once durable, -1 when the batch failed
};

constexpr char kIdentityFile[] = "dtcd.id";
// The log is copied into the database once it holds this many pages (4 KiB
// each), and its file is trimmed back to kWalKeepBytes at the next restart of
// the log: the log stays a few MiB.
constexpr int kCheckpointPages = 512;
constexpr int64_t kWalKeepBytes = 4 << 20;

struct Store {
    sqlite3* db = nullptr;               // owned by the writer thread once started
    sqlite3_stmt* put = nullptr;         // INSERT OR REPLACE of a branch row
    sqlite3_stmt* remove = nullptr;      // DELETE of a branch row
    sqlite3_stmt* begin = nullptr;       // BEGIN IMMEDIATE
    sqlite3_stmt* commit = nullptr;      // COMMIT
    sqlite3_stmt* rollback = nullptr;    // ROLLBACK
    bool groupCommit = true;             // false: one transaction per write (benchmark baseline)
    int notifyFd = -1;                   // eventfd the writer signals after each batch
    platform::Mutex mu;                  // guards queue, done, stopping
    std::condition_variable cv;          // wakes the writer (waited on with mu held)
    std::vector<StoreWrite> queue GUARDED_BY(mu); // writes not yet taken by the writer
    std::vector<StoreWrite> done GUARDED_BY(mu);  // writes committed (or failed), not yet taken by the loop
    bool stopping GUARDED_BY(mu) = false;         // the writer drains the queue and exits
    bool busy GUARDED_BY(mu) = false;             // a thread is using db (commit or checkpoint)
    bool checkpointWanted GUARDED_BY(mu) = false; // the loop's commit left the log due for a checkpoint
    std::vector<StoreWrite> loopBatch;   // the batch the loop commits itself (loop thread; kept for its capacity)
    std::thread writer;                  // the writer thread
    std::atomic<uint64_t> batches{0};    // transactions committed
    std::atomic<uint64_t> records{0};    // writes committed
    std::atomic<uint64_t> checkpoints{0}; // log checkpoints done
    int walPages = 0;                    // log size after the last commit (writer thread)
    std::string url;                     // --store: a PostgreSQL connection string; empty for SQLite
    int64_t leaseMs = 10000;             // --lease: how long a renewal holds the PostgreSQL store's lease
    int64_t renewMs = 2000;              // --lease-renew: the active coordinator renews this often
    int64_t pollMs = 1000;               // --standby-poll: a standby tries to take the lease this often
    PgStore* pg = nullptr;               // the PostgreSQL side, when url is set
    std::atomic<int64_t> servingUntilMs{INT64_MAX}; // monotonic ms past which nothing may be answered
};

// Opens DIR/dtcd.db, sets WAL and synchronous=FULL, creates the tables, reads
// or makes the instance id.
//
// The identity file DIR/dtcd.id, written once when the store is made, records
// that a store exists here and its instance id. While it exists, a missing,
// empty, damaged or foreign dtcd.db is refused: starting afresh on it would
// silently drop the prepared branches and decisions. A directory without the
// file is new (the store is made), or holds a store of a version that did not
// write it (the file is written then). `newStore` sets an existing store and
// its log aside (renamed, never deleted) and makes a new one.
//
// On failure answers false with a one-line reason in *error and leaves
// nothing open.
[[nodiscard]] bool storeOpen(Store* store, const std::string& dir, bool newStore, uint8_t* instance,
                             std::string* error);
// Waits until this dtcd may serve: at once for SQLite; with PostgreSQL until it
// holds the store's lease. 1: active; 0: SIGTERM or SIGINT arrived on
// signalFd first (a standby stopping); -1 with a reason in *error.
[[nodiscard]] int storeAwaitActive(Store* store, int signalFd, std::string* error);
// False once the last renewal of the lease is too old for this dtcd to be sure
// it is still the active one (always true with SQLite).
[[nodiscard]] bool storeMayServe(const Store* store, int64_t monotonicNowMs);
// Reads every stored branch (before storeStart only).
[[nodiscard]] bool storeLoad(Store* store, std::vector<StoredBranch>* rows, std::string* error);
// Starts the writer thread; false when it cannot be started.
[[nodiscard]] bool storeStart(Store* store);
// Queues a write (the event loop). Takes store->mu.
void storeSubmit(Store* store, StoreWrite write) EXCLUDES(store->mu);
// Commits what storeSubmit queued (the event loop, once a pass, after it has
// sent the answers that need no write). `alone`: the queue holds the only
// write in flight, so a flush on the loop delays no other write; the loop
// then commits it itself. Otherwise the batch goes to the writer and the loop
// goes on reading while it flushes. True when the loop committed the batch
// itself: the results are on the done list now. False when there was nothing,
// or the writer was handed the batch (it signals notifyFd when done). Takes
// store->mu.
bool storeCommitQueued(Store* store, bool alone) EXCLUDES(store->mu);
// For a backend's writer thread: moves a committed (or failed) batch to the
// done list, empties *batch and signals notifyFd. Takes store->mu.
void storeBatchDone(Store* store, std::vector<StoreWrite>* batch) EXCLUDES(store->mu);
// Takes the finished writes. Takes store->mu.
std::vector<StoreWrite> storeTakeDone(Store* store) EXCLUDES(store->mu);
// Lets the writer finish what is queued, joins it and closes the database.
// Takes store->mu.
void storeClose(Store* store) EXCLUDES(store->mu);
