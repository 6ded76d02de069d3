// Fuzz target: dtcd's resource-manager side (Participants.cpp) together with
// the XA verbs that make the branches participants enlist in. The input is a
// byte stream of request frames, cut as dtcd's event loop cuts them:
//   u32 length | u32 id | u16 op | u16 ctl | body
// dtcd ignores the u16 after the op; here it says what the frame is for:
//   bits 0-1  which of four connections sends it (each may open as a control
//             connection, register as a resource manager, or both)
//   bit 2     do not wait for the durable writes it queues (later requests
//             then meet the branch busy, as they may in dtcd)
//   bit 15    no request but an event: op 1 the connection closes (a fresh
//             one takes its place), op 2 time passes (body byte 0: 0 a phase-two
//             resend, 1 the phase-one time-out, 2 every time-out, 3 none),
//             op 3 the writes queued so far finish
// The request id is replaced by a serial number, so that each answer names
// one request. A transaction id no client could know (uow and token are
// random) is written as 15 zero bytes and an index: the index picks one of
// the transactions started so far (a zero token then stands for its token).
//
// Checked besides crashes and leaks, after every frame: every request is
// answered exactly once, or is still awaited by something dtcd holds (a
// write, a phase one, a waiting Reenlist); dtcd's maps and counts agree
// (DtcdHarness.cpp); a transaction is never both committed and rolled back
// as its answers and notes tell; nothing commits (an XA_OK to prepare or
// commit, a commit note, a Reenlist told committed) before every participant
// has voted yes or read-only, or once one voted no or went away before
// voting; a participant's acknowledgement is taken as the outcome it applied.
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <map>
#include <set>
#include <string>
#include <string_view>
#include <vector>

#include "DtcdHarness.h"
#include "contract/txdtc.h"

using namespace dtcwire;
using dtcdfuzz::fail;

