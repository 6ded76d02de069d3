// The core of dtcd's branch state machine, run on the event-loop thread (see
// Coordinator.h for the life of a branch): the request dispatch, the lookups,
// replies and notes every protocol uses, dropping a branch, queueing its
// durable writes and answering them once the writer is done (finishWrites),
// the clean-up when a client goes, the time-outs, and the load at start-up.
// The handlers themselves live by protocol: XaVerbs.cpp (the transaction
// manager's xa_* calls and the client library's transaction calls),
// Participants.cpp (enlisted resource managers and the two phases),
// Operator.cpp (dtcctl). Each handler either replies at once or queues a
// durable write and replies when the writer has committed it.
#include <algorithm>
#include <chrono>
#include <cstring>

#include "Branches.h"
#include "contract/txdtc.h"

using namespace dtcwire;

void reply(Coordinator& co, Client& client, uint32_t id, int32_t result, std::string_view body) {
    client.out += replyFrame(id, result, body);
    if (!client.dirty) {
        client.dirty = true;
        co.dirty.push_back(client.id);
    }
}

void answerClient(Coordinator& co, uint64_t clientId, uint32_t id, int32_t result) {
    auto it = co.clients.find(clientId);
    if (it != co.clients.end()) reply(co, *it->second, id, result);
}

Branch* findBranch(Coordinator& co, const std::string& key) {
    auto it = co.branches.find(key);
    return it == co.branches.end() ? nullptr : it->second.get();
}

Branch* findUow(Coordinator& co, const uint8_t* uow, const uint8_t* token) {
    auto it = co.byUow.find(std::string(reinterpret_cast<const char*>(uow), kIdSize));
    if (it == co.byUow.end()) return nullptr;
    // A caller that names a transaction must also hold its token.
    return std::memcmp(it->second->token, token, kIdSize) == 0 ? it->second : nullptr;
}

// Validates a cookie against this daemon; answers the branch or an HRESULT.
Branch* cookieBranch(Coordinator& co, Reader& r, HRESULT* hr) {
    uint32_t size = getU32(r);
    if (r.bad || size > kMaxFrame) {
        *hr = XACT_E_INVALIDCOOKIE;
        return nullptr;
    }
    std::string cookie(size, '\0');
    getBytes(r, cookie.data(), size);
    uint8_t instance[kIdSize];
    uint8_t uow[kIdSize];
    uint8_t token[kIdSize];
    if (r.bad || !splitCookie(cookie, instance, uow, token)) {
        *hr = XACT_E_INVALIDCOOKIE;
        return nullptr;
    }
    if (std::memcmp(instance, co.instance, kIdSize) != 0) {
        *hr = XACT_E_NOTRANSACTION; // made for another coordinator
        return nullptr;
    }
    auto it = co.byUow.find(std::string(reinterpret_cast<const char*>(uow), kIdSize));
    if (it == co.byUow.end()) {
        *hr = XACT_E_NOTRANSACTION;
        return nullptr;
    }
    // Compare every byte so that the time taken tells nothing about the token.
    uint8_t diff = 0;
    for (size_t i = 0; i < kIdSize; ++i) diff = static_cast<uint8_t>(diff | (it->second->token[i] ^ token[i]));
    if (diff != 0) {
        *hr = XACT_E_INVALIDCOOKIE;
        return nullptr;
    }
    *hr = S_OK;
    return it->second;
}

// Sends a request to a resource manager's connection: a reply frame with id 0.
void sendNote(Coordinator& co, uint64_t clientId, int32_t kind, uint64_t enlistment, int extra) {
    auto it = co.clients.find(clientId);
    if (it == co.clients.end()) return;
    Writer w;
    putU64(w, enlistment);
    if (extra >= 0) putU8(w, static_cast<uint8_t>(extra));
    reply(co, *it->second, 0, kind, w.bytes);
}

// Tells each control connection that holds an active association with the
// branch that it has been aborted (kNoteTxAborted), and moves it to the front
// of this pass's flushes: the note goes out ahead of every answer of the pass,
// so before any answer that could tell of the abort. The client library
// answers Lookup and Export of an associated thread from these notes.
void noteAborted(Coordinator& co, const Branch& b) {
    if (b.active == 0) return;
    for (auto& [clientId, client] : co.clients) {
        auto held = client->assoc.find(b.key);
        if (held == client->assoc.end() || held->second.active == 0) continue;
        Writer w;
        putBytes(w, b.uow, kIdSize);
        reply(co, *client, 0, kNoteTxAborted, w.bytes);
        auto at = std::find(co.dirty.begin(), co.dirty.end(), client->id);
        std::rotate(co.dirty.begin(), at, at + 1);
    }
}

