// The multiplexed connection to dtcd (see Connection.h). Threads: any caller
// thread sends and waits; one detached reader thread per connection receives.
// The reader holds a reference, so the record lives until both the owner has
// dropped it and the reader has seen the end of the stream.
#include "Connection.h"

#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <thread>

#include "Wire.h"

using namespace dtcwire;

namespace {

void markLost(Connection& c) {
    std::lock_guard lock(c.mu);
    c.dead = true;
    for (auto& [id, waiter] : c.pending) {
        waiter->lost = true;
        waiter->done = true;
        waiter->cv.notify_one();
    }
    c.pending.clear();
}

// Hands one reply to its waiter.
void deliver(Connection& c, uint32_t id, int32_t result, std::string body) {
    std::lock_guard lock(c.mu);
    auto it = c.pending.find(id);
    if (it == c.pending.end()) return; // nobody waits (cannot happen with a sound daemon)
    Waiter* waiter = it->second;
    c.pending.erase(it);
    waiter->result = result;
    waiter->body = std::move(body);
    waiter->done = true;
    waiter->cv.notify_one();
}

// Reads in large pieces and hands out every whole reply in them, so that many
// answers cost one system call.
void readerLoop(ConnectionRef c) {
    std::string in;
    char buffer[65536];
    bool ok = true;
    while (ok) {
        ssize_t n = recv(c->fd, buffer, sizeof buffer, 0);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) break;
        in.append(buffer, static_cast<size_t>(n));
        size_t pos = 0;
        while (in.size() - pos >= kReplyHeader) {
            uint32_t length;
            uint32_t id;
            int32_t result;
            std::memcpy(&length, in.data() + pos, 4);
            std::memcpy(&id, in.data() + pos + 4, 4);
            std::memcpy(&result, in.data() + pos + 8, 4);
            if (length < 8 || length > kMaxFrame) {
                ok = false;
                break;
            }
            if (in.size() - pos - 4 < length) break;
            if (id == 0) {
                if (c->onNote) c->onNote(result, in.substr(pos + kReplyHeader, length - 8));
            } else {
                deliver(*c, id, result, in.substr(pos + kReplyHeader, length - 8));
            }
            pos += 4 + length;
        }
        in.erase(0, pos);
    }
    shutdown(c->fd, SHUT_RDWR);
    markLost(*c);
    if (c->onNote) c->onNote(kNoteLost, {});
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
    c->onNote = std::move(onNote);
    if (connect(fd, reinterpret_cast<sockaddr*>(&addr), length) != 0) return nullptr;
    try {
        std::thread(readerLoop, c).detach();
    } catch (...) {
        return nullptr;
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
        std::lock_guard lock(c.mu);
        if (c.dead) return false;
        id = c.nextId++;
        if (id == 0) id = c.nextId++;
        c.pending[id] = &waiter;
    }
    std::string frame = requestFrame(id, op, body);
    bool sent = true;
    {
        std::lock_guard lock(c.sendMu);
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
    if (!sent) shutdown(c.fd, SHUT_RDWR); // the reader wakes every waiter, this one included
    std::unique_lock lock(c.mu);
    waiter.cv.wait(lock, [&] { return waiter.done; });
    if (waiter.lost) return false;
    *result = waiter.result;
    if (replyBody != nullptr) *replyBody = std::move(waiter.body);
    return true;
}

void connectionShutdown(Connection& c) { shutdown(c.fd, SHUT_RDWR); }

bool connectionAlive(Connection& c) {
    std::lock_guard lock(c.mu);
    return !c.dead;
}
