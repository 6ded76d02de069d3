// The listener: binds TCP port 1439 on every local IPv4 address and accepts
// clients. Each accepted connection gets a detached connection thread of its
// own at once, which reads the handshake: the 16-byte value in one receive
// within 1000 ms, answered with the 8 bytes "Morvalen" before the connection
// loop starts; any other client is closed without a word. The listener itself
// only accepts, so a client that connects and stays silent costs its own
// thread a second and holds up nobody else.
//
// Connections that go quiet: every accepted connection has TCP keepalive
// (by default the first probe after 60 s of silence, then every 10 s, dropped
// after 6 unanswered: about two minutes; MORVALEN_TCP_KEEPALIVE=IDLE,INTERVAL,COUNT
// changes it), so a peer that vanished without closing frees its thread and
// descriptor. A frame must arrive whole within the same bound once it has
// begun (the connection loop), so a client stopped in the middle of a frame
// on a live link is dropped too. Between frames a client may stay silent.
//
// Admission: the listener keeps a reserve of descriptors (kDescriptorReserve)
// that clients never take, so the service can always reach its coordinator;
// a connection that would eat into it is closed at once and reported as the
// descriptor shortage it is. MORVALEN_MAX_CONNECTIONS, when set, caps the
// connections open at once; the surplus is closed at once, without a word.
// Both settings are read once, before the listener starts (listenerReadSettings).
//
// Accept failures: one that belongs to a single new connection is passed over;
// when descriptors or memory run out the listener pauses and tries again,
// reporting the first failure of each such run; only a failure of the
// listening socket itself (as when the stop sequence shuts it down) ends it,
// and while the running flag is set nothing else does.
//
// State owned here: listenSocket (written once bound; the stop sequence shuts
// it down and closes it, which wakes the blocked accept and ends the loop), and
// the port to listen on (1439; tests choose another). Runs on the thread the
// service run or the console run lends it, for as long as the service runs.
#include "net/Listener.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "common/Codes.h"
#include "common/Running.h"
#include "net/Connection.h"
#include "net/ConnectionLoop.h"
#include "platform/Clock.h"
#include "platform/Thread.h"
#include "report/Guard.h"
#include "report/Report.h"
#include "report/Status.h"

std::atomic<platform::Socket> listenSocket{platform::kInvalidSocket};

namespace {

constexpr int32_t kListenBacklog = 50;
constexpr uint32_t kHandshakeTimeoutMs = 1000;
constexpr int32_t kHandshakeLength = 16;
constexpr int32_t kMessageBufferSize = 1000;
// The pause after an accept that failed for want of descriptors or memory:
// long enough not to spin, short enough that clients barely notice.
constexpr uint32_t kExhaustedPauseMs = 100;
// Connection threads keep little on their stack (a 1000-byte drain buffer and
// a 134-byte XID body); the handlers they call stay well within this.
constexpr size_t kConnectionStackBytes = 256 * 1024;
// Descriptors that clients never take: the coordinator's connections, the
// system log and a library being loaded need them when clients hold the rest.
constexpr int32_t kDescriptorReserve = 16;

// TCP keepalive of accepted connections, and the bound within which a frame
// that has begun must arrive whole: idle + interval * count seconds.
struct KeepAlive {
    uint32_t idleSeconds = 60;
    uint32_t intervalSeconds = 10;
    uint32_t count = 6;
};

// Written once by listenerReadSettings before the listener starts; read by the
// listener and the connection threads it starts.
KeepAlive keepAlive;
int32_t maxConnections = 0;  // 0: no cap

std::atomic<uint16_t> listenPort{kServicePort};
std::atomic<uint16_t> boundPort{0};

// Formats one of the socket failure texts with the error number and its text,
// and reports it as an error. The texts end in a line end, so standard output
// shows an empty line after them.
void reportSocketFailure(const char* format, int32_t code) {
    char message[kMessageBufferSize];
    std::snprintf(message, sizeof message, format, code, winsockErrorText(code));
    reportError(message);
}

// The handshake value, written byte by byte into the caller's buffer before
// every comparison rather than kept as a string. None of its bytes is zero.
void assembleHandshake(uint8_t* value) {
    value[0] = 'M';
    value[1] = 'o';
    value[2] = 'r';
    value[3] = 'v';
    value[4] = 'a';
    value[5] = 'l';
    value[6] = 'e';
    value[7] = 'n';
    value[8] = '/';
    value[9] = 'X';
    value[10] = 'A';
    value[11] = '/';
    value[12] = '2';
    value[13] = '.';
    value[14] = '0';
    value[15] = '8';
}

}  // namespace

