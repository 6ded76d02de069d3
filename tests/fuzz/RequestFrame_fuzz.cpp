// Fuzz target: the request frame and XID field as the connection loop reads
// them from a socket.
//
// The input is cut into segments (a length byte n, then n + 1 bytes; the last
// segment takes what is left). Each segment is written to one end of a Unix
// socket pair in one send; connectionLoop serves the other end on its own
// thread with recording handlers (no coordinator). The next segment is written
// only once the loop has sent what it answers to the previous one and waits
// in a fresh receive (see waitBlocked), so the loop's receives see the segment boundaries exactly as
// a slow client would produce them, and the run is deterministic.
//
// A model of the decoder (one receive per header field, the first short one
// closing the connection, the XID body read whole, the surplus of the current segment discarded after each request)
// predicts every reply and the close; the target aborts on any difference: a
// reply the model does not expect, a different result or payload, a missing
// close, or a handler called with an XID whose lengths do not add up to the
// body it came in.
#include <fcntl.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <atomic>
#include <string>

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <thread>
#include <vector>

#include "common/Running.h"
#include "net/ConnectionLoop.h"
#include "net/Dispatch.h"

namespace {

constexpr size_t kMaxSegments = 64;

[[noreturn]] void fail(const char* what) {
    std::fprintf(stderr, "RequestFrame_fuzz: %s\n", what);
    std::abort();
}

// What a recording handler answers: result code + 100, and as payload the XID
// data (length-prefixed; -1 alone for the null XID) for even codes or the flags
// word for odd ones. The model builds the same bytes.
int32_t handlerResult(uint8_t code) { return int32_t{code} + 100; }

void appendInt(std::vector<uint8_t>* out, int32_t v) {
    uint8_t b[4];
    std::memcpy(b, &v, 4);
    out->insert(out->end(), b, b + 4);
}

void handlerPayload(uint8_t code, const XID& xid, int32_t flags, std::vector<uint8_t>* out) {
    if (code % 2 == 1) {
        appendInt(out, flags);
        return;
    }
    if (xid.formatID == -1 && xid.gtrid_length == 0 && xid.bqual_length == 0) {
        appendInt(out, -1);
        return;
    }
    int32_t n = xid.gtrid_length + xid.bqual_length;
    appendInt(out, n);
    out->insert(out->end(), reinterpret_cast<const uint8_t*>(xid.data),
                reinterpret_cast<const uint8_t*>(xid.data) + n);
}

int32_t record(ClientConnection* c, uint8_t code) {
    const XID& x = c->xid;
    bool null = x.formatID == -1 && x.gtrid_length == 0 && x.bqual_length == 0;
    int32_t sum = x.gtrid_length + x.bqual_length;
    if (!null && (sum < 2 || sum > XIDDATASIZE)) {
        fail("a handler was called with XID lengths that do not fit the data");
    }
    if (c->replyLength != 8) {
        fail("a handler was called with a reply already begun");
    }
    if (code % 2 == 1) {
        socketWriteInt(c, c->flags);
    } else if (null) {
        socketWriteBytes(c, nullptr, 0);
    } else {
        socketWriteBytes(c, x.data, static_cast<uint32_t>(sum));
    }
    return handlerResult(code);
}

int32_t handle0(ClientConnection* c) { return record(c, 0); }
int32_t handle1(ClientConnection* c) { return record(c, 1); }
int32_t handle2(ClientConnection* c) { return record(c, 2); }
int32_t handle3(ClientConnection* c) { return record(c, 3); }
int32_t handle4(ClientConnection* c) { return record(c, 4); }
int32_t handle5(ClientConnection* c) { return record(c, 5); }
int32_t handle6(ClientConnection* c) { return record(c, 6); }
int32_t handle7(ClientConnection* c) { return record(c, 7); }

// The segments as the loop's side of the socket sees them.
struct Stream {
    std::vector<std::vector<uint8_t>> segments;
    size_t segment = 0;  // the segment being read
    size_t pos = 0;      // bytes of it already taken
};

// One receive of up to n bytes: waits for the next segment when the current
// one is used up; 0 at the end of the input (the writer shut down).
size_t modelReceive(Stream& s, uint8_t* out, size_t n) {
    if (s.segment < s.segments.size() && s.pos == s.segments[s.segment].size()) {
        ++s.segment;
        s.pos = 0;
    }
    if (s.segment == s.segments.size()) {
        return 0;
    }
    const std::vector<uint8_t>& seg = s.segments[s.segment];
    size_t k = n < seg.size() - s.pos ? n : seg.size() - s.pos;
    std::memcpy(out, seg.data() + s.pos, k);
    s.pos += k;
    return k;
}

// What the loop does, and after which segment: a reply, or the close.
struct Event {
    size_t segment = 0;          // index of the segment during which it happens
    bool close = false;          // the loop closes the connection
    std::vector<uint8_t> reply;  // the whole reply frame otherwise
};

std::vector<Event> model(Stream s) {
    std::vector<Event> events;
    for (;;) {
        // The header fields, one receive each; the first that falls short
        // closes the connection and nothing more is read.
        uint8_t header[4];
        uint8_t code = 0;
        uint8_t flagBytes[4];
        int32_t flags = 0;
        bool failed = modelReceive(s, header, 4) != 4 || modelReceive(s, &code, 1) != 1 ||
                      modelReceive(s, flagBytes, 4) != 4;
        if (!failed) {
            std::memcpy(&flags, flagBytes, 4);
        }

        // The XID field.
        bool unreadable = false;
        int32_t result = 0;
        XID xid{};
        uint8_t length = 0;
        if (failed) {
            // not read at all
        } else if (modelReceive(s, &length, 1) != 1) {
            unreadable = true;
        } else if (length == 255) {
            xid = nullXid();
        } else if (length < 8 || length > 134) {
            result = XAER_INVAL;
        } else {
            uint8_t body[134];
            size_t got = 0;
            while (got < length) {
                size_t r = modelReceive(s, body + got, length - got);
                if (r == 0) {
                    break;
                }
                got += r;
            }
            if (got < length) {
                unreadable = true;
            } else {
                std::memcpy(&xid.formatID, body, 4);
                xid.gtrid_length = static_cast<int8_t>(body[4]);
                xid.bqual_length = static_cast<int8_t>(body[5]);
                if (xid.gtrid_length + xid.bqual_length != length - 6) {
                    result = XAER_INVAL;
                } else {
                    std::memcpy(xid.data, body + 6, length - 6u);
                }
            }
        }
        Event e;
        if (failed || unreadable || (result == 0 && code > 7)) {
            e.segment = s.segment;
            e.close = true;
            events.push_back(e);
            return events;
        }
        std::vector<uint8_t> payload;
        if (result == 0) {
            result = handlerResult(code);
            handlerPayload(code, xid, flags, &payload);
        }
        // The surplus that has arrived (the rest of the current segment) goes.
        if (s.segment < s.segments.size()) {
            s.pos = s.segments[s.segment].size();
        }
        e.segment = s.segment;
        appendInt(&e.reply, static_cast<int32_t>(8 + payload.size()));
        appendInt(&e.reply, result);
        e.reply.insert(e.reply.end(), payload.begin(), payload.end());
        events.push_back(e);
    }
}

// recv(2) that goes on when a signal interrupts it: libFuzzer's SIGALRM for
// -timeout lands on any thread, and an interrupted receive is neither a close
// nor a reply.
ssize_t receive(int fd, void* out, size_t n) {
    ssize_t r;
    do {
        r = ::recv(fd, out, n, 0);
    } while (r < 0 && errno == EINTR);
    return r;
}

bool readExactly(int fd, uint8_t* out, size_t n) {
    size_t got = 0;
    while (got < n) {
        ssize_t r = receive(fd, out + got, n - got);
        if (r <= 0) {
            return false;
        }
        got += static_cast<size_t>(r);
    }
    return true;
}

// Takes one event off the socket: a reply (checked byte for byte) or the close.
void expect(int fd, const Event& e) {
    uint8_t header[8];
    if (e.close) {
        // End of stream, or a reset when the loop closed with input unread.
        uint8_t byte;
        if (receive(fd, &byte, 1) > 0) {
            fail("the loop answered where it should have closed the connection");
        }
        return;
    }
    if (!readExactly(fd, header, 8)) {
        fail("the loop closed the connection where a reply was due");
    }
    if (std::memcmp(header, e.reply.data(), 8) != 0) {
        fail("reply header differs from the model");
    }
    std::vector<uint8_t> payload(e.reply.size() - 8);
    if (!payload.empty() && !readExactly(fd, payload.data(), payload.size())) {
        fail("reply cut short");
    }
    if (!payload.empty() && std::memcmp(payload.data(), e.reply.data() + 8, payload.size()) != 0) {
        fail("reply payload differs from the model");
    }
}

// Waits until the loop thread has taken every byte written to it so far and
// sits in a receive that has taken nothing yet. An empty receive queue alone
// is not enough: a receive that has just copied the last bytes of a segment
// may still be inside the kernel and would take the next segment's bytes too.
// A stream receive blocks only while it has copied nothing, so a thread
// blocked in recvfrom on the socket will see the next segment from its start.
void waitBlocked(pid_t tid, int loopFd) {
    std::string path = "/proc/self/task/" + std::to_string(tid) + "/syscall";
    char prefix[64];
    std::snprintf(prefix, sizeof prefix, "%ld 0x%x ", static_cast<long>(SYS_recvfrom), static_cast<unsigned>(loopFd));
    for (;;) {
        int available = 0;
        if (::ioctl(loopFd, FIONREAD, &available) == 0 && available == 0) {
            char line[256] = {};
            int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
            if (fd < 0) {
                return;  // no such file here: the empty queue has to do
            }
            ssize_t n = ::read(fd, line, sizeof line - 1);
            ::close(fd);
            if (n > 0 && std::strncmp(line, prefix, std::strlen(prefix)) == 0) {
                return;
            }
        }
        std::this_thread::yield();
    }
}

// The recording handlers, handed to the connection loop in place of the XA bridge's.
const RequestHandler recordingHandlers[kRequestCodeCount] = {handle0, handle1, handle2, handle3,
                                                             handle4, handle5, handle6, handle7};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    Stream stream;
    size_t at = 0;
    while (at < size && stream.segments.size() < kMaxSegments) {
        size_t n = size_t{data[at]} + 1;
        ++at;
        if (at == size) {
            break;
        }
        if (n > size - at) {
            n = size - at;
        }
        stream.segments.emplace_back(data + at, data + at + n);
        at += n;
    }
    std::vector<Event> events = model(stream);

