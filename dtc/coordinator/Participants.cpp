// The resource managers enlisted in a branch's transaction (steps 3' and 4' in
// Coordinator.h): their connection (RmOpen), enlistment, phase one and its
// votes, phase two and its acknowledgements, Reenlist after a failure, and
// what happens when a participant's connection closes or a phase times out.
// Run on the event-loop thread.
#include <algorithm>

#include "Branches.h"
#include "contract/txdtc.h"

using namespace dtcwire;

bool committedOutcome(const Branch& b) {
    return b.state == kStateCommitting || (b.state == kStateHeuristic && b.heuristic == XA_HEURCOM);
}

void answerWaiting(Coordinator& co, Branch& b, int32_t stat) {
    for (const WaitingReenlist& w : b.waiting) {
        auto it = co.clients.find(w.clientId);
        if (it == co.clients.end()) continue;
        Writer body;
        putI32(body, stat);
        reply(co, *it->second, w.requestId, S_OK, body.bytes);
        for (Participant& p : b.participants)
            if (p.id == w.enlistment && stat == XACTSTAT_COMMITTED) p.reenlistedBy = w.clientId;
    }
    b.waiting.clear();
}

std::string participantsBlob(const Branch& b) {
    Writer w;
    Writer names;
    for (const Participant& p : b.participants) {
        if (p.vote != kVoteYes) continue; // only those that hold prepared work
        putBytes(w, p.rmGuid.data(), kGuidText);
        putI32(w, p.vote);
        size_t size = std::min<size_t>(p.name.size(), 255);
        putU8(names, static_cast<uint8_t>(size));
        putBytes(names, p.name.data(), size);
    }
    if (!w.bytes.empty()) {
        putU8(w, kParticipantNamesMark);
        w.bytes += names.bytes;
    }
    return std::move(w.bytes);
}

