// The event loop of dtcd (see Server.h). Owns the client records; every
// Coordinator field is touched from this thread only.
#include "Server.h"

#include <sys/epoll.h>
#include <sys/signalfd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstring>

#include "Metrics.h"

using namespace dtcwire;

namespace {

constexpr size_t kMaxPendingOutput = 64u << 20; // a client that reads nothing is dropped past this

// epoll data: client ids start at this value; lower values name the fixed fds.
constexpr uint64_t kListenTag = 1;
constexpr uint64_t kSignalTag = 2;
constexpr uint64_t kStoreTag = 3;
constexpr uint64_t kFirstClientId = 16;

// How long the listening socket is left unwatched after accept ran out of
// descriptors or memory: the socket stays readable meanwhile, so watching it
// would wake the loop at once, again and again, for nothing.
constexpr int64_t kAcceptPauseMs = 100;

// A lone write is committed on the loop only when no pass has seen two writes
// in flight for this long: callers that overlap (the parallel completions of
// many clients) are served better by the writer, which lets the loop read and
// answer meanwhile; callers that come one at a time by the loop itself.
constexpr int64_t kAloneAfterMs = 200;

struct Loop {
    int epollFd = -1;            // the epoll instance
    int listenFd = -1;           // listening socket
    int64_t acceptResumeMs = 0;  // monotonic time to watch listenFd again; 0 while it is watched
    bool pauseReported = false;  // the current run of exhausted accepts was reported
    uint64_t nextClientId = kFirstClientId;
    std::vector<uint64_t> closing; // clients to close after this pass
    int64_t severalWritesMs = 0;   // monotonic time a pass last saw more than one write in flight
};

void watch(Loop& loop, int fd, uint64_t tag, uint32_t events, int op) {
    epoll_event ev{};
    ev.events = events;
    ev.data.u64 = tag;
    epoll_ctl(loop.epollFd, op, fd, &ev);
}

void closeClient(Coordinator& co, Loop& loop, uint64_t id) {
    auto it = co.clients.find(id);
    if (it == co.clients.end()) return;
    Client& client = *it->second;
    epoll_ctl(loop.epollFd, EPOLL_CTL_DEL, client.fd, nullptr);
    close(client.fd);
    clientGone(co, client);
    co.clients.erase(it);
}

bool peerAllowed(int fd) {
    ucred cred{};
    socklen_t len = sizeof cred;
    if (getsockopt(fd, SOL_SOCKET, SO_PEERCRED, &cred, &len) != 0) return false;
    return cred.uid == 0 || cred.uid == getuid();
}

void acceptClients(Coordinator& co, Loop& loop) {
    for (;;) {
        int fd = accept4(loop.listenFd, nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC);
        if (fd < 0) {
            if (errno == EMFILE || errno == ENFILE || errno == ENOBUFS || errno == ENOMEM) {
                // Out of descriptors or memory: stop watching the listener
                // for a moment rather than spin on a socket that stays readable.
                if (!loop.pauseReported) {
                    std::fprintf(stderr, "dtcd: accept: %s; pausing new connections\n", std::strerror(errno));
                    loop.pauseReported = true;
                }
                watch(loop, loop.listenFd, kListenTag, 0, EPOLL_CTL_MOD);
                loop.acceptResumeMs = monotonicMs() + kAcceptPauseMs;
            }
            return; // EAGAIN, or a failure that belongs to one connection: try at the next wake-up
        }
        loop.pauseReported = false;
        if (!peerAllowed(fd)) {
            co.stats.refused++;
            close(fd);
            continue;
        }
        auto client = std::make_unique<Client>();
        client->id = loop.nextClientId++;
        client->fd = fd;
        watch(loop, fd, client->id, EPOLLIN | EPOLLRDHUP, EPOLL_CTL_ADD);
        co.stats.connections++;
        co.clients.emplace(client->id, std::move(client));
    }
}

// Handles every whole frame in the client's input. False when a frame is malformed.
bool parseFrames(Coordinator& co, Client& client) {
    size_t pos = 0;
    bool ok = true;
    while (client.in.size() - pos >= 4) {
        uint32_t length;
        std::memcpy(&length, client.in.data() + pos, 4);
        if (length < 8 || length > kMaxFrame) {
            ok = false;
            break;
        }
        if (client.in.size() - pos - 4 < length) break;
        uint32_t id;
        uint16_t op;
        std::memcpy(&id, client.in.data() + pos + 4, 4);
        std::memcpy(&op, client.in.data() + pos + 8, 2);
        std::string_view body(client.in.data() + pos + kRequestHeader, length - 8);
        handleRequest(co, client, id, op, body);
        pos += 4 + length;
    }
    client.in.erase(0, pos);
    return ok;
}

// Reads what the client has sent. A receive that does not fill the buffer has
// taken everything there was, so the loop stops without a further receive
// that could only answer EAGAIN: the epoll watch is level-triggered and
// reports the client again if more arrives meanwhile.
void readClient(Coordinator& co, Loop& loop, Client& client) {
    char buffer[65536];
    for (;;) {
        ssize_t n = recv(client.fd, buffer, sizeof buffer, 0);
        if (n > 0) {
            client.in.append(buffer, static_cast<size_t>(n));
            if (!parseFrames(co, client)) {
                co.stats.badFrames++;
                loop.closing.push_back(client.id);
                return;
            }
            if (static_cast<size_t>(n) < sizeof buffer) return;
            continue;
        }
        if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) return;
        if (n < 0 && errno == EINTR) continue;
        loop.closing.push_back(client.id); // end of stream (a part frame is dropped) or an error
        return;
    }
}

