// What the files of dtcd's branch state machine share: Branches.cpp (dispatch,
// lookups, replies, durable writes, clean-up, time-outs), XaVerbs.cpp,
// Participants.cpp and Operator.cpp. Internal to the coordinator: Server.cpp
// and Main.cpp see Coordinator.h only. Every function here runs on the
// event-loop thread and touches the Coordinator without a lock.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "Coordinator.h"
#include "contract/txdtc.h"

// --- Branches.cpp ---

// Appends a reply frame to the client's output and queues the client for the
// loop's next flush.
void reply(Coordinator& co, Client& client, uint32_t id, int32_t result, std::string_view body = {});
// As reply, to a client by id; nothing when it is gone.
void answerClient(Coordinator& co, uint64_t clientId, uint32_t id, int32_t result);
// Sends a request to a resource manager's connection: a reply frame with
// request id 0, result `kind` (dtcwire::kNote*), body the enlistment id and,
// when `extra` is not negative, one byte of it.
void sendNote(Coordinator& co, uint64_t clientId, int32_t kind, uint64_t enlistment, int extra = -1);
// Tells the control connections actively associated with the branch that it
// was aborted, ahead of every other answer of this pass.
void noteAborted(Coordinator& co, const Branch& b);

// The branch of `key`, or null.
Branch* findBranch(Coordinator& co, const std::string& key);
// The branch of a transaction id whose token matches, or null.
Branch* findUow(Coordinator& co, const uint8_t* uow, const uint8_t* token);
// Reads a cookie (u32 size, bytes) and answers its branch with *hr S_OK, or
// null with *hr XACT_E_INVALIDCOOKIE (malformed, wrong token) or
// XACT_E_NOTRANSACTION (another coordinator's, or no such transaction).
Branch* cookieBranch(Coordinator& co, dtcwire::Reader& r, HRESULT* hr);

// Drops a branch (frees it): unless its outcome is commit, its waiting
// Reenlists are answered aborted and its connected participants told to abort.
void forgetBranch(Coordinator& co, Branch* branch);
// Queues the branch's durable write (kind: kWritePut or kWriteDelete, the row
// as `op` leaves it) and marks it busy; finishWrites answers request `id` of
// client `clientId` (0: nobody waits) once it is done.
void queueWriteFor(Coordinator& co, uint64_t clientId, uint32_t id, uint16_t op, Branch& b, int32_t kind,
                   int32_t heuristic, bool onePhase = false);
// queueWriteFor for the requesting client.
void queueWrite(Coordinator& co, Client& client, uint32_t id, uint16_t op, Branch& b, int32_t kind,
                int32_t heuristic);

// --- XaVerbs.cpp: the transaction manager's and the client library's calls ---

void handleOpen(Coordinator& co, Client& client, uint32_t id, dtcwire::Reader& r);
void handleStart(Coordinator& co, Client& client, uint32_t id, const XID& xid, int32_t flags, int32_t assoc);
void handleEnd(Coordinator& co, Client& client, uint32_t id, const XID& xid, int32_t flags, int32_t assoc);
// xa_prepare, xa_commit, xa_rollback, xa_forget (op kOpPrepare .. kOpForget).
void handleCompletion(Coordinator& co, Client& client, uint32_t id, uint16_t op, const XID& xid, int32_t flags);
void handleRecover(Coordinator& co, Client& client, uint32_t id, dtcwire::Reader& r);
// kOpTxInfo, kOpExport, kOpAbort.
void handleTransaction(Coordinator& co, Client& client, uint32_t id, uint16_t op, dtcwire::Reader& r);
void handleImport(Coordinator& co, Client& client, uint32_t id, dtcwire::Reader& r);

// --- Participants.cpp: enlisted resource managers and the two phases ---

// True when the branch's outcome is commit: Committing, or resolved as
// committed.
bool committedOutcome(const Branch& b);
// Answers every Reenlist waiting on the branch with `stat` (XACTSTAT_*).
void answerWaiting(Coordinator& co, Branch& b, int32_t stat);
// The participants that voted yes, as the store keeps them: n x (rm guid
// text, i32 vote), then, when n > 0, kParticipantNamesMark and n x (u8
// length, name). The mark can never begin a GUID text, so a dtcd that knows
// only the entries stops reading there and still loads every participant.
constexpr uint8_t kParticipantNamesMark = 0;
std::string participantsBlob(const Branch& b);
// True when some participant voted yes: commit has a phase two.
bool hasPhaseTwo(const Branch& b);
// Starts phase one for xa_prepare (or xa_commit with TMONEPHASE): asks each
// participant; the answer goes once all have voted or the time-out passed.
void startPhaseOne(Coordinator& co, Client& client, uint32_t id, Branch& b, bool onePhase);
// The commit decision is durable: Committing, phase two to every yes voter.
void enterCommitting(Coordinator& co, Branch& b);
// Once no participant of a Committing branch still owes its acknowledgement,
// queues the row's deletion (the last step of the branch).
void checkPhaseTwoDone(Coordinator& co, Branch& b);
// A resource manager's connection closed (see Participants.cpp).
void participantGone(Coordinator& co, Client& client);
// Phase-one time-out, phase-two resends and Reenlist time-outs of one branch.
void branchTimers(Coordinator& co, Branch* b, int64_t nowMs);

void handleRmOpen(Coordinator& co, Client& client, uint32_t id, std::string_view body);
void handleEnlist(Coordinator& co, Client& client, uint32_t id, dtcwire::Reader& r);
void handleVote(Coordinator& co, Client& client, uint32_t id, dtcwire::Reader& r);
void handlePhaseTwoDone(Coordinator& co, Client& client, uint32_t id, dtcwire::Reader& r);
void handleReenlist(Coordinator& co, Client& client, uint32_t id, dtcwire::Reader& r);
void handleReenlistDone(Coordinator& co, Client& client, uint32_t id);

// --- Operator.cpp: dtcctl's verbs ---

void handleList(Coordinator& co, Client& client, uint32_t id);
void handleCookie(Coordinator& co, Client& client, uint32_t id, dtcwire::Reader& r);
void handleResolve(Coordinator& co, Client& client, uint32_t id, dtcwire::Reader& r);
void handleStats(Coordinator& co, Client& client, uint32_t id);
// dtcctl settle: one participant of a committed branch is taken as done.
void handleSettle(Coordinator& co, Client& client, uint32_t id, dtcwire::Reader& r);
