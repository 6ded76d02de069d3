// The transaction manager's branch verbs (xa_open, xa_start, xa_end, xa_prepare,
// xa_commit, xa_rollback, xa_forget, xa_recover, over a control connection)
// and the client library's transaction-level calls by uow and token (info,
// export, abort, import by cookie). Run on the event-loop thread; the steps of
// a branch's life they drive are listed in Coordinator.h.
#include <sys/random.h>

#include <cstring>

#include "Branches.h"
#include "contract/txdtc.h"

using namespace dtcwire;

namespace {

void fillRandom(uint8_t* out, size_t size) {
    size_t got = 0;
    while (got < size) {
        ssize_t n = getrandom(out + got, size - got, 0);
        if (n > 0) got += static_cast<size_t>(n);
    }
}

void adjustAssoc(Client& client, const std::string& key, int32_t dActive, int32_t dSuspended) {
    Assoc& a = client.assoc[key];
    a.active += dActive;
    a.suspended += dSuspended;
    if (a.active <= 0 && a.suspended <= 0) client.assoc.erase(key);
}

int32_t heuristicAnswer(const Branch& b) { return b.heuristic != 0 ? b.heuristic : XA_HEURHAZ; }

} // namespace

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
        uint8_t fresh32[2 * kIdSize]; // the transaction id and the cookie's secret, one system call
        fillRandom(fresh32, sizeof fresh32);
        std::memcpy(fresh->uow, fresh32, kIdSize);
        std::memcpy(fresh->token, fresh32 + kIdSize, kIdSize);
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
    if (b->state == kStatePrepared || b->state == kStateHeuristic || b->state == kStateCommitting || b->busy)
        return reply(co, client, id, XAER_PROTO);
    int32_t dSuspended = (flags & TMRESUME) != 0 ? -1 : 0;
    if (b->state == kStateRollbackOnly) {
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
    if (b->state == kStateRollbackOnly) {
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
    if ((flags & TMFAIL) != 0) b->state = kStateRollbackOnly;
    reply(co, client, id, XA_OK);
}

void handleCompletion(Coordinator& co, Client& client, uint32_t id, uint16_t op, const XID& xid, int32_t flags) {
    std::string key = client.guid + xidKey(xid);
    Branch* b = findBranch(co, key);
    if (b == nullptr) return reply(co, client, id, XAER_NOTA);
    // Decided and answered: the transaction manager is done with it (also
    // while its last write, the row's deletion, is in flight).
    if (b->state == kStateCommitting) return reply(co, client, id, XAER_NOTA);
    if (b->busy) return reply(co, client, id, XAER_PROTO);
    bool associated = b->active > 0 || b->suspended > 0;
    switch (op) {
    case kOpPrepare:
        if (b->state == kStateActive && !associated && !b->participants.empty())
            return startPhaseOne(co, client, id, *b, false);
        if (b->state == kStateActive && !associated) {
            co.stats.prepares++;
            return queueWrite(co, client, id, op, *b, kWritePut, 0);
        }
        if (b->state == kStateRollbackOnly && !associated) {
            co.stats.rollbacks++;
            forgetBranch(co, b);
            return reply(co, client, id, XA_RBROLLBACK);
        }
        return reply(co, client, id, XAER_PROTO);
    case kOpCommit:
        if (b->state == kStateHeuristic) return reply(co, client, id, heuristicAnswer(*b));
        if ((flags & TMONEPHASE) != 0) {
            if (associated || b->state == kStatePrepared) return reply(co, client, id, XAER_PROTO);
            if (b->state == kStateActive && !b->participants.empty()) return startPhaseOne(co, client, id, *b, true);
            int32_t result = b->state == kStateActive ? XA_OK : XA_RBROLLBACK;
            if (result == XA_OK) co.stats.commits++;
            else co.stats.rollbacks++;
            forgetBranch(co, b);
            return reply(co, client, id, result);
        }
        if (b->state != kStatePrepared) return reply(co, client, id, XAER_PROTO);
        co.stats.commits++;
        // With participants the decision is written and phase two follows.
        return queueWrite(co, client, id, op, *b, hasPhaseTwo(*b) ? kWritePut : kWriteDelete, 0);
    case kOpRollback:
        if (b->state == kStateHeuristic) return reply(co, client, id, heuristicAnswer(*b));
        co.stats.rollbacks++;
        if (b->state == kStatePrepared) return queueWrite(co, client, id, op, *b, kWriteDelete, 0);
        if (associated) {
            // Still in use by some thread: that thread learns of it at its xa_end.
            b->state = kStateRollbackOnly;
            b->rolledBack = true;
            noteAborted(co, *b);
            return reply(co, client, id, XA_OK);
        }
        forgetBranch(co, b);
        return reply(co, client, id, XA_OK);
    case kOpForget:
        if (b->state != kStateHeuristic) return reply(co, client, id, XAER_PROTO);
        co.stats.forgets++;
        // Forgetting ends what the manager sees; an outcome of commit stays
        // with dtcd (Committing) until every participant that voted yes has
        // it, or presumed abort would later tell them the opposite.
        if (b->heuristic == XA_HEURCOM && hasPhaseTwo(*b)) return queueWrite(co, client, id, op, *b, kWritePut, 0);
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
        if (b.state != kStatePrepared && b.state != kStateHeuristic) continue;
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
        return reply(co, client, id, b->state == kStateActive ? S_OK : XACT_E_NOTRANSACTION);
    case kOpAbort:
        if (b->state == kStatePrepared || b->state == kStateHeuristic || b->state == kStateCommitting || b->busy)
            return reply(co, client, id, XACT_E_ALREADYINPROGRESS);
        if (!b->aborted && !b->rolledBack) noteAborted(co, *b);
        b->state = kStateRollbackOnly;
        b->aborted = true;
        return reply(co, client, id, S_OK);
    }
    reply(co, client, id, E_INVALIDARG);
}

// Import of a transaction by its cookie (the client library's
// ITransactionReceiver): the uow and token of a live branch.
void handleImport(Coordinator& co, Client& client, uint32_t id, Reader& r) {
    HRESULT hr = S_OK;
    Branch* b = cookieBranch(co, r, &hr);
    if (b == nullptr) return reply(co, client, id, hr);
    if (b->aborted || b->rolledBack) return reply(co, client, id, XACT_E_ABORTED);
    if (b->state != kStateActive) return reply(co, client, id, XACT_E_NOTRANSACTION);
    Writer w;
    putBytes(w, b->uow, kIdSize);
    putBytes(w, b->token, kIdSize);
    reply(co, client, id, S_OK, w.bytes);
}
