// The listener: port 1439, the 16-byte handshake, one detached connection
// thread per admitted client.
#pragma once

#include <atomic>
#include <cstdint>

#include "net/Connection.h"
#include "platform/Socket.h"

constexpr uint16_t kServicePort = 1439;

// The listening socket once bound, kInvalidSocket before; the stop sequence
// shuts it down and closes it to wake a blocked accept.
extern std::atomic<platform::Socket> listenSocket;

// Reads and judges the handshake of a new connection: true when the client
// sent exactly the 16 bytes of the value in one receive (a value split over
// two segments, a zero byte or any wrong byte fails). Reads exactly 16 bytes,
// so a request sent in the same write stays for the connection loop.
[[nodiscard]] bool handshakeAccepted(ClientConnection* c);

// Runs the listener on the calling thread until it fails or the service stops.
// 0 when the running flag was found clear or after a caught exception; -1 on a
// socket failure (accept failures end it only once the running flag is clear
// or the listening socket itself failed); -0x20001 when a connection record
// cannot be allocated. Each accepted connection's own thread reads its
// handshake (handshakeAccepted) before it runs the connection loop.
int32_t acceptLoop();

// Reads the connection settings from the environment, once, before the
// listener starts: MORVALEN_TCP_KEEPALIVE=IDLE,INTERVAL,COUNT (keepalive of
// accepted connections and the bound on a frame that has begun; 60,10,6 when
// unset) and MORVALEN_MAX_CONNECTIONS=N (connections open at once; no cap when
// unset). 0, or -1 after reporting the malformed variable by name (the
// service must not start on a setting it cannot honour).
[[nodiscard]] int32_t listenerReadSettings() noexcept;

// WSAStartup: 0, or -1 after reporting "WSAStartup() failed with error %d: %s\n".
[[nodiscard]] int32_t startWinsock();

// A TCP socket bound to every local IPv4 address at port (host byte order),
// allowed to bind over closing connections of an earlier process on Linux;
// kInvalidSocket after reporting the socket() or bind() failure text with the
// error number and its text.
[[nodiscard]] platform::Socket createListenSocket(uint16_t port);

// listen() with a backlog of 50 (before every accept), then accept(): the new
// socket, or kInvalidSocket (a failing listen is reported, a failing accept not).
[[nodiscard]] platform::Socket acceptClient(platform::Socket listening);

// Tests may listen on another port (0 = an ephemeral one); read back the bound
// port with listenerBoundPort: 0 until the socket is bound (and again at the
// start of the next acceptLoop), then the port.
void listenerSetPort(uint16_t port) noexcept;
[[nodiscard]] uint16_t listenerBoundPort() noexcept;