    int fds[2];
    if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, fds) != 0) {
        fail("socketpair");
    }
    connectionLoopSetHandlers(recordingHandlers);
    ClientConnection* c = connectionAllocate();
    if (c == nullptr) {
        fail("connectionAllocate");
    }
    c->socket = fds[1];
    int loopFd = fds[1];
    std::atomic<pid_t> loopTid{0};
    std::thread loop([&loopTid, c] {
        loopTid.store(static_cast<pid_t>(::syscall(SYS_gettid)));
        connectionLoop(c);
    });
    while (loopTid.load() == 0) {
        std::this_thread::yield();
    }

    size_t next = 0;
    bool closed = false;
    for (size_t i = 0; i < stream.segments.size() && !closed; ++i) {
        const std::vector<uint8_t>& seg = stream.segments[i];
        if (::send(fds[0], seg.data(), seg.size(), MSG_NOSIGNAL) != static_cast<ssize_t>(seg.size())) {
            fail("segment not written whole");
        }
        while (next < events.size() && events[next].segment <= i) {
            expect(fds[0], events[next]);
            closed = events[next].close;
            ++next;
        }
        if (!closed && i + 1 < stream.segments.size()) {
            waitBlocked(loopTid.load(), loopFd);
        }
    }
    ::shutdown(fds[0], SHUT_WR);
    for (; next < events.size(); ++next) {
        expect(fds[0], events[next]);
    }
    loop.join();  // the loop closes its end and frees the record
    uint8_t extra;
    if (receive(fds[0], &extra, 1) > 0) {
        fail("bytes after the last expected reply");
    }
    ::close(fds[0]);
    return 0;
}

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    runningFlag.store(true);
    return 0;
}