void flushClient(Coordinator& co, Loop& loop, Client& client) {
    size_t sent = 0;
    while (sent < client.out.size()) {
        ssize_t n = send(client.fd, client.out.data() + sent, client.out.size() - sent, MSG_NOSIGNAL);
        if (n > 0) {
            sent += static_cast<size_t>(n);
            continue;
        }
        if (n < 0 && errno == EINTR) continue;
        if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) break;
        loop.closing.push_back(client.id);
        return;
    }
    client.out.erase(0, sent);
    if (client.out.size() > kMaxPendingOutput) {
        loop.closing.push_back(client.id);
        return;
    }
    // Re-arm only when the need to wait for room changes: one system call saved per answer.
    bool wantWrite = !client.out.empty();
    if (wantWrite != client.wantWrite) {
        client.wantWrite = wantWrite;
        watch(loop, client.fd, client.id, EPOLLIN | EPOLLRDHUP | (wantWrite ? static_cast<uint32_t>(EPOLLOUT) : 0u),
              EPOLL_CTL_MOD);
    }
    (void)co;
}

void flushDirty(Coordinator& co, Loop& loop) {
    std::vector<uint64_t> dirty;
    dirty.swap(co.dirty);
    for (uint64_t id : dirty) {
        auto it = co.clients.find(id);
        if (it == co.clients.end()) continue;
        it->second->dirty = false;
        flushClient(co, loop, *it->second);
    }
}

} // namespace

