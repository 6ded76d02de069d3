// The multiplexed connection to dtcd (see Connection.h). Threads: any caller
// thread sends, and waits or reads; a connection that takes notes has one
// detached reader thread, which holds a reference, so the record lives until
// both the owner has dropped it and the reader has seen the end of the stream.
//
// The reading role (Connection::reading, under mu) is held by one thread at a
// time; only its holder touches `in` and `chunk`, and only its holder marks
// the connection lost while it is held.
#include "Connection.h"

#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <thread>

#include "Wire.h"

using namespace dtcwire;

namespace {

constexpr size_t kChunk = 65536; // one receive takes up to this much: many answers, one system call
// Abort notes are forgotten when the process drops the branch; one that came
// for a branch already dropped stays. Past this many the connection stops
// answering from notes (connectionCatchUp answers false) rather than grow.
constexpr size_t kMaxAbortNotes = 4096;

// Applies a note that dtcd sent a control connection. Takes c.mu.
void applyNote(Connection& c, int32_t kind, std::string_view body) {
    if (kind != kNoteTxAborted || body.size() != kIdSize) return;
    platform::MutexLock lock(c.mu);
    if (c.abortedOverflow) return;
    c.aborted.emplace(body);
    if (c.aborted.size() > kMaxAbortNotes) {
        c.aborted.clear();
        c.abortedOverflow = true;
    }
}

// Marks the connection lost and wakes every waiter. Needs c.mu.
void markLostLocked(Connection& c) REQUIRES(c.mu) {
    c.dead = true;
    for (auto& [id, waiter] : c.pending) {
        waiter->lost = true;
        waiter->done = true;
        waiter->cv.notify_one();
    }
    c.pending.clear();
}

// Hands one answer to its waiter. Takes c.mu.
void deliver(Connection& c, uint32_t id, int32_t result, std::string body) {
    platform::MutexLock lock(c.mu);
    auto it = c.pending.find(id);
    if (it == c.pending.end()) return; // nobody waits (cannot happen with a sound daemon)
    Waiter* waiter = it->second;
    c.pending.erase(it);
    waiter->result = result;
    waiter->body = std::move(body);
    waiter->done = true;
    waiter->cv.notify_one();
}

// What readOnce did.
constexpr int kRead = 1;     // received and handed out
constexpr int kNothing = 0;  // nothing to receive (only without waiting)
constexpr int kEnded = -1;   // end of the stream, an error or a malformed frame

// Receives once (waiting for data, or not) and hands out every whole frame
// received: notes to onNote (or, without one, applyNote), answers to their
// waiters. Needs the reading role, not c.mu.
int readOnce(Connection& c, bool wait = true) EXCLUDES(c.mu) {
    ssize_t n;
    do {
        n = recv(c.fd, c.chunk.get(), kChunk, wait ? 0 : MSG_DONTWAIT);
    } while (n < 0 && errno == EINTR);
    if (n < 0 && !wait && (errno == EAGAIN || errno == EWOULDBLOCK)) return kNothing;
    if (n <= 0) return kEnded;
    c.in.append(c.chunk.get(), static_cast<size_t>(n));
    size_t pos = 0;
    bool ok = true;
    while (c.in.size() - pos >= kReplyHeader) {
        uint32_t length;
        uint32_t id;
        int32_t result;
        std::memcpy(&length, c.in.data() + pos, 4);
        std::memcpy(&id, c.in.data() + pos + 4, 4);
        std::memcpy(&result, c.in.data() + pos + 8, 4);
        if (length < 8 || length > kMaxFrame) {
            ok = false;
            break;
        }
        if (c.in.size() - pos - 4 < length) break;
        if (id == 0) {
            if (c.onNote) {
                c.onNote(result, c.in.substr(pos + kReplyHeader, length - 8));
            } else {
                applyNote(c, result, std::string_view(c.in).substr(pos + kReplyHeader, length - 8));
            }
        } else {
            deliver(c, id, result, c.in.substr(pos + kReplyHeader, length - 8));
        }
        pos += 4 + length;
    }
    c.in.erase(0, pos);
    return ok ? kRead : kEnded;
}

// The reader thread of a connection that takes notes: it holds the reading
// role for the connection's whole life.
void readerLoop(ConnectionRef c) {
    while (readOnce(*c) == kRead) {
    }
    shutdown(c->fd, SHUT_RDWR);
    {
        platform::MutexLock lock(c->mu);
        markLostLocked(*c);
    }
    if (c->onNote) c->onNote(kNoteLost, {});
}

// Gives the reading role back (c.mu held): marks the connection lost when the
// reading ended it, and wakes a thread that still waits to take the role over.
void giveUpReading(Connection& c, bool ok) REQUIRES(c.mu) {
    c.reading = false;
    if (!ok) {
        shutdown(c.fd, SHUT_RDWR);
        markLostLocked(c);
    }
    if (!c.pending.empty()) c.pending.begin()->second->cv.notify_one();
}

} // namespace

