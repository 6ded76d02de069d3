// The dtcd fuzz harness (see DtcdHarness.h).
#include "DtcdHarness.h"

#include <poll.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <memory>
#include <set>
#include <vector>

namespace dtcdfuzz {

using namespace dtcwire;

void fail(const char* what) {
    std::fprintf(stderr, "dtcd fuzz: %s\n", what);
    std::abort();
}

namespace {

constexpr uint64_t kClientId = 16;

std::string temporaryDirectory() {
    // Memory-backed when there is one: every prepare is an fsync.
    const char* base = access("/dev/shm", W_OK) == 0 ? "/dev/shm" : (getenv("TMPDIR") ? getenv("TMPDIR") : "/tmp");
    std::string pattern = std::string(base) + "/dtcd-fuzz-XXXXXX";
    if (mkdtemp(pattern.data()) == nullptr) fail("mkdtemp");
    return pattern;
}

struct OpenStore {
    Store store;
    std::string dir;
    uint8_t instance[16]{};
    OpenStore() {
        dir = temporaryDirectory();
        std::string error;
        if (!storeOpen(&store, dir, false, instance, &error)) fail(error.c_str());
        if (!storeStart(&store)) fail("storeStart");
    }
    ~OpenStore() {
        storeClose(&store);
        std::string db = dir + "/dtcd.db";
        for (const char* suffix : {"", "-wal", "-shm"}) unlink((db + suffix).c_str());
        rmdir(dir.c_str());
    }
};

OpenStore& openStore() {
    static OpenStore s;
    return s;
}

void waitWrites(Session* s) {
    while (!s->co.writes.empty()) {
        if (storeCommitQueued(s->co.store, true)) {
            finishWrites(s->co);
            continue;
        }
        pollfd p{s->co.store->notifyFd, POLLIN, 0};
        int ready = poll(&p, 1, 30000);
        if (ready < 0 && errno == EINTR) continue; // libFuzzer's SIGALRM, not a time-out
        if (ready <= 0) {
            platform::MutexLock lock(s->co.store->mu);
            std::fprintf(stderr, "dtcd fuzz: %zu writes pending, %zu queued, %zu done\n", s->co.writes.size(),
                         s->co.store->queue.size(), s->co.store->done.size());
            fail("a durable write never finished");
        }
        uint64_t count;
        while (read(s->co.store->notifyFd, &count, sizeof count) > 0) {
        }
        finishWrites(s->co);
    }
}

bool voteKnown(int32_t v) { return v >= kVoteNone && v <= kVoteDone; }

// The votes a branch's participants may hold in its state.
bool voteFits(const Branch& b, int32_t v) {
    switch (b.state) {
    case kStateActive:
        // Phase one asks every participant; a no ends it at once. Once all
        // have voted, the prepared row is written (busy, phase one over).
        if (b.phaseOne) return v == kVoteAsked || v == kVoteYes || v == kVoteReadOnly;
        if (b.busy) return v == kVoteYes || v == kVoteReadOnly;
        return v == kVoteNone;
    case kStateRollbackOnly: return v == kVoteNone || v == kVoteNo;
    case kStatePrepared: return v == kVoteYes || v == kVoteReadOnly;
    default: return v == kVoteYes || v == kVoteReadOnly || v == kVoteDone;
    }
}

} // namespace

void check(const Session* s) {
    const Coordinator& co = s->co;
    if (co.byUow.size() != co.branches.size()) fail("byUow and branches differ in size");
    std::set<std::string> writing;
    for (const auto& [tag, w] : co.writes) writing.insert(w.key);
    // Associations as the clients hold them, summed per branch.
    std::map<std::string, std::pair<int32_t, int32_t>> held;
    for (const auto& [id, client] : co.clients) {
        if (client->id != id) fail("client filed under another id");
        for (const auto& [key, a] : client->assoc) {
            if (a.active < 0 || a.suspended < 0) fail("negative client association");
            if (co.branches.count(key) == 0) fail("a client holds an association with no branch");
            held[key].first += a.active;
            held[key].second += a.suspended;
        }
    }
    // Each GUID counts exactly its open control connections.
    std::map<std::string, int32_t> guids;
    for (const auto& [id, client] : co.clients)
        if (!client->guid.empty()) guids[client->guid]++;
    if (guids.size() != co.guidClients.size()) fail("a GUID counted without a control connection");
    for (const auto& [guid, count] : guids) {
        auto c = co.guidClients.find(guid);
        if (c == co.guidClients.end() || c->second != count) fail("a GUID's control connections miscounted");
    }
    size_t participants = 0;
    for (const auto& [key, b] : co.branches) {
        if (b->key != key || key != b->guid + xidKey(b->xid)) fail("branch key is not guid + XID");
        if (!xidValid(b->xid)) fail("a branch holds an invalid XID");
        auto u = co.byUow.find(std::string(reinterpret_cast<const char*>(b->uow), kIdSize));
        if (u == co.byUow.end() || u->second != b.get()) fail("byUow does not point at the branch");
        if (b->state != kStateActive && b->state != kStateRollbackOnly && b->state != kStatePrepared &&
            b->state != kStateHeuristic && b->state != kStateCommitting)
            fail("branch in an unknown state");
        if (b->active < 0 || b->suspended < 0) fail("negative association count");
        auto h = held.find(key);
        std::pair<int32_t, int32_t> sum = h == held.end() ? std::pair<int32_t, int32_t>{0, 0} : h->second;
        if (sum.first != b->active || sum.second != b->suspended)
            fail("a branch's association counts differ from what its clients hold");
        if (b->busy != (b->phaseOne || writing.count(key) != 0))
            fail(b->busy ? "a branch stays busy after its write finished" : "a branch is written while not busy");
        if (b->phaseOne && b->state != kStateActive) fail("phase one of a branch that is not live");
        if (b->state != kStateActive && b->state != kStateRollbackOnly && (b->active != 0 || b->suspended != 0))
            fail("a prepared branch still has associations");
        bool owed = false;
        for (const Participant& p : b->participants) {
            ++participants;
            auto e = co.enlistments.find(p.id);
            if (e == co.enlistments.end() || e->second != key) fail("a participant missing from the enlistments");
            if (!voteKnown(p.vote) || !voteFits(*b, p.vote)) {
                std::fprintf(stderr, "dtcd fuzz: vote %d in state %d (phase one %d, busy %d)\n", p.vote, b->state,
                             b->phaseOne, b->busy);
                fail("a participant's vote does not fit its branch");
            }
            if (p.vote == kVoteYes) owed = true;
            if (p.clientId != 0) {
                auto c = co.clients.find(p.clientId);
                if (c == co.clients.end()) fail("a participant held by a connection that is gone");
                if (c->second->rmGuid != p.rmGuid) fail("a participant held by another resource manager");
            }
        }
        if (b->state == kStateCommitting && !owed && !b->busy)
            fail("a committing branch nobody owes an acknowledgement is not being deleted");
        for (const WaitingReenlist& w : b->waiting)
            if (co.clients.count(w.clientId) == 0) fail("a Reenlist of a connection that is gone still waits");
    }
    if (co.enlistments.size() != participants) fail("enlistments that belong to no participant");
}

Store* store() { return &openStore().store; }

void begin(Session* s) {
    OpenStore& o = openStore();
    s->co.store = &o.store;
    std::memcpy(s->co.instance, o.instance, sizeof o.instance);
    auto client = std::make_unique<Client>();
    client->id = kClientId;
    client->fd = -1;
    s->client = client.get();
    s->co.clients.emplace(kClientId, std::move(client));
}

void request(Session* s, uint32_t id, uint16_t op, std::string_view body) {
    handleRequest(s->co, *s->client, id, op, body);
    ++s->requests;
    waitWrites(s);
    check(s);
}

bool frames(Session* s, std::string_view in) {
    size_t pos = 0;
    while (in.size() - pos >= 4) {
        uint32_t length;
        std::memcpy(&length, in.data() + pos, 4);
        if (length < 8 || length > kMaxFrame) return false;
        if (in.size() - pos - 4 < length) break;
        uint32_t id;
        uint16_t op;
        std::memcpy(&id, in.data() + pos + 4, 4);
        std::memcpy(&op, in.data() + pos + 8, 2);
        // Id 0 marks what dtcd sends unasked (notes); a client never uses it
        // for a request, so the harness does not either.
        if (id == 0) id = 1;
        request(s, id, op, in.substr(pos + kRequestHeader, length - 8));
        pos += 4 + length;
    }
    return true;
}

bool takeFrame(Client* client, Reply* out) {
    std::string& o = client->out;
    if (o.empty()) return false;
    if (o.size() < kReplyHeader) fail("reply shorter than its header");
    uint32_t length;
    std::memcpy(&length, o.data(), 4);
    if (length < 8 || o.size() - 4 < length) fail("reply length does not match its bytes");
    std::memcpy(&out->id, o.data() + 4, 4);
    std::memcpy(&out->result, o.data() + 8, 4);
    out->body.assign(o, kReplyHeader, length - 8);
    o.erase(0, 4 + length);
    if (out->id == 0) {
        // A note: a request to a resource manager, or an abort told to an
        // associated control connection.
        size_t size = out->result == kNoteTxAborted ? kIdSize : out->result == kNotePrepare ? 9 : 8;
        if (out->result < kNotePrepare || out->result > kNoteTxAborted || out->body.size() != size)
            fail("a note of an unknown kind or size");
    }
    return true;
}

bool nextReply(Session* s, Reply* out) {
    for (;;) {
        if (!takeFrame(s->client, out)) return false;
        if (out->id != 0) break;
    }
    ++s->replies;
    return true;
}

Client* connect(Session* s) {
    auto client = std::make_unique<Client>();
    client->id = s->nextClientId++;
    client->fd = -1;
    Client* c = client.get();
    s->co.clients.emplace(c->id, std::move(client));
    return c;
}

void disconnect(Session* s, Client* client) {
    clientGone(s->co, *client);
    if (client == s->client) s->client = nullptr;
    s->co.clients.erase(client->id);
    check(s);
}

void handle(Session* s, Client* client, uint32_t id, uint16_t op, std::string_view body) {
    handleRequest(s->co, *client, id, op, body);
}

void settle(Session* s) {
    waitWrites(s);
    check(s);
}

void timers(Session* s, int64_t aheadMs) {
    expireBranches(s->co, monotonicMs() + aheadMs);
    check(s);
}

void end(Session* s) {
    // Every request has had exactly one answer by now.
    if (s->client != nullptr) {
        Reply r;
        while (nextReply(s, &r)) {
        }
        if (s->replies != s->requests) fail("a request got no answer, or more than one");
    }
    settle(s);
    timers(s, int64_t{1} << 40);
    std::vector<Client*> open;
    for (const auto& [id, client] : s->co.clients) open.push_back(client.get());
    for (Client* client : open) disconnect(s, client);
    // Phase one of a branch whose participants are all gone has failed by now;
    // what its writes leave is checked once they are done.
    timers(s, int64_t{1} << 40);
    settle(s);
    if (!s->co.guidClients.empty()) fail("a GUID counts a control connection that is gone");
    for (const auto& [key, b] : s->co.branches) {
        bool owed = false;
        for (const Participant& p : b->participants) owed = owed || p.vote == kVoteYes;
        if (b->state != kStatePrepared && b->state != kStateHeuristic && !(b->state == kStateCommitting && owed))
            fail("an unprepared branch outlived its client");
    }
    // Remove the rows written for this input (a rollback's delete forgets the
    // branch whatever it was).
    for (const auto& [key, b] : s->co.branches) {
        StoreWrite w;
        w.kind = kWriteDelete;
        w.row.guid = b->guid;
        w.row.xid = b->xid;
        w.tag = s->co.nextTag++;
        s->co.writes[w.tag] = PendingWrite{0, 0, kOpRollback, b->key, 0};
        b->busy = true;
        storeSubmit(s->co.store, std::move(w));
    }
    waitWrites(s);
    if (!s->co.branches.empty() || !s->co.enlistments.empty()) fail("stored rows not cleaned up");
}

} // namespace dtcdfuzz