bool hasPhaseTwo(const Branch& b) {
    for (const Participant& p : b.participants)
        if (p.vote == kVoteYes) return true;
    return false;
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

namespace {

// Phase one failed (a no, a participant gone, the time-out): the branch rolls
// back, every participant that may hold work is told to abort.
void failPhaseOne(Coordinator& co, Branch* b, int32_t code) {
    co.stats.rollbacks++;
    answerClient(co, b->askClient, b->askRequest, code);
    forgetBranch(co, b);
}

} // namespace

void enterCommitting(Coordinator& co, Branch& b) {
    b.state = kStateCommitting;
    b.retryMs = monotonicMs() + kPhaseTwoRetryMs;
    co.deadlines.emplace(b.retryMs, b.key);
    for (const Participant& p : b.participants)
        if (p.vote == kVoteYes && p.clientId != 0) sendNote(co, p.clientId, kNoteCommit, p.id);
    answerWaiting(co, b, XACTSTAT_COMMITTED);
}

void checkPhaseTwoDone(Coordinator& co, Branch& b) {
    if (b.state != kStateCommitting || b.busy) return;
    for (const Participant& p : b.participants)
        if (p.vote == kVoteYes) return;
    queueWriteFor(co, 0, 0, kOpPhaseTwoDone, b, kWriteDelete, 0);
}

namespace {

// Called after each vote: decides phase one once every participant has voted.
void checkPhaseOne(Coordinator& co, Branch* b) {
    if (!b->phaseOne) return;
    // A no decides at once, whoever has not voted yet: the others are told
    // to abort rather than hold their work until they answer or time out.
    for (const Participant& p : b->participants)
        if (p.vote == kVoteNo) return failPhaseOne(co, b, XA_RBROLLBACK);
    bool allReadOnly = true;
    for (const Participant& p : b->participants) {
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

} // namespace

void handleRmOpen(Coordinator& co, Client& client, uint32_t id, std::string_view body) {
    std::string guid;
    if (body.size() < kGuidText || body.size() > kGuidText + 255 || !normalizeGuid(body.substr(0, kGuidText), &guid))
        return reply(co, client, id, E_INVALIDARG);
    if (!client.rmGuid.empty() && client.rmGuid != guid) return reply(co, client, id, E_INVALIDARG);
    client.rmGuid = guid;
    client.rmName.clear();
    for (char ch : body.substr(kGuidText)) client.rmName += (ch >= ' ' && ch < 127) ? ch : '?'; // printable for dtcctl
    client.rmOpenSeq = ++co.seq;
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
    if (b->aborted || b->rolledBack || b->state == kStateRollbackOnly) return reply(co, client, id, XACT_E_ABORTED);
    if (b->state != kStateActive || b->busy) return reply(co, client, id, XACT_E_NOTRANSACTION);
    Participant p;
    p.id = co.nextEnlistment++;
    p.rmGuid = client.rmGuid;
    p.name = client.rmName;
    p.clientId = client.id;
    co.enlistments[p.id] = b->key;
    b->participants.push_back(p);
    co.stats.enlistments++;
    Writer w;
    putU64(w, p.id);
    reply(co, client, id, S_OK, w.bytes);
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
        p->votedSeq = ++co.seq;
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
    // Only the outcome it was told: commit once decided so, abort once an
    // operator resolved the branch as rolled back. An abort acknowledged
    // before any decision would drop a prepared participant from phase two.
    bool abortedOutcome = b->state == kStateHeuristic && b->heuristic == XA_HEURRB;
    if (p->vote != kVoteYes || (commit != 0 ? !committedOutcome(*b) : !abortedOutcome))
        return reply(co, client, id, E_UNEXPECTED);
    p->vote = kVoteDone;
    reply(co, client, id, S_OK);
    checkPhaseTwoDone(co, *b);
}

// A resource manager back after a failure asks for the outcome of one
// transaction it prepared. Unknown means aborted (presumed abort). A known
// transaction answers only an outcome that is already true: decided, or
// rolled back for good; until then the call waits (up to the time-out given,
// 0 for none), also while a participant of this resource manager has not
// voted yet. A participant that is gone is taken over by this connection
// (or stays with it); one whose own connection is alive keeps it and answers
// for itself.
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
    Participant* takeover = nullptr;
    bool held = false;     // a participant of this resource manager voted yes (or is done)
    bool undecided = false; // one has not voted yet
    if (b != nullptr) {
        for (Participant& p : b->participants) {
            if (p.rmGuid != client.rmGuid) continue;
            p.namedBy = client.id;
            if (p.vote == kVoteNone || p.vote == kVoteAsked) undecided = true;
            if (p.vote != kVoteYes && p.vote != kVoteDone) continue;
            held = true;
            bool better = takeover == nullptr || (takeover->vote != kVoteYes && p.vote == kVoteYes);
            if ((p.clientId == 0 || p.clientId == client.id) && better) takeover = &p;
        }
    }
    if (b == nullptr || b->state == kStateRollbackOnly || (!held && !undecided)) {
        // Nothing of it can commit: unknown, rolled back for good, or its
        // votes were no or read-only.
        putI32(w, XACTSTAT_ABORTED);
        return reply(co, client, id, S_OK, w.bytes);
    }
    if (takeover != nullptr) takeover->clientId = client.id;
    if (committedOutcome(*b) || (b->state == kStateHeuristic && b->heuristic == XA_HEURRB)) {
        bool committed = committedOutcome(*b);
        if (committed && takeover != nullptr) takeover->reenlistedBy = client.id;
        putI32(w, committed ? XACTSTAT_COMMITTED : XACTSTAT_ABORTED);
        return reply(co, client, id, S_OK, w.bytes);
    }
    WaitingReenlist waiting{client.id, id, client.rmGuid, takeover != nullptr ? takeover->id : 0,
                            timeoutMs != 0 ? monotonicMs() + timeoutMs : 0};
    if (waiting.deadlineMs != 0) co.deadlines.emplace(waiting.deadlineMs, b->key);
    b->waiting.push_back(std::move(waiting));
}

// The resource manager has applied every outcome Reenlist told it, and holds
// nothing else in doubt. Its participants in committed transactions are done:
// those it was told of, and those that are gone, voted yes before it
// registered (so their prepared work existed when it looked) and that none
// of its Reenlists named (so it did not find them prepared).
void handleReenlistDone(Coordinator& co, Client& client, uint32_t id) {
    if (client.rmGuid.empty()) return reply(co, client, id, E_UNEXPECTED);
    std::vector<std::string> touched;
    for (auto& entry : co.branches) {
        Branch& b = *entry.second;
        if (!committedOutcome(b)) continue;
        for (Participant& p : b.participants) {
            if (p.rmGuid != client.rmGuid || p.vote != kVoteYes) continue;
            bool applied = p.reenlistedBy == client.id;
            bool settled = p.clientId == 0 && p.namedBy != client.id && p.votedSeq < client.rmOpenSeq;
            if (!applied && !settled) continue;
            p.vote = kVoteDone;
            if (settled) co.stats.settled++;
            touched.push_back(entry.first);
        }
    }
    reply(co, client, id, S_OK);
    for (const std::string& key : touched) {
        Branch* b = findBranch(co, key);
        if (b != nullptr) checkPhaseTwoDone(co, *b);
    }
}

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
            } else if (b->state == kStateActive) {
                b->state = kStateRollbackOnly;
                b->aborted = true;
                noteAborted(co, *b);
            }
        }
    }
    for (const std::string& key : failed) {
        Branch* b = findBranch(co, key);
        if (b != nullptr && b->phaseOne) failPhaseOne(co, b, XA_RBROLLBACK);
    }
    // Its Reenlists that still wait have nobody to answer: without this they
    // would stay with a branch that may stay in doubt for long, one more for
    // every reconnecting resource manager that asks again.
    for (auto& entry : co.branches) {
        std::vector<WaitingReenlist>& waiting = entry.second->waiting;
        waiting.erase(std::remove_if(waiting.begin(), waiting.end(),
                                     [&](const WaitingReenlist& w) { return w.clientId == client.id; }),
                      waiting.end());
    }
}

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
    if (b->state == kStateCommitting && b->retryMs <= nowMs) {
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