int runServer(Coordinator& co, int listenFd, int signalFd) {
    Loop loop;
    loop.listenFd = listenFd;
    loop.epollFd = epoll_create1(EPOLL_CLOEXEC);
    if (loop.epollFd < 0) {
        std::fprintf(stderr, "dtcd: epoll_create1: %s\n", std::strerror(errno));
        return 1;
    }
    watch(loop, listenFd, kListenTag, EPOLLIN, EPOLL_CTL_ADD);
    watch(loop, signalFd, kSignalTag, EPOLLIN, EPOLL_CTL_ADD);
    watch(loop, co.store->notifyFd, kStoreTag, EPOLLIN, EPOLL_CTL_ADD);
    epoll_event events[256];
    bool running = true;
    int64_t nextDeadline = expireBranches(co, monotonicMs());
    int64_t publishAt = 0; // a branch count the metrics put off
    while (running) {
        int timeout = -1;
        int64_t wake = nextDeadline;
        if (publishAt != 0 && (wake == 0 || publishAt < wake)) wake = publishAt;
        if (loop.acceptResumeMs != 0 && (wake == 0 || loop.acceptResumeMs < wake)) wake = loop.acceptResumeMs;
        int64_t servingUntil = co.store->servingUntilMs.load(std::memory_order_relaxed);
        if (servingUntil != INT64_MAX && (wake == 0 || servingUntil < wake)) wake = servingUntil;
        if (wake != 0) {
            int64_t wait = wake - monotonicMs();
            timeout = wait <= 0 ? 0 : static_cast<int>(wait > 60000 ? 60000 : wait);
        }
        int n = epoll_wait(loop.epollFd, events, 256, timeout);
        // A coordinator sharing its store answers only while its lease is
        // surely its own: after a pause (a stopped process thawed, a store
        // that no longer answers the renewal) another may be active already.
        if (!storeMayServe(co.store, monotonicMs())) {
            std::fprintf(stderr, "dtcd: the coordinator lease was not renewed in time: stopping without answering; "
                                 "another coordinator may be active\n");
            std::fflush(stderr);
            _exit(1);
        }
        if (n < 0 && errno != EINTR) {
            std::fprintf(stderr, "dtcd: epoll_wait: %s\n", std::strerror(errno));
            close(loop.epollFd);
            return 1;
        }
        for (int i = 0; i < n; ++i) {
            uint64_t tag = events[i].data.u64;
            if (tag == kListenTag) {
                acceptClients(co, loop);
            } else if (tag == kSignalTag) {
                signalfd_siginfo info;
                while (read(signalFd, &info, sizeof info) == static_cast<ssize_t>(sizeof info)) running = false;
            } else if (tag == kStoreTag) {
                // One read takes the eventfd's whole count.
                uint64_t count;
                ssize_t taken = read(co.store->notifyFd, &count, sizeof count);
                (void)taken; // nothing to take (EAGAIN) only after a spurious wake-up
                finishWrites(co);
            } else {
                auto it = co.clients.find(tag);
                if (it == co.clients.end()) continue;
                if ((events[i].events & (EPOLLIN | EPOLLRDHUP | EPOLLHUP | EPOLLERR)) != 0)
                    readClient(co, loop, *it->second);
                if ((events[i].events & EPOLLOUT) != 0) flushClient(co, loop, *it->second);
            }
        }
        if (loop.acceptResumeMs != 0 && monotonicMs() >= loop.acceptResumeMs) {
            loop.acceptResumeMs = 0;
            watch(loop, loop.listenFd, kListenTag, EPOLLIN, EPOLL_CTL_MOD);
        }
        nextDeadline = expireBranches(co, monotonicMs());
        // The end of the pass. The answers that need no write go out first;
        // then the pass's writes are committed: here when one write is all
        // there is in flight and writes have lately come one at a time (a
        // caller that waits alone: one flush and no hand-off between
        // threads), otherwise by the writer while the loop goes on reading,
        // so that the next batch grows. Those committed here are answered at
        // once. Finishing a write may queue the next one (a participant's
        // phase two done), and closing a client may answer others and queue
        // writes too (a participant gone): the pass ends only once nothing is
        // left to close and every queued write is committed or with the writer.
        for (;;) {
            flushDirty(co, loop);
            if (!loop.closing.empty()) {
                std::vector<uint64_t> closing;
                closing.swap(loop.closing);
                for (uint64_t id : closing) closeClient(co, loop, id);
                continue;
            }
            int64_t now = monotonicMs();
            if (co.writes.size() > 1) loop.severalWritesMs = now;
            bool alone = co.writes.size() == 1 && now - loop.severalWritesMs > kAloneAfterMs;
            if (co.writes.empty() || !storeCommitQueued(co.store, alone)) break;
            finishWrites(co);
        }
        publishAt = metricsPublish(co, monotonicMs());
    }
    for (auto& entry : co.clients) close(entry.second->fd);
    co.clients.clear();
    close(loop.epollFd);
    return 0;
}