bool handshakeAccepted(ClientConnection* c) {
    uint8_t expected[kHandshakeLength];
    uint8_t received[kHandshakeLength];
    assembleHandshake(expected);
    // One receive: a value split over two segments fails. Exactly 16 bytes are
    // asked for, so a request sent in the same write stays for the loop.
    if (socketReadBytes(c, received, kHandshakeLength) != kHandshakeLength) {
        return false;
    }
    // Compared as a string of at most 16 characters: the value has no zero
    // byte, so a zero among the received bytes fails like any wrong byte.
    return std::memcmp(received, expected, kHandshakeLength) == 0;
}

namespace {

// listen(2) with the backlog of 50; reports a failure. 0 or -1.
int32_t startListening(platform::Socket listening) {
    if (platform::socketListen(listening, kListenBacklog) != 0) {
        reportSocketFailure("listen() failed with error %d: %s\n", platform::socketLastError());
        return -1;
    }
    return 0;
}

void dropConnection(ClientConnection* c) {
    socketClose(c);
    connectionFree(c);
}

uint32_t frameBoundMs() {
    return (keepAlive.idleSeconds + keepAlive.intervalSeconds * keepAlive.count) * 1000;
}

// Parses "IDLE,INTERVAL,COUNT" (seconds, seconds, probes). False when it is not
// three whole numbers in range.
bool parseKeepAlive(const char* text, KeepAlive* out) {
    unsigned long values[3] = {0, 0, 0};
    const char* at = text;
    for (int i = 0; i < 3; ++i) {
        if (*at < '0' || *at > '9') {
            return false;
        }
        char* end = nullptr;
        values[i] = std::strtoul(at, &end, 10);
        if (end == at || values[i] < 1 || values[i] > (i == 2 ? 127UL : 32767UL)) {
            return false;
        }
        at = end;
        if (i < 2) {
            if (*at != ',') {
                return false;
            }
            ++at;
        }
    }
    if (*at != '\0') {
        return false;
    }
    out->idleSeconds = static_cast<uint32_t>(values[0]);
    out->intervalSeconds = static_cast<uint32_t>(values[1]);
    out->count = static_cast<uint32_t>(values[2]);
    return true;
}

// Parses a whole number from 1 to 1000000. False otherwise.
bool parseConnectionCap(const char* text, int32_t* out) {
    if (*text < '0' || *text > '9') {
        return false;
    }
    char* end = nullptr;
    unsigned long value = std::strtoul(text, &end, 10);
    if (*end != '\0' || value < 1 || value > 1000000UL) {
        return false;
    }
    *out = static_cast<int32_t>(value);
    return true;
}

// True when a freshly accepted socket must be closed at once: the cap on open
// connections is reached, or it would eat into the descriptor reserve (then
// *descriptorsLow is set).
bool refuseAtOnce(platform::Socket accepted, bool* descriptorsLow) {
    *descriptorsLow = platform::socketLeavesTooFewDescriptors(accepted, kDescriptorReserve);
    if (*descriptorsLow) {
        return true;
    }
    return maxConnections > 0 && connectionsOpen() >= maxConnections;
}

// The routine of a new connection's thread: the handshake, then the
// connection loop, which owns the record from then on.
void admitClient(void* record) {
    auto* c = static_cast<ClientConnection*>(record);
    bool admitted = false;
    guardedRun("admitClient", [&] {
        if (socketSetTimeout(c, kHandshakeTimeoutMs) != 0 || !handshakeAccepted(c)) {
            return;  // no reply, nothing reported
        }
        // Keepalive finds a peer that is gone; the receive time-out bounds a
        // frame that has begun. A failure of either leaves the connection as
        // it would be without them.
        (void)platform::socketSetKeepAlive(c->socket, keepAlive.idleSeconds, keepAlive.intervalSeconds, keepAlive.count);
        (void)socketSetTimeout(c, frameBoundMs());
        (void)socketSendBytes(c, "Morvalen", 8);
        admitted = true;
    });
    if (!admitted) {
        dropConnection(c);
        return;
    }
    connectionLoop(c);
}

// Decides what a failed accept means while the service runs: true to accept
// again (after a pause when descriptors or memory ran out, reporting the first
// failure of each such run), false when the listening socket itself failed.
bool acceptAgain(int32_t error, bool* exhaustedReported) {
    switch (platform::socketAcceptFailureKind(error)) {
        case platform::AcceptFailure::Connection:
            return true;
        case platform::AcceptFailure::Exhausted:
            if (!*exhaustedReported) {
                reportSocketFailure("accept() failed with error %d: %s\n", error);
                *exhaustedReported = true;
            }
            platform::sleepMs(kExhaustedPauseMs);
            return true;
        case platform::AcceptFailure::Listener:
            return false;
    }
    return false;
}

int32_t acceptLoopBody() {
    reportInfo("Start Service");
    boundPort.store(0);
    if (startWinsock() != 0) {
        return kSocketFailure;
    }
    platform::Socket listening = createListenSocket(listenPort.load());
    listenSocket.store(listening);
    if (listening == platform::kInvalidSocket) {
        return kSocketFailure;
    }
    // Listen once before the running report, so that a client that connects
    // as soon as the service manager hears "running" is queued, not refused.
    if (startListening(listening) != 0) {
        return kSocketFailure;
    }
    uint16_t port = 0;
    boundPort.store(platform::socketLocalPort(listening, &port) == 0 ? port : 0);
    // In a console run this report fails with a warning; clients are served all the same.
    (void)reportStatus(SERVICE_RUNNING, 0, 0);

    bool exhaustedReported = false;  // the current run of exhaustion failures was reported
    while (runningFlag.load(std::memory_order_relaxed)) {
        platform::Socket accepted = acceptClient(listening);
        if (accepted == platform::kInvalidSocket) {
            int32_t error = platform::socketLastError();
            // A stop clears the running flag before it shuts the socket down,
            // which is how a stop normally ends the listener.
            if (runningFlag.load(std::memory_order_relaxed) && acceptAgain(error, &exhaustedReported)) {
                continue;
            }
            return kSocketFailure;
        }
        bool descriptorsLow = false;
        if (refuseAtOnce(accepted, &descriptorsLow)) {
            (void)platform::socketShutdownBoth(accepted);
            (void)platform::socketCloseHandle(accepted);
            // Reported like an accept that failed for want of descriptors,
            // which it stands in for: once per run of them.
            if (descriptorsLow && !exhaustedReported) {
                reportSocketFailure("accept() failed with error %d: %s\n", platform::kTooManyOpenFiles);
                exhaustedReported = true;
            }
            continue;
        }
        exhaustedReported = false;
        ClientConnection* c = connectionAllocate();
        if (c == nullptr) {
            // The accepted socket is closed rather than left open for ever.
            (void)platform::socketShutdownBoth(accepted);
            (void)platform::socketCloseHandle(accepted);
            return kRecordAllocFailed;
        }
        c->socket = accepted;
        if (platform::threadStartDetached(admitClient, c, kConnectionStackBytes) != 0) {
            dropConnection(c);  // the thread does not exist: nobody else would free the record
        }
    }
    return 0;
}

}  // namespace