namespace {

constexpr int kSlots = 4;
constexpr uint16_t kCtlDefer = 4;
constexpr uint16_t kCtlEvent = 0x8000;

enum Vote { kNone, kYes, kReadOnly, kNo };
enum Outcome { kOpen, kCommitted, kAborted };

// What the harness asked, for matching its answer.
struct Asked {
    uint16_t op = 0;
    std::string key;          // branch key of an XA verb ("" when its XID is not valid)
    std::string uow;          // the transaction it names (16 bytes), when known
    uint64_t enlistment = 0;  // kOpVote, kOpPhaseTwoDone
    int32_t value = 0;        // the vote, or the acknowledged outcome (1 commit)
};

struct Enlisted {
    std::string uow;
    uint64_t owner = 0; // the connection that enlisted it
    Vote vote = kNone;  // as accepted by dtcd (kNo also for gone before voting)
    bool done = false;  // phase two acknowledged
};

struct Model {
    dtcdfuzz::Session s;
    Client* slots[kSlots]{};
    std::map<uint64_t, std::map<uint32_t, Asked>> asked; // by connection id, then request id
    uint32_t nextId = 1;
    std::vector<std::pair<std::string, std::string>> txs; // (uow, token) of each start, in order
    std::map<std::string, std::string> keyUow;            // branch key -> uow of its latest start
    std::map<uint64_t, Enlisted> enlisted;
    std::map<std::string, Outcome> outcome;               // by uow
};

bool zero(std::string_view b) {
    for (char c : b)
        if (c != 0) return false;
    return true;
}

// Every participant of the transaction voted yes or read-only.
bool allVotedYes(const Model& m, const std::string& uow) {
    for (const auto& [id, e] : m.enlisted)
        if (e.uow == uow && e.vote != kYes && e.vote != kReadOnly) return false;
    return true;
}

void decided(Model& m, const std::string& uow, Outcome o, const char* how) {
    if (uow.empty()) return;
    Outcome& known = m.outcome[uow];
    if (known != kOpen && known != o) {
        std::fprintf(stderr, "dtcd fuzz: %s\n", how);
        fail("a transaction both committed and rolled back");
    }
    if (o == kCommitted && !allVotedYes(m, uow)) {
        std::fprintf(stderr, "dtcd fuzz: %s\n", how);
        fail("a commit before every participant voted yes, or after a no");
    }
    known = o;
}

// Rewrites a transaction reference in the body (see the top of this file).
void resolveReference(const Model& m, uint16_t op, std::string& body) {
    if (m.txs.empty() || body.size() < kIdSize || !zero(std::string_view(body).substr(0, kIdSize - 1))) return;
    const auto& tx = m.txs[static_cast<uint8_t>(body[kIdSize - 1]) % m.txs.size()];
    body.replace(0, kIdSize, tx.first);
    bool hasToken = op == kOpEnlist || op == kOpTxInfo || op == kOpExport || op == kOpAbort;
    if (hasToken && body.size() >= 2 * kIdSize && zero(std::string_view(body).substr(kIdSize, kIdSize)))
        body.replace(kIdSize, kIdSize, tx.second);
}

Asked describe(const Model& m, const Client& client, uint16_t op, const std::string& body) {
    Asked a;
    a.op = op;
    Reader r = reader(body);
    if (op >= kOpStart && op <= kOpForget) {
        XID xid{};
        getBytes(r, &xid, sizeof xid);
        int32_t flags = getI32(r);
        if (!r.bad && xidValid(xid)) {
            a.key = client.guid + xidKey(xidCanonical(xid));
            auto u = m.keyUow.find(a.key);
            if (u != m.keyUow.end()) a.uow = u->second;
        }
        a.value = flags;
    } else if (op == kOpEnlist || op == kOpReenlist) {
        if (body.size() >= kIdSize) a.uow = body.substr(0, kIdSize);
    } else if (op == kOpVote || op == kOpPhaseTwoDone) {
        a.enlistment = getU64(r);
        a.value = op == kOpVote ? getI32(r) : getU8(r);
    }
    return a;
}

void answered(Model& m, const Client& client, const Asked& a, const dtcdfuzz::Reply& r) {
    switch (a.op) {
    case kOpStart:
        if (r.result == XA_OK && r.body.size() == 2 * kIdSize) {
            std::string uow = r.body.substr(0, kIdSize);
            if (!a.key.empty()) m.keyUow[a.key] = uow;
            bool known = false;
            for (const auto& tx : m.txs) known = known || tx.first == uow;
            if (!known) m.txs.emplace_back(uow, r.body.substr(kIdSize));
        }
        break;
    case kOpEnlist:
        if (r.result == S_OK) {
            if (r.body.size() != 8) fail("an enlistment answered without its id");
            uint64_t id;
            std::memcpy(&id, r.body.data(), 8);
            if (m.enlisted.count(id) != 0) fail("an enlistment id given twice");
            m.enlisted[id] = Enlisted{a.uow, client.id};
        }
        break;
    case kOpVote:
        if (r.result == S_OK) {
            auto e = m.enlisted.find(a.enlistment);
            if (e == m.enlisted.end()) fail("a vote accepted for an unknown enlistment");
            if (e->second.vote != kNone) fail("a second vote accepted");
            e->second.vote = a.value == S_OK ? kYes : a.value == XACT_S_READONLY ? kReadOnly : kNo;
        }
        break;
    case kOpPhaseTwoDone:
        if (r.result == S_OK) {
            auto e = m.enlisted.find(a.enlistment);
            if (e == m.enlisted.end() || e->second.vote != kYes || e->second.done)
                fail("an acknowledgement accepted from a participant that owes none");
            e->second.done = true;
            // What a participant acknowledges is what it did with its work.
            decided(m, e->second.uow, a.value != 0 ? kCommitted : kAborted, "acknowledged by a participant");
        }
        break;
    case kOpReenlist:
        if (r.result == S_OK) {
            if (r.body.size() != 4) fail("a Reenlist answered without its outcome");
            int32_t stat;
            std::memcpy(&stat, r.body.data(), 4);
            if (stat != XACTSTAT_COMMITTED && stat != XACTSTAT_ABORTED) fail("a Reenlist answered an unknown outcome");
            if (stat == XACTSTAT_COMMITTED) decided(m, a.uow, kCommitted, "Reenlist told committed");
        } else if (!r.body.empty()) {
            fail("a refused Reenlist answered a body");
        }
        break;
    case kOpPrepare:
        if (r.result == XA_OK || r.result == XA_RDONLY) {
            if (!allVotedYes(m, a.uow)) fail("prepared before every participant voted yes");
        } else if (r.result >= XA_RBBASE && r.result <= XA_RBEND) {
            decided(m, a.uow, kAborted, "prepare answered a rollback");
        }
        break;
    case kOpCommit:
        if (r.result == XA_OK) decided(m, a.uow, kCommitted, "commit answered XA_OK");
        else if (r.result >= XA_RBBASE && r.result <= XA_RBEND) decided(m, a.uow, kAborted, "commit answered a rollback");
        break;
    case kOpRollback:
        if (r.result == XA_OK) decided(m, a.uow, kAborted, "rollback answered XA_OK");
        break;
    }
}

void noted(Model& m, const Client& client, const dtcdfuzz::Reply& r) {
    if (r.result == kNoteTxAborted) return;
    uint64_t id;
    std::memcpy(&id, r.body.data(), 8);
    auto e = m.enlisted.find(id);
    if (e == m.enlisted.end()) fail("a note for an unknown enlistment");
    (void)client;
    if (r.result == kNotePrepare) {
        if (e->second.vote != kNone) fail("phase one asked of a participant that has voted");
    } else if (r.result == kNoteCommit) {
        if (e->second.vote != kYes) fail("phase two sent to a participant that did not vote yes");
        decided(m, e->second.uow, kCommitted, "commit note");
    } else if (r.result == kNoteAbort && e->second.vote == kYes && !e->second.done) {
        decided(m, e->second.uow, kAborted, "abort note to a prepared participant");
    }
}

// Takes every connection's output and reads it in an order that keeps cause
// before effect across connections: first the answers to the participants'
// own requests (a vote is answered before what it sets off), then the other
// answers, then the notes. Then compares what is still unanswered with what
// dtcd still holds to answer.
void collect(Model& m) {
    std::vector<std::pair<Client*, dtcdfuzz::Reply>> frames[3];
    for (Client* client : m.slots) {
        dtcdfuzz::Reply r;
        while (dtcdfuzz::takeFrame(client, &r)) {
            if (r.id == 0) {
                frames[2].emplace_back(client, r);
                continue;
            }
            auto& mine = m.asked[client->id];
            auto a = mine.find(r.id);
            if (a == mine.end()) fail("an answer to no request, or a second one");
            uint16_t op = a->second.op;
            bool own = op == kOpEnlist || op == kOpVote || op == kOpPhaseTwoDone;
            frames[own ? 0 : 1].emplace_back(client, r);
        }
    }
    for (int pass = 0; pass < 2; ++pass) {
        for (const auto& [client, r] : frames[pass]) {
            auto& mine = m.asked[client->id];
            auto a = mine.find(r.id);
            Asked asked = a->second;
            mine.erase(a);
            answered(m, *client, asked, r);
        }
    }
    for (const auto& [client, r] : frames[2]) noted(m, *client, r);

    const Coordinator& co = m.s.co;
    std::map<uint64_t, std::set<uint32_t>> held;
    for (const auto& [tag, w] : co.writes)
        if (w.clientId != 0) held[w.clientId].insert(w.requestId);
    for (const auto& [key, b] : co.branches) {
        if (b->phaseOne) held[b->askClient].insert(b->askRequest);
        for (const WaitingReenlist& w : b->waiting) held[w.clientId].insert(w.requestId);
    }
    for (Client* client : m.slots) {
        std::set<uint32_t> waiting;
        for (const auto& [id, a] : m.asked[client->id]) waiting.insert(id);
        if (waiting != held[client->id]) fail("a request went unanswered");
    }
}

void closeSlot(Model& m, int slot) {
    Client* gone = m.slots[slot];
    m.asked.erase(gone->id);
    // A participant gone before voting counts as a no.
    for (auto& [id, e] : m.enlisted)
        if (e.owner == gone->id && e.vote == kNone) e.vote = kNo;
    dtcdfuzz::disconnect(&m.s, gone);
    m.slots[slot] = dtcdfuzz::connect(&m.s);
}

void event(Model& m, int slot, uint16_t op, std::string_view body) {
    switch (op) {
    case 1: return closeSlot(m, slot);
    case 2: {
        uint8_t which = body.empty() ? 0 : static_cast<uint8_t>(body[0]) % 4;
        int64_t ahead = which == 0   ? kPhaseTwoRetryMs + 1
                        : which == 1 ? m.s.co.prepareTimeoutMs + 1
                        : which == 2 ? int64_t{1} << 40
                                     : 0;
        return dtcdfuzz::timers(&m.s, ahead);
    }
    case 3: return dtcdfuzz::settle(&m.s);
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    Model m;
    dtcdfuzz::begin(&m.s);
    m.slots[0] = m.s.client;
    for (int i = 1; i < kSlots; ++i) m.slots[i] = dtcdfuzz::connect(&m.s);
    std::string_view in(reinterpret_cast<const char*>(data), size);
    size_t pos = 0;
    while (in.size() - pos >= 4) {
        uint32_t length;
        std::memcpy(&length, in.data() + pos, 4);
        if (length < 8 || length > kMaxFrame) break; // dtcd closes the connection here
        if (in.size() - pos - 4 < length) break;
        uint16_t op;
        uint16_t ctl;
        std::memcpy(&op, in.data() + pos + 8, 2);
        std::memcpy(&ctl, in.data() + pos + 10, 2);
        std::string body(in.substr(pos + kRequestHeader, length - 8));
        pos += 4 + length;
        int slot = ctl & 3;
        if ((ctl & kCtlEvent) != 0) {
            event(m, slot, op, body);
        } else {
            Client* client = m.slots[slot];
            resolveReference(m, op, body);
            uint32_t id = m.nextId++;
            m.asked[client->id][id] = describe(m, *client, op, body);
            dtcdfuzz::handle(&m.s, client, id, op, body);
            if ((ctl & kCtlDefer) == 0) dtcdfuzz::settle(&m.s);
            else dtcdfuzz::check(&m.s);
        }
        collect(m);
    }
    dtcdfuzz::settle(&m.s);
    collect(m);
    dtcdfuzz::end(&m.s);
    return 0;
}
