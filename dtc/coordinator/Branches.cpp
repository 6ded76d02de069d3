// The branch state machine of dtcd: one handler per operation, run on the
// event-loop thread (see Coordinator.h for the life of a branch). Each handler
// either replies at once or queues a durable write and replies when the writer
// has committed it (finishWrites).
#include <sys/random.h>

#include <algorithm>
#include <chrono>
#include <cstring>

#include "Coordinator.h"
#include "contract/txdtc.h"

using namespace dtcwire;

namespace {

void reply(Coordinator& co, Client& client, uint32_t id, int32_t result, std::string_view body = {}) {
    client.out += replyFrame(id, result, body);
    if (!client.dirty) {
        client.dirty = true;
        co.dirty.push_back(client.id);
    }
}

void fillRandom(uint8_t* out, size_t size) {
    size_t got = 0;
    while (got < size) {
        ssize_t n = getrandom(out + got, size - got, 0);
        if (n > 0) got += static_cast<size_t>(n);
    }
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

// Sends a request to a resource manager's connection: a reply frame with id 0.
void sendNote(Coordinator& co, uint64_t clientId, int32_t kind, uint64_t enlistment, int extra = -1) {
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

bool committedOutcome(const Branch& b) {
    return b.state == kCommitting || (b.state == kHeuristic && b.heuristic == XA_HEURCOM);
}

void answerWaiting(Coordinator& co, Branch& b, int32_t stat) {
    for (const WaitingReenlist& w : b.waiting) {
        auto it = co.clients.find(w.clientId);
        if (it == co.clients.end()) continue;
        Writer body;
        putI32(body, stat);
        reply(co, *it->second, w.requestId, S_OK, body.bytes);
        for (Participant& p : b.participants)
            if (p.rmGuid == w.rmGuid && stat == XACTSTAT_COMMITTED) p.reenlisted = true;
    }
    b.waiting.clear();
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

std::string participantsBlob(const Branch& b) {
    Writer w;
    for (const Participant& p : b.participants) {
        if (p.vote != kVoteYes) continue; // only those that hold prepared work
        putBytes(w, p.rmGuid.data(), kGuidText);
        putI32(w, p.vote);
    }
    return std::move(w.bytes);
}

bool hasPhaseTwo(const Branch& b) {
    for (const Participant& p : b.participants)
        if (p.vote == kVoteYes) return true;
    return false;
}

int32_t branchState(const Branch& b) {
    switch (b.state) {
    case kLive: return b.active > 0 ? kStateActive : kStateIdle;
    case kRollbackOnly: return kStateRollbackOnly;
    case kPrepared: return kStatePrepared;
    case kHeuristic: return kStateHeuristic;
    case kCommitting: return kStateCommitting;
    }
    return 0;
}

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

// Queues the branch's durable write; finishWrites answers request `id` of
// client `clientId` (0: nobody waits) once it is done.
void queueWriteFor(Coordinator& co, uint64_t clientId, uint32_t id, uint16_t op, Branch& b, int32_t kind,
                   int32_t heuristic, bool onePhase = false) {
    StoreWrite write;
    write.kind = kind;
    write.row = storedRow(b);
    if (kind == kWritePut && op == kOpPrepare) write.row.state = kPrepared;
    if (kind == kWritePut && op == kOpCommit) write.row.state = kCommitting;
    if (kind == kWritePut && op == kOpResolve) {
        write.row.state = kHeuristic;
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

void answerClient(Coordinator& co, uint64_t clientId, uint32_t id, int32_t result) {
    auto it = co.clients.find(clientId);
    if (it != co.clients.end()) reply(co, *it->second, id, result);
}

// Phase one of a branch with participants: ask each, answer when all voted.
void startPhaseOne(Coordinator& co, Client& client, uint32_t id, Branch& b, bool onePhase) {
    b.busy = true;
    b.phaseOne = true;
    b.onePhase = onePhase;
    b.askClient = client.id;
    b.askRequest = id;
    b.phaseDeadlineMs = monotonicMs() + co.prepareTimeoutMs;
    co.deadlines.emplace(b.phaseDeadlineMs, b.key);
    co.stats.prepares++;
    for (Participant& p : b.participants) {
        if (p.vote != kVoteNone) continue;
        p.vote = kVoteAsked;
        sendNote(co, p.clientId, kNotePrepare, p.id, 0);
    }
}

// Phase one failed (a no, a participant gone, the time-out): the branch rolls
// back, every participant that may hold work is told to abort.
void failPhaseOne(Coordinator& co, Branch* b, int32_t code) {
    co.stats.rollbacks++;
    answerClient(co, b->askClient, b->askRequest, code);
    forgetBranch(co, b);
}

void enterCommitting(Coordinator& co, Branch& b) {
    b.state = kCommitting;
    b.retryMs = monotonicMs() + kPhaseTwoRetryMs;
    co.deadlines.emplace(b.retryMs, b.key);
    for (const Participant& p : b.participants)
        if (p.vote == kVoteYes && p.clientId != 0) sendNote(co, p.clientId, kNoteCommit, p.id);
    answerWaiting(co, b, XACTSTAT_COMMITTED);
}

// Once every participant has acknowledged phase two the row goes.
void checkPhaseTwoDone(Coordinator& co, Branch& b) {
    if (b.state != kCommitting || b.busy) return;
    for (const Participant& p : b.participants)
        if (p.vote == kVoteYes) return;
    queueWriteFor(co, 0, 0, kOpPhaseTwoDone, b, kWriteDelete, 0);
}

// Called after each vote: decides phase one once every participant has voted.
void checkPhaseOne(Coordinator& co, Branch* b) {
    if (!b->phaseOne) return;
    bool allReadOnly = true;
    for (const Participant& p : b->participants) {
        if (p.vote == kVoteNo) return failPhaseOne(co, b, XA_RBROLLBACK);
        if (p.vote == kVoteAsked || p.vote == kVoteNone) return;
        if (p.vote != kVoteReadOnly) allReadOnly = false;
    }
    b->phaseOne = false;
    if (allReadOnly) {
        // Nobody holds work: nothing to write, nothing to commit.
        answerClient(co, b->askClient, b->askRequest, b->onePhase ? XA_OK : XA_RDONLY);
        if (b->onePhase) co.stats.commits++;
        forgetBranch(co, b);
        return;
    }
    if (b->onePhase) {
        co.stats.commits++;
        return queueWriteFor(co, b->askClient, b->askRequest, kOpCommit, *b, kWritePut, 0, true);
    }
    queueWriteFor(co, b->askClient, b->askRequest, kOpPrepare, *b, kWritePut, 0);
}

// Branch row for list and cookie answers.
void putRow(Writer& w, const Branch& b, int64_t now) {
    putBytes(w, b.guid.data(), kGuidText);
    putBytes(w, &b.xid, sizeof(XID));
    putI32(w, branchState(b));
    putI32(w, b.heuristic);
    putU8(w, static_cast<uint8_t>((b.aborted ? 1 : 0) | (b.busy ? 2 : 0)));
    putU64(w, static_cast<uint64_t>(now > b.createdMs ? now - b.createdMs : 0));
    putBytes(w, b.uow, kIdSize);
}

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

void adjustAssoc(Client& client, const std::string& key, int32_t dActive, int32_t dSuspended) {
    Assoc& a = client.assoc[key];
    a.active += dActive;
    a.suspended += dSuspended;
    if (a.active <= 0 && a.suspended <= 0) client.assoc.erase(key);
}

void handleStart(Coordinator& co, Client& client, uint32_t id, const XID& xid, int32_t flags, int32_t assoc) {
    std::string key = client.guid + xidKey(xid);
    Branch* b = findBranch(co, key);
    Writer w;
    if ((flags & (TMJOIN | TMRESUME)) == 0) {
        if (b != nullptr) return reply(co, client, id, XAER_DUPID);
        auto fresh = std::make_unique<Branch>();
        fresh->key = key;
        fresh->guid = client.guid;
        fresh->xid = xid;
        fillRandom(fresh->uow, kIdSize);
        fillRandom(fresh->token, kIdSize);
        fresh->active = 1;
        fresh->createdMs = wallMs();
        if (client.timeoutMs > 0) {
            fresh->deadlineMs = monotonicMs() + client.timeoutMs;
            co.deadlines.emplace(fresh->deadlineMs, key);
        }
        b = fresh.get();
        co.byUow[std::string(reinterpret_cast<const char*>(b->uow), kIdSize)] = b;
        co.branches.emplace(key, std::move(fresh));
        adjustAssoc(client, key, 1, 0);
        co.stats.starts++;
        putBytes(w, b->uow, kIdSize);
        putBytes(w, b->token, kIdSize);
        return reply(co, client, id, XA_OK, w.bytes);
    }
    if (b == nullptr) return reply(co, client, id, XAER_NOTA);
    // A resume takes back a suspension held through this connection (as xa_end
    // checks); the caller's word alone would drive the counts below zero.
    auto held = client.assoc.find(key);
    bool holdsSuspended = held != client.assoc.end() && held->second.suspended > 0;
    if ((flags & TMRESUME) != 0 && (assoc != kAssocSuspended || !holdsSuspended))
        return reply(co, client, id, XAER_PROTO);
    if (b->state == kPrepared || b->state == kHeuristic || b->state == kCommitting || b->busy)
        return reply(co, client, id, XAER_PROTO);
    int32_t dSuspended = (flags & TMRESUME) != 0 ? -1 : 0;
    if (b->state == kRollbackOnly) {
        // A rolled-back answer leaves the thread unassociated.
        if (dSuspended != 0) {
            b->suspended--;
            adjustAssoc(client, key, 0, -1);
            if (b->rolledBack && b->active == 0 && b->suspended == 0) forgetBranch(co, b);
        }
        return reply(co, client, id, XA_RBROLLBACK);
    }
    b->active++;
    b->suspended += dSuspended;
    adjustAssoc(client, key, 1, dSuspended);
    putBytes(w, b->uow, kIdSize);
    putBytes(w, b->token, kIdSize);
    reply(co, client, id, XA_OK, w.bytes);
}

void handleEnd(Coordinator& co, Client& client, uint32_t id, const XID& xid, int32_t flags, int32_t assoc) {
    std::string key = client.guid + xidKey(xid);
    Branch* b = findBranch(co, key);
    if (b == nullptr) return reply(co, client, id, XAER_NOTA);
    auto held = client.assoc.find(key);
    bool fromActive = assoc == kAssocActive && held != client.assoc.end() && held->second.active > 0;
    bool fromSuspended = assoc == kAssocSuspended && held != client.assoc.end() && held->second.suspended > 0;
    if (!fromActive && !fromSuspended) return reply(co, client, id, XAER_PROTO);
    int32_t dActive = fromActive ? -1 : 0;
    int32_t dSuspended = fromSuspended ? -1 : 0;
    if (b->state == kRollbackOnly) {
        // Dissociates whatever was asked, and reports the roll-back.
        b->active += dActive;
        b->suspended += dSuspended;
        adjustAssoc(client, key, dActive, dSuspended);
        if (b->rolledBack && b->active == 0 && b->suspended == 0) forgetBranch(co, b);
        return reply(co, client, id, XA_RBROLLBACK);
    }
    if ((flags & TMSUSPEND) != 0) {
        if (!fromActive) return reply(co, client, id, XAER_PROTO);
        b->active--;
        b->suspended++;
        adjustAssoc(client, key, -1, 1);
        return reply(co, client, id, (flags & TMMIGRATE) != 0 ? XA_NOMIGRATE : XA_OK);
    }
    b->active += dActive;
    b->suspended += dSuspended;
    adjustAssoc(client, key, dActive, dSuspended);
    if ((flags & TMFAIL) != 0) b->state = kRollbackOnly;
    reply(co, client, id, XA_OK);
}

int32_t heuristicAnswer(const Branch& b) { return b.heuristic != 0 ? b.heuristic : XA_HEURHAZ; }

void handleCompletion(Coordinator& co, Client& client, uint32_t id, uint16_t op, const XID& xid, int32_t flags) {
    std::string key = client.guid + xidKey(xid);
    Branch* b = findBranch(co, key);
    if (b == nullptr) return reply(co, client, id, XAER_NOTA);
    if (b->busy) return reply(co, client, id, XAER_PROTO);
    bool associated = b->active > 0 || b->suspended > 0;
    // Decided and answered: the transaction manager is done with it.
    if (b->state == kCommitting) return reply(co, client, id, XAER_NOTA);
    switch (op) {
    case kOpPrepare:
        if (b->state == kLive && !associated && !b->participants.empty())
            return startPhaseOne(co, client, id, *b, false);
        if (b->state == kLive && !associated) {
            co.stats.prepares++;
            return queueWrite(co, client, id, op, *b, kWritePut, 0);
        }
        if (b->state == kRollbackOnly && !associated) {
            co.stats.rollbacks++;
            forgetBranch(co, b);
            return reply(co, client, id, XA_RBROLLBACK);
        }
        return reply(co, client, id, XAER_PROTO);
    case kOpCommit:
        if (b->state == kHeuristic) return reply(co, client, id, heuristicAnswer(*b));
        if ((flags & TMONEPHASE) != 0) {
            if (associated || b->state == kPrepared) return reply(co, client, id, XAER_PROTO);
            if (b->state == kLive && !b->participants.empty()) return startPhaseOne(co, client, id, *b, true);
            int32_t result = b->state == kLive ? XA_OK : XA_RBROLLBACK;
            if (result == XA_OK) co.stats.commits++;
            else co.stats.rollbacks++;
            forgetBranch(co, b);
            return reply(co, client, id, result);
        }
        if (b->state != kPrepared) return reply(co, client, id, XAER_PROTO);
        co.stats.commits++;
        // With participants the decision is written and phase two follows.
        return queueWrite(co, client, id, op, *b, hasPhaseTwo(*b) ? kWritePut : kWriteDelete, 0);
    case kOpRollback:
        if (b->state == kHeuristic) return reply(co, client, id, heuristicAnswer(*b));
        co.stats.rollbacks++;
        if (b->state == kPrepared) return queueWrite(co, client, id, op, *b, kWriteDelete, 0);
        if (associated) {
            // Still in use by some thread: that thread learns of it at its xa_end.
            b->state = kRollbackOnly;
            b->rolledBack = true;
            noteAborted(co, *b);
            return reply(co, client, id, XA_OK);
        }
        forgetBranch(co, b);
        return reply(co, client, id, XA_OK);
    case kOpForget:
        if (b->state != kHeuristic) return reply(co, client, id, XAER_PROTO);
        co.stats.forgets++;
        return queueWrite(co, client, id, op, *b, kWriteDelete, 0);
    }
    reply(co, client, id, XAER_INVAL);
}

void handleRecover(Coordinator& co, Client& client, uint32_t id, Reader& r) {
    bool hasAfter = getU8(r) != 0;
    XID after{};
    getBytes(r, &after, sizeof after);
    uint32_t max = getU32(r);
    if (r.bad || max == 0 || max > kRecoverBatchMax || (hasAfter && !xidValid(after)))
        return reply(co, client, id, XAER_INVAL);
    auto it = hasAfter ? co.branches.upper_bound(client.guid + xidKey(xidCanonical(after)))
                       : co.branches.lower_bound(client.guid);
    Writer list;
    uint32_t n = 0;
    for (; it != co.branches.end() && n < max; ++it) {
        const Branch& b = *it->second;
        if (b.guid != client.guid) break;
        if (b.state != kPrepared && b.state != kHeuristic) continue;
        putBytes(list, &b.xid, sizeof(XID));
        n++;
    }
    Writer w;
    putU32(w, n);
    w.bytes += list.bytes;
    reply(co, client, id, XA_OK, w.bytes);
}

// Transaction-level calls of the COM interfaces, by uow and token.
void handleTransaction(Coordinator& co, Client& client, uint32_t id, uint16_t op, Reader& r) {
    uint8_t uow[kIdSize];
    uint8_t token[kIdSize];
    getBytes(r, uow, kIdSize);
    getBytes(r, token, kIdSize);
    if (r.bad) return reply(co, client, id, E_INVALIDARG);
    Branch* b = findUow(co, uow, token);
    if (b == nullptr) return reply(co, client, id, XACT_E_NOTRANSACTION);
    bool gone = b->aborted || b->rolledBack;
    switch (op) {
    case kOpTxInfo: {
        Writer w;
        putBytes(w, &b->xid, sizeof(XID));
        return reply(co, client, id, gone ? XACT_E_ABORTED : S_OK, w.bytes);
    }
    case kOpExport:
        if (gone) return reply(co, client, id, XACT_E_ABORTED);
        return reply(co, client, id, b->state == kLive ? S_OK : XACT_E_NOTRANSACTION);
    case kOpAbort:
        if (b->state == kPrepared || b->state == kHeuristic || b->state == kCommitting || b->busy)
            return reply(co, client, id, XACT_E_ALREADYINPROGRESS);
        if (!b->aborted && !b->rolledBack) noteAborted(co, *b);
        b->state = kRollbackOnly;
        b->aborted = true;
        return reply(co, client, id, S_OK);
    }
    reply(co, client, id, E_INVALIDARG);
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

void handleImport(Coordinator& co, Client& client, uint32_t id, uint16_t op, Reader& r) {
    HRESULT hr = S_OK;
    Branch* b = cookieBranch(co, r, &hr);
    if (b == nullptr) return reply(co, client, id, hr);
    Writer w;
    if (op == kOpCookie) {
        putRow(w, *b, wallMs());
        return reply(co, client, id, S_OK, w.bytes);
    }
    if (b->aborted || b->rolledBack) return reply(co, client, id, XACT_E_ABORTED);
    if (b->state != kLive) return reply(co, client, id, XACT_E_NOTRANSACTION);
    putBytes(w, b->uow, kIdSize);
    putBytes(w, b->token, kIdSize);
    reply(co, client, id, S_OK, w.bytes);
}

// Rows of every branch, then for each branch in the same order its
// participants: u32 n, n x (rm guid text, i32 vote, u8 connected).
void handleList(Coordinator& co, Client& client, uint32_t id) {
    Writer w;
    putU32(w, static_cast<uint32_t>(co.branches.size()));
    int64_t now = wallMs();
    for (const auto& entry : co.branches) putRow(w, *entry.second, now);
    for (const auto& entry : co.branches) {
        putU32(w, static_cast<uint32_t>(entry.second->participants.size()));
        for (const Participant& p : entry.second->participants) {
            putBytes(w, p.rmGuid.data(), kGuidText);
            putI32(w, p.vote);
            putU8(w, p.clientId != 0 ? 1 : 0);
        }
    }
    reply(co, client, id, XA_OK, w.bytes);
}

void handleRmOpen(Coordinator& co, Client& client, uint32_t id, std::string_view body) {
    std::string guid;
    if (body.size() != kGuidText || !normalizeGuid(body, &guid)) return reply(co, client, id, E_INVALIDARG);
    if (!client.rmGuid.empty() && client.rmGuid != guid) return reply(co, client, id, E_INVALIDARG);
    client.rmGuid = guid;
    reply(co, client, id, S_OK);
}

// Enlisting is possible while the branch is active or idle: not once it is
// preparing, prepared or decided (XACT_E_NOTRANSACTION), nor once it was
// rolled back (XACT_E_ABORTED).
void handleEnlist(Coordinator& co, Client& client, uint32_t id, Reader& r) {
    uint8_t uow[kIdSize];
    uint8_t token[kIdSize];
    getBytes(r, uow, kIdSize);
    getBytes(r, token, kIdSize);
    if (r.bad) return reply(co, client, id, E_INVALIDARG);
    if (client.rmGuid.empty()) return reply(co, client, id, E_UNEXPECTED);
    Branch* b = findUow(co, uow, token);
    if (b == nullptr) return reply(co, client, id, XACT_E_NOTRANSACTION);
    if (b->aborted || b->rolledBack || b->state == kRollbackOnly) return reply(co, client, id, XACT_E_ABORTED);
    if (b->state != kLive || b->busy) return reply(co, client, id, XACT_E_NOTRANSACTION);
    Participant p;
    p.id = co.nextEnlistment++;
    p.rmGuid = client.rmGuid;
    p.clientId = client.id;
    co.enlistments[p.id] = b->key;
    b->participants.push_back(p);
    co.stats.enlistments++;
    Writer w;
    putU64(w, p.id);
    reply(co, client, id, S_OK, w.bytes);
}

// The participant `enlistment` of this client, or null (with its branch).
Participant* ownParticipant(Coordinator& co, Client& client, uint64_t enlistment, Branch** branch) {
    auto it = co.enlistments.find(enlistment);
    if (it == co.enlistments.end()) return nullptr;
    Branch* b = findBranch(co, it->second);
    if (b == nullptr) return nullptr;
    for (Participant& p : b->participants) {
        if (p.id != enlistment || p.clientId != client.id) continue;
        *branch = b;
        return &p;
    }
    return nullptr;
}

void handleVote(Coordinator& co, Client& client, uint32_t id, Reader& r) {
    uint64_t enlistment = getU64(r);
    HRESULT vote = getI32(r);
    if (r.bad) return reply(co, client, id, E_INVALIDARG);
    Branch* b = nullptr;
    Participant* p = ownParticipant(co, client, enlistment, &b);
    if (p == nullptr) return reply(co, client, id, XACT_E_NOTRANSACTION); // not in this transaction
    if (p->vote != kVoteAsked || !b->phaseOne) return reply(co, client, id, E_UNEXPECTED); // not asked, or twice
    if (vote == S_OK) {
        p->vote = kVoteYes;
        co.stats.votesYes++;
    } else if (vote == XACT_S_READONLY) {
        p->vote = kVoteReadOnly;
        co.stats.votesReadOnly++;
    } else {
        p->vote = kVoteNo; // E_FAIL, E_UNEXPECTED, or a single-phase answer nobody asked for
        co.stats.votesNo++;
    }
    reply(co, client, id, S_OK);
    checkPhaseOne(co, b);
}

void handlePhaseTwoDone(Coordinator& co, Client& client, uint32_t id, Reader& r) {
    uint64_t enlistment = getU64(r);
    uint8_t commit = getU8(r);
    if (r.bad) return reply(co, client, id, E_INVALIDARG);
    Branch* b = nullptr;
    Participant* p = ownParticipant(co, client, enlistment, &b);
    if (p == nullptr) return reply(co, client, id, XACT_E_NOTRANSACTION);
    if (p->vote != kVoteYes || (commit != 0) != committedOutcome(*b)) return reply(co, client, id, E_UNEXPECTED);
    p->vote = kVoteDone;
    reply(co, client, id, S_OK);
    checkPhaseTwoDone(co, *b);
}

// A resource manager back after a failure asks for the outcome of one
// transaction it prepared. Unknown means aborted (presumed abort); in doubt
// waits for the decision (up to the time-out given, 0 for none).
void handleReenlist(Coordinator& co, Client& client, uint32_t id, Reader& r) {
    uint8_t uow[kIdSize];
    getBytes(r, uow, kIdSize);
    uint32_t timeoutMs = getU32(r);
    if (r.bad) return reply(co, client, id, E_INVALIDARG);
    if (client.rmGuid.empty()) return reply(co, client, id, E_UNEXPECTED);
    co.stats.reenlists++;
    Writer w;
    auto it = co.byUow.find(std::string(reinterpret_cast<const char*>(uow), kIdSize));
    Branch* b = it == co.byUow.end() ? nullptr : it->second;
    Participant* mine = nullptr;
    if (b != nullptr)
        for (Participant& p : b->participants)
            if (p.rmGuid == client.rmGuid && (p.vote == kVoteYes || p.vote == kVoteDone)) mine = &p;
    if (mine == nullptr) {
        putI32(w, XACTSTAT_ABORTED);
        return reply(co, client, id, S_OK, w.bytes);
    }
    mine->clientId = client.id;
    if (committedOutcome(*b) || (b->state == kHeuristic && b->heuristic == XA_HEURRB)) {
        bool committed = committedOutcome(*b);
        if (committed) mine->reenlisted = true;
        putI32(w, committed ? XACTSTAT_COMMITTED : XACTSTAT_ABORTED);
        return reply(co, client, id, S_OK, w.bytes);
    }
    WaitingReenlist waiting{client.id, id, client.rmGuid, timeoutMs != 0 ? monotonicMs() + timeoutMs : 0};
    if (waiting.deadlineMs != 0) co.deadlines.emplace(waiting.deadlineMs, b->key);
    b->waiting.push_back(std::move(waiting));
}

// The resource manager has applied every outcome Reenlist told it.
void handleReenlistDone(Coordinator& co, Client& client, uint32_t id) {
    if (client.rmGuid.empty()) return reply(co, client, id, E_UNEXPECTED);
    std::vector<std::string> touched;
    for (auto& entry : co.branches) {
        Branch& b = *entry.second;
        for (Participant& p : b.participants) {
            if (p.rmGuid != client.rmGuid || !p.reenlisted) continue;
            p.reenlisted = false;
            if (p.vote == kVoteYes) p.vote = kVoteDone;
            touched.push_back(entry.first);
        }
    }
    reply(co, client, id, S_OK);
    for (const std::string& key : touched) {
        Branch* b = findBranch(co, key);
        if (b != nullptr) checkPhaseTwoDone(co, *b);
    }
}

void handleResolve(Coordinator& co, Client& client, uint32_t id, Reader& r) {
    bool hasGuid = getU8(r) != 0;
    char guidText[kGuidText];
    getBytes(r, guidText, kGuidText);
    XID xid{};
    getBytes(r, &xid, sizeof xid);
    int32_t commit = getI32(r);
    std::string guid;
    if (r.bad || !xidValid(xid) || (hasGuid && !normalizeGuid(std::string_view(guidText, kGuidText), &guid)))
        return reply(co, client, id, XAER_INVAL);
    xid = xidCanonical(xid);
    std::string suffix = xidKey(xid);
    Branch* found = nullptr;
    int matches = 0;
    for (auto& entry : co.branches) {
        Branch& b = *entry.second;
        if (b.key.size() != kGuidText + suffix.size() || b.key.compare(kGuidText, std::string::npos, suffix) != 0)
            continue;
        if (hasGuid && b.guid != guid) continue;
        found = &b;
        matches++;
    }
    if (matches == 0) return reply(co, client, id, XAER_NOTA);
    if (matches > 1) return reply(co, client, id, XAER_DUPID); // name the GUID to choose
    if (found->state != kPrepared || found->busy) return reply(co, client, id, XAER_PROTO);
    co.stats.heuristics++;
    queueWrite(co, client, id, kOpResolve, *found, kWritePut, commit != 0 ? XA_HEURCOM : XA_HEURRB);
}

void handleStats(Coordinator& co, Client& client, uint32_t id) {
    uint64_t counts[7] = {};
    for (const auto& entry : co.branches) counts[branchState(*entry.second)]++;
    uint64_t batches = co.store->batches.load();
    uint64_t records = co.store->records.load();
    std::pair<const char*, uint64_t> rows[] = {
        {"connections", co.clients.size()},
        {"connections_accepted", co.stats.connections},
        {"connections_refused", co.stats.refused},
        {"malformed_frames", co.stats.badFrames},
        {"branches_active", counts[kStateActive]},
        {"branches_idle", counts[kStateIdle]},
        {"branches_prepared", counts[kStatePrepared]},
        {"branches_rollback_only", counts[kStateRollbackOnly]},
        {"branches_heuristic", counts[kStateHeuristic]},
        {"starts", co.stats.starts},
        {"prepares", co.stats.prepares},
        {"commits", co.stats.commits},
        {"rollbacks", co.stats.rollbacks},
        {"timeouts", co.stats.timeouts},
        {"disconnect_rollbacks", co.stats.disconnectRollbacks},
        {"heuristic_resolutions", co.stats.heuristics},
        {"forgets", co.stats.forgets},
        {"write_failures", co.stats.writeFailures},
        {"store_batches", batches},
        {"store_records", records},
        {"store_checkpoints", co.store->checkpoints.load()},
        {"branches_committing", counts[kStateCommitting]},
        {"enlistments", co.stats.enlistments},
        {"votes_yes", co.stats.votesYes},
        {"votes_read_only", co.stats.votesReadOnly},
        {"votes_no", co.stats.votesNo},
        {"phase_one_timeouts", co.stats.phaseOneTimeouts},
        {"phase_two_retries", co.stats.phaseTwoRetries},
        {"reenlists", co.stats.reenlists},
    };
    Writer w;
    putU32(w, static_cast<uint32_t>(std::size(rows)));
    for (const auto& row : rows) {
        size_t len = std::strlen(row.first);
        putU8(w, static_cast<uint8_t>(len));
        putBytes(w, row.first, len);
        putU64(w, row.second);
    }
    reply(co, client, id, XA_OK, w.bytes);
}

void handleOpen(Coordinator& co, Client& client, uint32_t id, Reader& r) {
    char guidText[kGuidText];
    getBytes(r, guidText, kGuidText);
    uint32_t timeoutMs = getU32(r);
    std::string guid;
    if (r.bad || !normalizeGuid(std::string_view(guidText, kGuidText), &guid)) return reply(co, client, id, XAER_INVAL);
    if (!client.guid.empty() && client.guid != guid) return reply(co, client, id, XAER_INVAL);
    if (client.guid.empty()) {
        client.guid = guid;
        co.guidClients[guid]++;
    }
    client.timeoutMs = timeoutMs; // a second open refreshes it
    reply(co, client, id, XA_OK);
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
        b->state = row.state == kHeuristic ? kHeuristic : row.state == kCommitting ? kCommitting : kPrepared;
        b->heuristic = b->state == kHeuristic ? row.heuristic : 0;
        b->createdMs = row.createdMs;
        Reader r = reader(row.participants);
        while (r.pos < r.size) {
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
        if (b->state == kCommitting) {
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
    case kOpImport:
    case kOpCookie: return handleImport(co, client, id, op, r);
    case kOpList: return handleList(co, client, id);
    case kOpResolve: return handleResolve(co, client, id, r);
    case kOpStats: return handleStats(co, client, id);
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
        // A one-phase commit whose decision is not on disk rolls back too:
        // XAER_RMERR tells the manager the work was rolled back.
        co.stats.rollbacks++;
        forgetBranch(co, b);
        return XAER_RMERR;
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
                b->state = kPrepared;
                b->deadlineMs = 0;
            } else if (p.op == kOpResolve) {
                b->state = kHeuristic;
                b->heuristic = p.heuristic;
                // Participants are driven to the operator's outcome.
                for (const Participant& part : b->participants)
                    if (part.vote == kVoteYes && part.clientId != 0)
                        sendNote(co, part.clientId, p.heuristic == XA_HEURCOM ? kNoteCommit : kNoteAbort, part.id);
                answerWaiting(co, *b, p.heuristic == XA_HEURCOM ? XACTSTAT_COMMITTED : XACTSTAT_ABORTED);
            } else if (p.op == kOpCommit && hasPhaseTwo(*b) && b->state != kCommitting) {
                enterCommitting(co, *b);
            } else {
                forgetBranch(co, b);
            }
        }
        if (p.clientId != 0) answerClient(co, p.clientId, p.requestId, result);
    }
}

namespace {

// A resource manager's connection closed. A participant that had not voted
// yes makes its transaction roll back; one that voted yes stays in doubt
// until it reenlists (or an operator resolves the branch).
void participantGone(Coordinator& co, Client& client) {
    std::vector<std::string> failed;
    for (const auto& [id, key] : co.enlistments) {
        Branch* b = findBranch(co, key);
        if (b == nullptr) continue;
        for (Participant& p : b->participants) {
            if (p.id != id || p.clientId != client.id) continue;
            p.clientId = 0;
            if (p.vote != kVoteNone && p.vote != kVoteAsked) continue;
            p.vote = kVoteNo;
            co.stats.votesNo++;
            if (b->phaseOne) {
                failed.push_back(key);
            } else if (b->state == kLive) {
                b->state = kRollbackOnly;
                b->aborted = true;
                noteAborted(co, *b);
            }
        }
    }
    for (const std::string& key : failed) {
        Branch* b = findBranch(co, key);
        if (b != nullptr && b->phaseOne) failPhaseOne(co, b, XA_RBROLLBACK);
    }
}

} // namespace

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
        if ((b->state == kLive || b->state == kRollbackOnly) && !b->busy && b->active == 0 && b->suspended == 0) {
            co.stats.disconnectRollbacks++;
            forgetBranch(co, b);
        }
    }
}

namespace {

// Phase-one time-out, phase-two resends and Reenlist time-outs of one branch.
void branchTimers(Coordinator& co, Branch* b, int64_t nowMs) {
    if (!b->waiting.empty()) {
        auto& w = b->waiting;
        for (size_t i = 0; i < w.size();) {
            if (w[i].deadlineMs != 0 && w[i].deadlineMs <= nowMs) {
                answerClient(co, w[i].clientId, w[i].requestId, XACT_E_REENLISTTIMEOUT);
                w.erase(w.begin() + static_cast<std::ptrdiff_t>(i));
            } else {
                ++i;
            }
        }
    }
    if (b->phaseOne && b->phaseDeadlineMs <= nowMs) {
        co.stats.phaseOneTimeouts++;
        failPhaseOne(co, b, XA_RBTIMEOUT);
        return;
    }
    if (b->state == kCommitting && b->retryMs <= nowMs) {
        for (const Participant& p : b->participants) {
            if (p.vote != kVoteYes || p.clientId == 0) continue;
            co.stats.phaseTwoRetries++;
            sendNote(co, p.clientId, kNoteCommit, p.id);
        }
        checkPhaseTwoDone(co, *b); // a delete that failed before is tried again
        b->retryMs = nowMs + kPhaseTwoRetryMs;
        co.deadlines.emplace(b->retryMs, b->key);
    }
}

} // namespace

int64_t expireBranches(Coordinator& co, int64_t nowMs) {
    while (!co.deadlines.empty() && co.deadlines.top().first <= nowMs) {
        std::string key = co.deadlines.top().second;
        co.deadlines.pop();
        Branch* b = findBranch(co, key);
        if (b == nullptr) continue;
        branchTimers(co, b, nowMs);
        b = findBranch(co, key);
        if (b == nullptr || b->state != kLive || b->busy || b->deadlineMs == 0 || b->deadlineMs > nowMs) continue;
        b->state = kRollbackOnly;
        b->aborted = true;
        noteAborted(co, *b);
        co.stats.timeouts++;
    }
    return co.deadlines.empty() ? 0 : co.deadlines.top().first;
}
