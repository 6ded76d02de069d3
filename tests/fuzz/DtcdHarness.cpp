// The dtcd fuzz harness (see DtcdHarness.h).
#include "DtcdHarness.h"

#include <poll.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>

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

void check(const Session* s) {
    const Coordinator& co = s->co;
    if (co.byUow.size() != co.branches.size()) fail("byUow and branches differ in size");
    for (const auto& [key, b] : co.branches) {
        if (b->key != key || key != b->guid + xidKey(b->xid)) fail("branch key is not guid + XID");
        if (!xidValid(b->xid)) fail("a branch holds an invalid XID");
        auto u = co.byUow.find(std::string(reinterpret_cast<const char*>(b->uow), kIdSize));
        if (u == co.byUow.end() || u->second != b.get()) fail("byUow does not point at the branch");
        if (b->state != kStateActive && b->state != kStateRollbackOnly && b->state != kStatePrepared &&
            b->state != kStateHeuristic)
            fail("branch in an unknown state");
        if (b->active < 0 || b->suspended < 0) fail("negative association count");
        if (b->busy) fail("a branch stays busy after its write finished");
        if ((b->state == kStatePrepared || b->state == kStateHeuristic) && (b->active != 0 || b->suspended != 0))
            fail("a prepared branch still has associations");
    }
    for (const auto& [key, held] : s->client->assoc) {
        if (held.active < 0 || held.suspended < 0) fail("negative client association");
    }
}

} // namespace

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

bool nextReply(Session* s, Reply* out) {
    std::string& o = s->client->out;
    for (;;) {
        if (o.empty()) return false;
        if (o.size() < kReplyHeader) fail("reply shorter than its header");
        uint32_t length;
        std::memcpy(&length, o.data(), 4);
        if (length < 8 || o.size() - 4 < length) fail("reply length does not match its bytes");
        std::memcpy(&out->id, o.data() + 4, 4);
        std::memcpy(&out->result, o.data() + 8, 4);
        out->body.assign(o, kReplyHeader, length - 8);
        o.erase(0, 4 + length);
        if (out->id != 0) break;
        // A note (an abort told to an associated control connection) answers no request.
        if (out->result != kNoteTxAborted || out->body.size() != kIdSize) fail("a note of an unknown kind or size");
    }
    ++s->replies;
    return true;
}

void end(Session* s) {
    // Every request has had exactly one answer by now.
    Reply r;
    while (nextReply(s, &r)) {
    }
    if (s->replies != s->requests) fail("a request got no answer, or more than one");

    expireBranches(s->co, monotonicMs() + (int64_t{1} << 40));
    check(s);
    clientGone(s->co, *s->client);
    for (const auto& [key, b] : s->co.branches) {
        if (b->state != kStatePrepared && b->state != kStateHeuristic) fail("an unprepared branch outlived its client");
    }
    // Remove the rows written for this input.
    for (const auto& [key, b] : s->co.branches) {
        StoreWrite w;
        w.kind = kWriteDelete;
        w.row.guid = b->guid;
        w.row.xid = b->xid;
        w.tag = s->co.nextTag++;
        s->co.writes[w.tag] = PendingWrite{0, 0, kOpForget, b->key, 0};
        storeSubmit(s->co.store, std::move(w));
    }
    waitWrites(s);
    if (!s->co.branches.empty()) fail("stored rows not cleaned up");
}

} // namespace dtcdfuzz