// Drops a branch. Unless its outcome is commit, every participant that may
// hold prepared or pending work and is connected is told to abort (one that is
// gone learns it by Reenlist: an unknown transaction is an aborted one).
void forgetBranch(Coordinator& co, Branch* branch) {
    bool committed = committedOutcome(*branch);
    if (!committed) answerWaiting(co, *branch, XACTSTAT_ABORTED);
    for (const Participant& p : branch->participants) {
        co.enlistments.erase(p.id);
        if (!committed && p.clientId != 0 && (p.vote == kVoteNone || p.vote == kVoteAsked || p.vote == kVoteYes))
            sendNote(co, p.clientId, kNoteAbort, p.id);
    }
    co.byUow.erase(std::string(reinterpret_cast<const char*>(branch->uow), kIdSize));
    co.branches.erase(branch->key); // frees branch
}

namespace {

StoredBranch storedRow(const Branch& b) {
    StoredBranch row;
    row.guid = b.guid;
    row.xid = b.xid;
    std::memcpy(row.uow, b.uow, kIdSize);
    std::memcpy(row.token, b.token, kIdSize);
    row.state = b.state;
    row.heuristic = b.heuristic;
    row.createdMs = b.createdMs;
    row.participants = participantsBlob(b);
    return row;
}

} // namespace

// Queues the branch's durable write; finishWrites answers request `id` of
// client `clientId` (0: nobody waits) once it is done.
void queueWriteFor(Coordinator& co, uint64_t clientId, uint32_t id, uint16_t op, Branch& b, int32_t kind,
                   int32_t heuristic, bool onePhase) {
    StoreWrite write;
    write.kind = kind;
    write.row = storedRow(b);
    if (kind == kWritePut && op == kOpPrepare) write.row.state = kStatePrepared;
    if (kind == kWritePut && (op == kOpCommit || op == kOpForget)) {
        write.row.state = kStateCommitting;
        write.row.heuristic = 0;
    }
    if (kind == kWritePut && op == kOpResolve) {
        write.row.state = kStateHeuristic;
        write.row.heuristic = heuristic;
    }
    write.tag = co.nextTag++;
    co.writes[write.tag] = PendingWrite{clientId, id, op, b.key, heuristic, onePhase};
    b.busy = true;
    storeSubmit(co.store, std::move(write));
}

void queueWrite(Coordinator& co, Client& client, uint32_t id, uint16_t op, Branch& b, int32_t kind,
                int32_t heuristic) {
    queueWriteFor(co, client.id, id, op, b, kind, heuristic);
}

namespace {

// Reads xid and flags; false (and XAER_INVAL answered) for a malformed body or XID.
bool readXidCall(Coordinator& co, Client& client, uint32_t id, Reader& r, XID* xid, int32_t* flags) {
    getBytes(r, xid, sizeof(XID));
    *flags = getI32(r);
    if (r.bad || !xidValid(*xid)) {
        reply(co, client, id, XAER_INVAL);
        return false;
    }
    *xid = xidCanonical(*xid);
    return true;
}

} // namespace

int64_t monotonicMs() {
    return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

int64_t wallMs() {
    return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::system_clock::now().time_since_epoch())
        .count();
}

