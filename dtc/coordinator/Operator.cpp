// The operator's verbs, as dtcctl sends them: list the branches and their
// participants, show the branch a cookie names, resolve a prepared branch
// heuristically, settle a participant by hand, and the counters. Run on the event-loop thread.
#include <cstring>
#include <iterator>

#include "Branches.h"
#include "contract/txdtc.h"

using namespace dtcwire;

namespace {

// The state as reported: a live branch is active or idle by its associations.
BranchState branchState(const Branch& b) {
    switch (b.state) {
    case kStateActive:
    case kStateIdle: return b.active > 0 ? kStateActive : kStateIdle;
    case kStateRollbackOnly:
    case kStatePrepared:
    case kStateHeuristic:
    case kStateCommitting: return b.state;
    }
    return b.state; // not reached: every state is a case
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

} // namespace

// Rows of every branch, then for each branch in the same order its
// participants: u32 n, n x (rm guid text, i32 vote, u8 connected, u8 name
// length, name).
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
            putU8(w, static_cast<uint8_t>(p.name.size()));
            putBytes(w, p.name.data(), p.name.size());
        }
    }
    reply(co, client, id, XA_OK, w.bytes);
}

// dtcctl cookie: the row of the branch a cookie names, whatever its state.
void handleCookie(Coordinator& co, Client& client, uint32_t id, Reader& r) {
    HRESULT hr = S_OK;
    Branch* b = cookieBranch(co, r, &hr);
    if (b == nullptr) return reply(co, client, id, hr);
    Writer w;
    putRow(w, *b, wallMs());
    reply(co, client, id, S_OK, w.bytes);
}

namespace {

// Reads "u8 has-guid, guid text, xid" and finds the one branch it names. Null
// with the answer in *code: XAER_INVAL (malformed), XAER_NOTA (none),
// XAER_DUPID (several resource managers hold that XID: name the GUID).
Branch* namedBranch(Coordinator& co, Reader& r, int32_t* code) {
    bool hasGuid = getU8(r) != 0;
    char guidText[kGuidText];
    getBytes(r, guidText, kGuidText);
    XID xid{};
    getBytes(r, &xid, sizeof xid);
    std::string guid;
    *code = XAER_INVAL;
    if (r.bad || !xidValid(xid) || (hasGuid && !normalizeGuid(std::string_view(guidText, kGuidText), &guid)))
        return nullptr;
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
    *code = matches == 0 ? XAER_NOTA : XAER_DUPID;
    return matches == 1 ? found : nullptr;
}

} // namespace

void handleResolve(Coordinator& co, Client& client, uint32_t id, Reader& r) {
    int32_t code = XA_OK;
    Branch* found = namedBranch(co, r, &code);
    int32_t commit = getI32(r);
    if (found == nullptr || r.bad) return reply(co, client, id, r.bad ? XAER_INVAL : code);
    if (found->state != kStatePrepared || found->busy) return reply(co, client, id, XAER_PROTO);
    co.stats.heuristics++;
    queueWrite(co, client, id, kOpResolve, *found, kWritePut, commit != 0 ? XA_HEURCOM : XA_HEURRB);
}

// Body: the branch as for resolve, then the participant's GUID text. The
// participants of that resource manager in a committed branch that owe their
// acknowledgement and are gone are taken as done: the operator has made sure
// their work is committed (or that there was none). XAER_PROTO when the
// branch's outcome is not commit or such a participant is connected (it
// answers for itself); XAER_NOTA when none owes anything.
void handleSettle(Coordinator& co, Client& client, uint32_t id, Reader& r) {
    int32_t code = XA_OK;
    Branch* b = namedBranch(co, r, &code);
    char rmText[kGuidText];
    getBytes(r, rmText, kGuidText);
    std::string rmGuid;
    if (r.bad || !normalizeGuid(std::string_view(rmText, kGuidText), &rmGuid)) return reply(co, client, id, XAER_INVAL);
    if (b == nullptr) return reply(co, client, id, code);
    if (!committedOutcome(*b) || b->busy) return reply(co, client, id, XAER_PROTO);
    int owing = 0;
    for (const Participant& p : b->participants) {
        if (p.rmGuid != rmGuid || p.vote != kVoteYes) continue;
        if (p.clientId != 0) return reply(co, client, id, XAER_PROTO);
        owing++;
    }
    if (owing == 0) return reply(co, client, id, XAER_NOTA);
    for (Participant& p : b->participants)
        if (p.rmGuid == rmGuid && p.vote == kVoteYes) p.vote = kVoteDone;
    co.stats.settled += static_cast<uint64_t>(owing);
    reply(co, client, id, XA_OK);
    checkPhaseTwoDone(co, *b);
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
        {"participants_settled", co.stats.settled},
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
