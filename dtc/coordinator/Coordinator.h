// dtcd's in-memory state and the operations of the event loop. Everything here
// is owned and touched by the event-loop thread only (Server.cpp), so none of
// it has a lock or a GUARDED_BY: a single owner needs neither. The writer
// thread is reached only through the Store queues, whose lock the compiler
// checks (Store.h).
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
// With participants (resource managers enlisted through the cookie):
//  3'. xa_prepare asks each participant (phase one) and answers once all have
//     voted: any no (or a participant gone, or the phase-one time-out) rolls
//     back and aborts the others; all read-only answers XA_RDONLY and forgets;
//     else the prepared row, with the participant list, is written: XA_OK.
//  4'. xa_commit writes the row as Committing (the decision) and answers; phase
//     two goes to every participant that voted yes, again every few seconds,
//     until each acknowledges (or, after a crash, reenlists and completes its
//     recovery); then the row is deleted. ReenlistmentComplete on a resource
//     manager's connection also settles every participant of its GUID that
//     is gone, voted yes before that connection registered and was not named
//     by its Reenlists: the resource manager states that it holds nothing
//     in doubt beyond what it reenlisted (its acknowledgement was lost, or
//     the work was committed by hand). An operator can settle one
//     participant the same way (dtcctl settle). xa_forget of a branch
//     resolved as committed keeps it Committing, hidden from the manager,
//     until its participants are done. Rollback deletes the row (presumed
//     abort: a participant that reenlists for an unknown transaction is told
//     "aborted") and sends the abort to whoever is connected.
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

constexpr int64_t kPhaseTwoRetryMs = 2000; // phase two is sent again this often until acknowledged

// A resource manager enlisted in a branch's transaction (through its cookie).
struct Participant {
    uint64_t id = 0;           // enlistment id, unique in this run of dtcd
    std::string rmGuid;        // the resource manager's GUID, upper-case
    uint64_t clientId = 0;     // its connection, 0 while it is gone
    int32_t vote = 0;          // dtcwire::kVote*
    uint64_t reenlistedBy = 0; // the connection Reenlist told the commit outcome; done at its ReenlistmentComplete
    uint64_t namedBy = 0;      // the last connection whose Reenlist named it (told or not)
    uint64_t votedSeq = 0;     // Coordinator::seq at its yes vote; 0 when loaded from the store
    std::string name;          // its resource manager's name (PostgreSQL: the database)
};

// A Reenlist that waits for the outcome of an in-doubt branch.
struct WaitingReenlist {
    uint64_t clientId = 0;
    uint32_t requestId = 0;
    std::string rmGuid;
    uint64_t enlistment = 0; // the participant it took over, 0 for none
    int64_t deadlineMs = 0; // monotonic, 0 for none
};

struct Branch {
    std::string key;          // guid + xidKey: the map key
    std::string guid;         // RmRecoveryGuid, upper-case
    XID xid{};                // canonical XID
    uint8_t uow[16]{};        // transaction id
    uint8_t token[16]{};      // secret part of the cookie
    dtcwire::BranchState state = dtcwire::kStateActive; // live is kStateActive (S1 or S2 by the
                              // counts below), then kStateRollbackOnly, kStatePrepared,
                              // kStateHeuristic, kStateCommitting; never kStateIdle
    int32_t heuristic = 0;    // XA_HEURCOM or XA_HEURRB in kStateHeuristic
    int32_t active = 0;       // threads associated (all processes)
    int32_t suspended = 0;    // suspended associations
    bool aborted = false;     // rolled back by time-out or by an importer's Abort
    bool rolledBack = false;  // xa_rollback came while associated: forget at the last end
    bool busy = false;        // a durable write for it is in flight
    int64_t createdMs = 0;    // wall clock at start
    int64_t deadlineMs = 0;   // monotonic time-out, 0 for none
    std::vector<Participant> participants; // enlisted resource managers
    bool phaseOne = false;    // votes are awaited (busy is set too)
    bool onePhase = false;    // phase one runs for xa_commit(TMONEPHASE)
    uint64_t askClient = 0;   // who asked for phase one, and its request id
    uint32_t askRequest = 0;
    int64_t phaseDeadlineMs = 0; // when phase one gives up (monotonic)
    int64_t retryMs = 0;      // next resend of phase two (monotonic), kStateCommitting only
    std::vector<WaitingReenlist> waiting;
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
    std::string rmGuid;                            // set by kOpRmOpen: a resource manager's connection
    uint64_t rmOpenSeq = 0;                        // Coordinator::seq at its kOpRmOpen
    std::string rmName;                            // the name it registered with
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
    bool onePhase = false; // kOpCommit that ends a one-phase commit with participants
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
    uint64_t enlistments = 0;
    uint64_t votesYes = 0;
    uint64_t votesReadOnly = 0;
    uint64_t votesNo = 0;          // no, a failure, or gone before voting
    uint64_t phaseOneTimeouts = 0;
    uint64_t phaseTwoRetries = 0;  // phase-two requests sent again
    uint64_t reenlists = 0;
    uint64_t settled = 0;          // participants taken as done without their acknowledgement
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
    std::unordered_map<uint64_t, std::string> enlistments;   // enlistment id -> branch key
    uint64_t nextEnlistment = 1;
    uint64_t seq = 0;                                         // orders yes votes and RmOpens
    int64_t prepareTimeoutMs = 30000;                         // phase one gives up after this
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