void loadBranches(Coordinator& co, const std::vector<StoredBranch>& rows) {
    for (const StoredBranch& row : rows) {
        std::string guid;
        if (!normalizeGuid(row.guid, &guid) || !xidValid(row.xid)) continue;
        auto b = std::make_unique<Branch>();
        b->guid = guid;
        b->xid = xidCanonical(row.xid);
        b->key = guid + xidKey(b->xid);
        std::memcpy(b->uow, row.uow, kIdSize);
        std::memcpy(b->token, row.token, kIdSize);
        b->state = row.state == kStateHeuristic    ? kStateHeuristic
                   : row.state == kStateCommitting ? kStateCommitting
                                                   : kStatePrepared;
        b->heuristic = b->state == kStateHeuristic ? row.heuristic : 0;
        b->createdMs = row.createdMs;
        Reader r = reader(row.participants);
        size_t loaded = b->participants.size();
        while (r.pos < r.size) {
            if (r.data[r.pos] == kParticipantNamesMark) {
                getU8(r);
                for (size_t i = loaded; i < b->participants.size(); ++i) {
                    uint8_t size = getU8(r);
                    if (r.bad || r.size - r.pos < size) break;
                    std::string name(size, '\0');
                    getBytes(r, name.data(), size);
                    b->participants[i].name = std::move(name);
                }
                break;
            }
            char rmText[kGuidText];
            getBytes(r, rmText, kGuidText);
            int32_t vote = getI32(r);
            std::string rmGuid;
            if (r.bad || !normalizeGuid(std::string_view(rmText, kGuidText), &rmGuid)) break;
            Participant p;
            p.id = co.nextEnlistment++;
            p.rmGuid = rmGuid;
            p.vote = vote == kVoteYes ? kVoteYes : kVoteDone;
            co.enlistments[p.id] = b->key;
            b->participants.push_back(std::move(p));
        }
        if (b->state == kStateCommitting) {
            b->retryMs = monotonicMs() + kPhaseTwoRetryMs;
            co.deadlines.emplace(b->retryMs, b->key);
        }
        co.byUow[std::string(reinterpret_cast<const char*>(b->uow), kIdSize)] = b.get();
        co.branches.emplace(b->key, std::move(b));
    }
}

void handleRequest(Coordinator& co, Client& client, uint32_t id, uint16_t op, std::string_view body) {
    Reader r = reader(body);
    XID xid{};
    int32_t flags = 0;
    switch (op) {
    case kOpHello: {
        Writer w;
        putBytes(w, co.instance, kIdSize);
        return reply(co, client, id, XA_OK, w.bytes);
    }
    case kOpOpen: return handleOpen(co, client, id, r);
    case kOpStart:
    case kOpEnd: {
        if (!readXidCall(co, client, id, r, &xid, &flags)) return;
        int32_t assoc = getI32(r);
        if (r.bad) return reply(co, client, id, XAER_INVAL);
        if (client.guid.empty()) return reply(co, client, id, XAER_PROTO);
        if (op == kOpStart) return handleStart(co, client, id, xid, flags, assoc);
        return handleEnd(co, client, id, xid, flags, assoc);
    }
    case kOpPrepare:
    case kOpCommit:
    case kOpRollback:
    case kOpForget:
        if (!readXidCall(co, client, id, r, &xid, &flags)) return;
        if (client.guid.empty()) return reply(co, client, id, XAER_PROTO);
        return handleCompletion(co, client, id, op, xid, flags);
    case kOpRecover:
        if (client.guid.empty()) return reply(co, client, id, XAER_PROTO);
        return handleRecover(co, client, id, r);
    case kOpTxInfo:
    case kOpExport:
    case kOpAbort: return handleTransaction(co, client, id, op, r);
    case kOpImport: return handleImport(co, client, id, r);
    case kOpCookie: return handleCookie(co, client, id, r);
    case kOpList: return handleList(co, client, id);
    case kOpResolve: return handleResolve(co, client, id, r);
    case kOpStats: return handleStats(co, client, id);
    case kOpSettle: return handleSettle(co, client, id, r);
    case kOpRmOpen: return handleRmOpen(co, client, id, body);
    case kOpEnlist: return handleEnlist(co, client, id, r);
    case kOpVote: return handleVote(co, client, id, r);
    case kOpPhaseTwoDone: return handlePhaseTwoDone(co, client, id, r);
    case kOpReenlist: return handleReenlist(co, client, id, r);
    case kOpReenlistDone: return handleReenlistDone(co, client, id);
    }
    reply(co, client, id, XAER_INVAL);
}

namespace {

// What a request whose durable write failed answers.
//  - prepare: the branch could not be made durable, so it is rolled back
//    (forgotten in memory; nothing is on disk): XAER_RMERR.
//  - commit, rollback: the decision is not recorded, the branch stays
//    prepared and the caller is asked to try again: XA_RETRY.
//  - forget: the heuristic branch stays: XAER_RMERR.
//  - dtcctl resolve: the branch stays prepared: XAER_RMERR.
int32_t writeFailureAnswer(Coordinator& co, Branch* b, const PendingWrite& p) {
    if (p.op == kOpPhaseTwoDone) return XA_OK; // nobody waits: deleted at the next acknowledgement or retry
    if (p.op == kOpPrepare || (p.op == kOpCommit && p.onePhase)) {
        // The branch could not be made durable and is rolled back. A
        // one-phase commit says so with a rollback code: its work is undone.
        co.stats.rollbacks++;
        forgetBranch(co, b);
        return p.op == kOpPrepare ? XAER_RMERR : XA_RBROLLBACK;
    }
    switch (p.op) {
    case kOpCommit:
        co.stats.commits--; // counted when asked; the retry counts again
        return XA_RETRY;
    case kOpRollback:
        co.stats.rollbacks--;
        return XA_RETRY;
    }
    return XAER_RMERR;
}

} // namespace