int32_t acceptLoop() {
    // The body's own returns stand; an exception anywhere in it ends the
    // listener with 0 after the report "Exception in accpet socket".
    return guardedCall("accpet socket", 0, [] { return acceptLoopBody(); });
}

int32_t startWinsock() {
    int32_t r = platform::socketsStartup();
    if (r != 0) {
        reportSocketFailure("WSAStartup() failed with error %d: %s\n", r);
        return -1;
    }
    return 0;
}

platform::Socket createListenSocket(uint16_t port) {
    platform::Socket s = platform::socketOpenTcp4();
    if (s == platform::kInvalidSocket) {
        reportSocketFailure("socket() failed with error %d: %s\n", platform::socketLastError());
        return platform::kInvalidSocket;
    }
    // Connections of a process that ended a moment ago may still hold the port
    // (TIME_WAIT); a new service binds over them, as it would on Windows. A
    // second listener on a port really in use still fails to bind. A failure
    // here only means the bind may meet those connections; it is not fatal.
    (void)platform::socketAllowAddressReuse(s);
    if (platform::socketBindAny4(s, port) != 0) {
        reportSocketFailure("bind() failed with error %d: %s\n", platform::socketLastError());
        (void)platform::socketCloseHandle(s);
        return platform::kInvalidSocket;
    }
    return s;
}

platform::Socket acceptClient(platform::Socket listening) {
    // listen() before every accept, not once: harmless on a listening socket.
    if (startListening(listening) != 0) {
        return platform::kInvalidSocket;
    }
    return platform::socketAccept(listening);  // a failure is not reported
}

int32_t listenerReadSettings() noexcept {
    const char* keepAliveSetting = std::getenv("MORVALEN_TCP_KEEPALIVE");
    if (keepAliveSetting != nullptr && !parseKeepAlive(keepAliveSetting, &keepAlive)) {
        reportError("MORVALEN_TCP_KEEPALIVE must be IDLE,INTERVAL,COUNT: seconds from 1 to 32767, seconds from 1 to "
                    "32767, probes from 1 to 127\n");
        return -1;
    }
    const char* capSetting = std::getenv("MORVALEN_MAX_CONNECTIONS");
    if (capSetting != nullptr && !parseConnectionCap(capSetting, &maxConnections)) {
        reportError("MORVALEN_MAX_CONNECTIONS must be a whole number from 1 to 1000000\n");
        return -1;
    }
    return 0;
}

void listenerSetPort(uint16_t port) noexcept { listenPort.store(port); }

uint16_t listenerBoundPort() noexcept { return boundPort.load(); }
