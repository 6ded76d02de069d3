// Sockets: the few BSD-socket operations the listener and the wire primitives
// need, each one system call (Winsock 2 on Windows). Error numbers are kept for
// the caller (socketLastError) and are the system's own (errno here).
#pragma once

#include <cstdint>

namespace platform {

using Socket = int32_t;
constexpr Socket kInvalidSocket = -1;

// WSAStartup: nothing to start on POSIX. Returns 0.
[[nodiscard]] int32_t socketsStartup();

// WSACleanup: shuts down, in both directions, every connection socket that
// socketAccept handed out and socketCloseHandle has not yet closed, so that
// receives blocked on them return. The sockets stay open for their owners to close.
void socketsCleanup();

// A TCP/IPv4 stream socket, or kInvalidSocket with socketLastError set.
[[nodiscard]] Socket socketOpenTcp4();

// Lets a new listening socket bind its port while connections of an earlier
// process on that port are still closing (TIME_WAIT): SO_REUSEADDR, which on
// Linux never lets two listeners share a port. Windows binds over such
// connections anyway, and its SO_REUSEADDR would let another program take the
// port, so there it sets nothing. 0 or -1.
int32_t socketAllowAddressReuse(Socket s);

// Binds to INADDR_ANY:port (host byte order). 0 or -1.
[[nodiscard]] int32_t socketBindAny4(Socket s, uint16_t port);

// getsockname(2): the port (host byte order) a bound socket listens on, in
// *port; 0, or -1 with *port = 0.
[[nodiscard]] int32_t socketLocalPort(Socket s, uint16_t* port);

// listen(2). 0 or -1.
[[nodiscard]] int32_t socketListen(Socket s, int32_t backlog);

// accept(2) without the peer's address, retrying EINTR. The new socket is
// registered for socketsCleanup. kInvalidSocket on failure.
[[nodiscard]] Socket socketAccept(Socket listening);

// What a failed accept means for the listener.
enum class AcceptFailure {
    Connection,  // the failure belongs to one new connection (reset, network down on its
                 // path, ...): accept again at once, as for "no connection yet"
    Exhausted,   // descriptors or memory ran out: accept again after a pause
    Listener,    // the listening socket itself failed or was shut down
};
[[nodiscard]] AcceptFailure socketAcceptFailureKind(int32_t error);

// One recv(2) of up to n bytes, flags 0, retrying EINTR: bytes received, 0 when
// the peer has closed, -1 on error or receive time-out.
[[nodiscard]] int32_t socketReceive(Socket s, void* buffer, int32_t n);

// One send(2) of n bytes (no SIGPIPE): bytes sent or -1.
int32_t socketSend(Socket s, const void* bytes, int32_t n);

// FIONREAD: bytes that can be read without blocking, in *count; 0 or -1 (then *count is 0).
[[nodiscard]] int32_t socketBytesAvailable(Socket s, uint32_t* count);

// SO_RCVTIMEO in milliseconds; 0 means no time-out. 0 or -1.
[[nodiscard]] int32_t socketSetReceiveTimeout(Socket s, uint32_t milliseconds);

// True when error (from socketLastError) is a receive time-out: nothing
// arrived within the time set by socketSetReceiveTimeout.
[[nodiscard]] bool socketErrorIsTimeout(int32_t error);

// TCP keepalive on a connected socket: the first probe after idleSeconds of
// silence, then one every intervalSeconds, the connection dropped after count
// unanswered probes (SO_KEEPALIVE with TCP_KEEPIDLE, TCP_KEEPINTVL,
// TCP_KEEPCNT). 0 or -1.
int32_t socketSetKeepAlive(Socket s, uint32_t idleSeconds, uint32_t intervalSeconds, uint32_t count);

// True when an accepted socket leaves fewer than reserve descriptors of the
// process's limit free: POSIX hands out the lowest free number, so a socket
// numbered at or above the soft RLIMIT_NOFILE less reserve means the table is
// nearly full. Always false where sockets are not small numbers (Windows).
[[nodiscard]] bool socketLeavesTooFewDescriptors(Socket s, int32_t reserve);

// shutdown(2) in both directions. 0 or -1.
int32_t socketShutdownBoth(Socket s);

// close(2); also removes the socket from the cleanup list. 0 or -1.
int32_t socketCloseHandle(Socket s);

// The error number for "too many open files" (EMFILE; WSAEMFILE on Windows).
extern const int32_t kTooManyOpenFiles;

// The error number of the calling thread's last failed socket call.
[[nodiscard]] int32_t socketLastError();

}  // namespace platform