void finishWrites(Coordinator& co) {
    for (StoreWrite& write : storeTakeDone(co.store)) {
        auto pending = co.writes.find(write.tag);
        if (pending == co.writes.end()) continue;
        PendingWrite p = std::move(pending->second);
        co.writes.erase(pending);
        Branch* b = findBranch(co, p.key);
        int32_t result = XA_OK;
        if (b != nullptr) {
            b->busy = false;
            if (write.result != 0) {
                // Nothing changed on disk (the batch rolled back). The answer is
                // the branch's own XA code, never XAER_RMFAIL: that one tells
                // the caller the coordinator is gone, and its unbinding would
                // roll back every other unprepared branch of the GUID.
                co.stats.writeFailures++;
                result = writeFailureAnswer(co, b, p);
            } else if (p.op == kOpPrepare) {
                b->state = kStatePrepared;
                b->deadlineMs = 0;
            } else if (p.op == kOpResolve) {
                b->state = kStateHeuristic;
                b->heuristic = p.heuristic;
                // Participants are driven to the operator's outcome.
                for (const Participant& part : b->participants)
                    if (part.vote == kVoteYes && part.clientId != 0)
                        sendNote(co, part.clientId, p.heuristic == XA_HEURCOM ? kNoteCommit : kNoteAbort, part.id);
                answerWaiting(co, *b, p.heuristic == XA_HEURCOM ? XACTSTAT_COMMITTED : XACTSTAT_ABORTED);
            } else if (p.op == kOpCommit && hasPhaseTwo(*b) && b->state != kStateCommitting) {
                enterCommitting(co, *b);
            } else if (p.op == kOpForget && b->state == kStateHeuristic && b->heuristic == XA_HEURCOM && hasPhaseTwo(*b)) {
                // Forgotten by the manager, still owed to participants.
                b->heuristic = 0;
                enterCommitting(co, *b);
            } else {
                forgetBranch(co, b);
            }
        }
        if (p.clientId != 0) answerClient(co, p.clientId, p.requestId, result);
    }
}

void clientGone(Coordinator& co, Client& client) {
    for (const auto& [key, held] : client.assoc) {
        Branch* b = findBranch(co, key);
        if (b == nullptr) continue;
        b->active -= held.active;
        b->suspended -= held.suspended;
        if (b->rolledBack && b->active == 0 && b->suspended == 0) forgetBranch(co, b);
    }
    client.assoc.clear();
    if (!client.rmGuid.empty()) participantGone(co, client);
    if (client.guid.empty()) return;
    auto count = co.guidClients.find(client.guid);
    if (count == co.guidClients.end() || --count->second > 0) return;
    co.guidClients.erase(count);
    // The GUID's last control connection is gone: its unprepared branches go
    // with it; prepared and heuristic ones wait for a recovering process.
    auto it = co.branches.lower_bound(client.guid);
    while (it != co.branches.end() && it->second->guid == client.guid) {
        Branch* b = it->second.get();
        ++it;
        if ((b->state == kStateActive || b->state == kStateRollbackOnly) && !b->busy && b->active == 0 && b->suspended == 0) {
            co.stats.disconnectRollbacks++;
            forgetBranch(co, b);
        }
    }
}

int64_t expireBranches(Coordinator& co, int64_t nowMs) {
    while (!co.deadlines.empty() && co.deadlines.top().first <= nowMs) {
        std::string key = co.deadlines.top().second;
        co.deadlines.pop();
        Branch* b = findBranch(co, key);
        if (b == nullptr) continue;
        branchTimers(co, b, nowMs);
        b = findBranch(co, key);
        if (b == nullptr || b->state != kStateActive || b->busy || b->deadlineMs == 0 || b->deadlineMs > nowMs) continue;
        b->state = kStateRollbackOnly;
        b->aborted = true;
        noteAborted(co, *b);
        co.stats.timeouts++;
    }
    return co.deadlines.empty() ? 0 : co.deadlines.top().first;
}