Connection::~Connection() {
    if (fd >= 0) close(fd);
}

ConnectionRef connectionOpen(NoteHandler onNote) {
    sockaddr_un addr{};
    uint32_t length = 0;
    std::string name;
    if (!socketAddress(&addr, &length, &name)) return nullptr;
    int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) return nullptr;
    auto c = std::make_shared<Connection>();
    c->fd = fd;
    c->chunk.reset(new (std::nothrow) char[kChunk]);
    if (c->chunk == nullptr) return nullptr;
    c->onNote = std::move(onNote);
    if (connect(fd, reinterpret_cast<sockaddr*>(&addr), length) != 0) return nullptr;
    if (c->onNote) {
        {
            platform::MutexLock lock(c->mu); // not shared yet; taken for the analysis's sake
            c->reading = true;                // the reader thread's for good
        }
        try {
            std::thread(readerLoop, c).detach();
        } catch (...) {
            return nullptr;
        }
    }
    int32_t result = 0;
    std::string body;
    if (!connectionCall(*c, kOpHello, {}, &result, &body) || result != 0 || body.size() != kIdSize) {
        connectionShutdown(*c);
        return nullptr;
    }
    std::memcpy(c->instance, body.data(), kIdSize);
    return c;
}

bool connectionCall(Connection& c, uint16_t op, std::string_view body, int32_t* result, std::string* replyBody) {
    Waiter waiter;
    uint32_t id;
    {
        platform::MutexLock lock(c.mu);
        if (c.dead) return false;
        id = c.nextId++;
        if (id == 0) id = c.nextId++;
        c.pending[id] = &waiter;
    }
    std::string frame = requestFrame(id, op, body);
    bool sent = true;
    {
        platform::MutexLock lock(c.sendMu);
        size_t done = 0;
        while (done < frame.size()) {
            ssize_t n = send(c.fd, frame.data() + done, frame.size() - done, MSG_NOSIGNAL);
            if (n > 0) {
                done += static_cast<size_t>(n);
            } else if (n < 0 && errno == EINTR) {
                continue;
            } else {
                sent = false;
                break;
            }
        }
    }
    if (!sent) shutdown(c.fd, SHUT_RDWR); // whoever reads sees the end and wakes every waiter, this one included
    platform::MutexLock lock(c.mu);
    while (!waiter.done) {
        if (c.reading) {
            platform::condWait(waiter.cv, c.mu); // woken with the answer, or to take the reading role over
            continue;
        }
        // Nobody reads: this thread does, until its own answer has come.
        c.reading = true;
        bool ok = true;
        while (ok && !waiter.done) {
            c.mu.unlock();
            ok = readOnce(c) == kRead;
            c.mu.lock();
        }
        giveUpReading(c, ok);
    }
    if (waiter.lost) return false;
    *result = waiter.result;
    if (replyBody != nullptr) *replyBody = std::move(waiter.body);
    return true;
}

void connectionShutdown(Connection& c) { shutdown(c.fd, SHUT_RDWR); }

bool connectionAlive(Connection& c) {
    platform::MutexLock lock(c.mu);
    if (c.dead) return false;
    // Whoever reads sees a loss as it happens, after the answers that came
    // before it; a caller that has sent and not yet started to read will.
    if (c.reading || !c.pending.empty()) return true;
    // Nobody reads or waits: ask the socket whether dtcd (or connectionShutdown) ended it.
    pollfd p{c.fd, POLLRDHUP, 0};
    int n;
    do {
        n = poll(&p, 1, 0);
    } while (n < 0 && errno == EINTR);
    if (n > 0 && (p.revents & (POLLRDHUP | POLLHUP | POLLERR)) != 0) {
        markLostLocked(c);
        return false;
    }
    return true;
}

bool connectionKnownLost(Connection& c) {
    platform::MutexLock lock(c.mu);
    return c.dead;
}

bool connectionCatchUp(Connection& c) {
    platform::MutexLock lock(c.mu);
    if (c.dead) return true;
    if (c.reading || c.abortedOverflow) return false;
    c.reading = true;
    int got = kRead;
    while (got == kRead) {
        c.mu.unlock();
        got = readOnce(c, false);
        c.mu.lock();
    }
    giveUpReading(c, got != kEnded);
    return !c.abortedOverflow;
}

bool connectionNotedAborted(Connection& c, const uint8_t* uow) {
    platform::MutexLock lock(c.mu);
    return c.aborted.count(std::string(reinterpret_cast<const char*>(uow), kIdSize)) != 0;
}

void connectionForgetNote(Connection& c, const uint8_t* uow) {
    platform::MutexLock lock(c.mu);
    if (!c.aborted.empty()) c.aborted.erase(std::string(reinterpret_cast<const char*>(uow), kIdSize));
}
