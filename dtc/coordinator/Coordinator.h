// dtcd's in-memory state and the operations of the event loop. Everything here
// is owned and touched by the event-loop thread only (Server.cpp), so none of
// it has a lock; the writer thread is reached only through the Store queues.
//
// Life of a branch (one per RmRecoveryGuid and XID):
//  1. xa_start creates it Live with one association and a fresh transaction id
//     (uow) and token. Nothing is written: presumed abort, an unprepared branch
//     lost in a crash never existed.
//  2. Associations come and go (end, suspend, resume, join); Live with an
//     active association is S1, without one S2. TMFAIL, a time-out, an
//     importer's Abort or xa_rollback of a still associated branch make it
//     RollbackOnly (S4); the last xa_end of a rolled-back branch forgets it.
//  3. xa_prepare queues a row (busy while the write is in flight) and answers
//     XA_OK only after the writer has committed it: Prepared (S3).
//  4. xa_commit / xa_rollback of a prepared branch queue the row's deletion and
//     answer once it is durable; dtcctl resolve rewrites the row as Heuristic
//     (S5), which only xa_forget deletes.
//  5. When the last control connection of a GUID closes, its branches that are
//     neither prepared, heuristic nor being written are rolled back.
// A write that fails changes nothing on disk: the prepare's branch is rolled
// back (XAER_RMERR), a decision stays undone (XA_RETRY, still prepared), a
// forget or resolve leaves the row (XAER_RMERR).
// A crash between 3 and its answer leaves a prepared row the TM learns of
// through xa_recover; between 4 and its answer, either the row (commit again)
// or nothing (XAER_NOTA, which the TM reads as already completed).
#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <queue>
#include <string>
#include <unordered_map>
#include <vector>

#include "Store.h"
#include "Wire.h"

constexpr int32_t kLive = 1;         // S1 or S2, by association count
constexpr int32_t kRollbackOnly = 4; // S4
constexpr int32_t kPrepared = 3;     // S3
constexpr int32_t kHeuristic = 5;    // S5

struct Branch {
    std::string key;          // guid + xidKey: the map key
    std::string guid;         // RmRecoveryGuid, upper-case
    XID xid{};                // canonical XID
    uint8_t uow[16]{};        // transaction id
    uint8_t token[16]{};      // secret part of the cookie
    int32_t state = kLive;    // kLive, kRollbackOnly, kPrepared, kHeuristic
    int32_t heuristic = 0;    // XA_HEURCOM or XA_HEURRB in kHeuristic
    int32_t active = 0;       // threads associated (all processes)
    int32_t suspended = 0;    // suspended associations
    bool aborted = false;     // rolled back by time-out or by an importer's Abort
    bool rolledBack = false;  // xa_rollback came while associated: forget at the last end
    bool busy = false;        // a durable write for it is in flight
    int64_t createdMs = 0;    // wall clock at start
    int64_t deadlineMs = 0;   // monotonic time-out, 0 for none
};

// A client's associations with one branch, undone when the client goes away.
struct Assoc {
    int32_t active = 0;    // active associations held through this connection
    int32_t suspended = 0; // suspended ones
};

struct Client {
    uint64_t id = 0;                               // never reused
    int fd = -1;                                   // the connection
    std::string in;                                // bytes received, not yet a whole frame
    std::string out;                               // bytes not yet sent
    std::string guid;                              // set by kOpOpen: a control connection
    uint32_t timeoutMs = 0;                        // Timeout= of the open string, 0 none
    std::unordered_map<std::string, Assoc> assoc;  // branch key -> associations
    bool dirty = false;                            // queued in Coordinator::dirty
    bool wantWrite = false;                        // EPOLLOUT is armed
};

// What a finished durable write answers, and to whom.
struct PendingWrite {
    uint64_t clientId = 0; // the requester (may be gone by then)
    uint32_t requestId = 0;
    uint16_t op = 0;       // kOpPrepare, kOpCommit, kOpRollback, kOpForget, kOpResolve
    std::string key;       // the branch
    int32_t heuristic = 0; // the outcome for kOpResolve
};

struct Stats {
    uint64_t connections = 0;   // accepted
    uint64_t refused = 0;       // peers of another uid
    uint64_t badFrames = 0;     // connections closed for a malformed frame
    uint64_t starts = 0;
    uint64_t prepares = 0;
    uint64_t commits = 0;
    uint64_t rollbacks = 0;
    uint64_t timeouts = 0;
    uint64_t disconnectRollbacks = 0;
    uint64_t heuristics = 0;
    uint64_t forgets = 0;
    uint64_t writeFailures = 0;
};

struct Coordinator {
    std::map<std::string, std::unique_ptr<Branch>> branches; // by key, ordered for recover
    std::unordered_map<std::string, Branch*> byUow;          // by transaction id
    std::unordered_map<std::string, int32_t> guidClients;    // control connections per GUID
    std::unordered_map<uint64_t, std::unique_ptr<Client>> clients;
    std::vector<uint64_t> dirty;                              // clients with output to flush
    std::unordered_map<uint64_t, PendingWrite> writes;       // by store tag
    uint64_t nextTag = 1;
    std::priority_queue<std::pair<int64_t, std::string>, std::vector<std::pair<int64_t, std::string>>,
                        std::greater<>> deadlines;           // (monotonic ms, key), stale entries skipped
    uint8_t instance[16]{};                                   // this daemon's identity
    Store* store = nullptr;
    Stats stats;
};

int64_t monotonicMs();
int64_t wallMs();

// Adds the branches read from the store at start-up.
void loadBranches(Coordinator& co, const std::vector<StoredBranch>& rows);
// Handles one request frame of `client`: appends its reply, or queues a
// durable write whose completion answers later (finishWrites).
void handleRequest(Coordinator& co, Client& client, uint32_t requestId, uint16_t op, std::string_view body);
// Answers the writes the writer has finished.
void finishWrites(Coordinator& co);
// Undoes what a closing client held; rolls back its GUID's unprepared
// branches when it was the GUID's last control connection.
void clientGone(Coordinator& co, Client& client);
// Rolls back Live branches whose time-out has passed; answers the next
// deadline (monotonic ms) or 0 when there is none.
int64_t expireBranches(Coordinator& co, int64_t nowMs);
