// Sockets on POSIX (Winsock 2 on Windows): each function is one BSD-socket call.
//
// State: the list of connection sockets handed out by socketAccept and not yet
// closed, guarded by openConnectionsMutex. socketsCleanup shuts them all down so
// that threads blocked in recv on them return, as WSACleanup makes pending
// receives fail. Called from the listener, every connection thread and the stop
// sequence.
#include "platform/Socket.h"
#include "platform/posix/SocketError.h"

#include <algorithm>
#include <cstdio>
#include <cerrno>
#include <mutex>
#include <vector>

#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/ioctl.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

namespace platform {
namespace {

// Never destroyed: detached connection threads may still close their sockets
// while the process runs its exit-time destructors.
std::mutex& openConnectionsMutex = *new std::mutex;
std::vector<Socket>& openConnections = *new std::vector<Socket>;  // guarded by openConnectionsMutex

// The calling thread's last socket error (WSAGetLastError is per thread too).
thread_local int32_t lastSocketError = 0;

int32_t failed() {
    lastSocketError = errno;
    return -1;
}

}  // namespace

int32_t socketsStartup() {
    return 0;
}

void socketsCleanup() {
    std::lock_guard<std::mutex> hold(openConnectionsMutex);
    for (Socket s : openConnections) {
        (void)::shutdown(s, SHUT_RDWR);
    }
}

Socket socketOpenTcp4() {
    int s = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, IPPROTO_TCP);
    if (s < 0) {
        return failed();
    }
    return s;
}

int32_t socketAllowAddressReuse(Socket s) {
    int on = 1;
    if (::setsockopt(s, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on) != 0) {
        return failed();
    }
    return 0;
}

int32_t socketBindAny4(Socket s, uint16_t port) {
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_ANY);
    address.sin_port = htons(port);
    if (::bind(s, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0) {
        return failed();
    }
    return 0;
}

int32_t socketBind4(Socket s, uint32_t address, uint16_t port) {
    sockaddr_in bound{};
    bound.sin_family = AF_INET;
    bound.sin_addr.s_addr = htonl(address);
    bound.sin_port = htons(port);
    if (::bind(s, reinterpret_cast<const sockaddr*>(&bound), sizeof bound) != 0) {
        return failed();
    }
    return 0;
}

int32_t socketPeerAddress(Socket s, char* text, size_t size) {
    sockaddr_in peer{};
    socklen_t length = sizeof peer;
    if (::getpeername(s, reinterpret_cast<sockaddr*>(&peer), &length) != 0 || peer.sin_family != AF_INET) {
        std::snprintf(text, size, "unknown");
        return -1;
    }
    uint32_t a = ntohl(peer.sin_addr.s_addr);
    std::snprintf(text, size, "%u.%u.%u.%u", a >> 24, (a >> 16) & 0xFF, (a >> 8) & 0xFF, a & 0xFF);
    return 0;
}

int32_t socketLocalPort(Socket s, uint16_t* port) {
    *port = 0;
    sockaddr_in address{};
    socklen_t length = sizeof address;
    if (::getsockname(s, reinterpret_cast<sockaddr*>(&address), &length) != 0) {
        return failed();
    }
    if (address.sin_family != AF_INET) {
        lastSocketError = EAFNOSUPPORT;
        return -1;
    }
    *port = ntohs(address.sin_port);
    return 0;
}

int32_t socketListen(Socket s, int32_t backlog) {
    if (::listen(s, backlog) != 0) {
        return failed();
    }
    return 0;
}

Socket socketAccept(Socket listening) {
    // Registered under the same lock as the list, so a cleanup either sees
    // the new socket or ran before it existed.
    for (;;) {
        int s = ::accept4(listening, nullptr, nullptr, SOCK_CLOEXEC);
        if (s >= 0) {
            std::lock_guard<std::mutex> hold(openConnectionsMutex);
            openConnections.push_back(s);
            return s;
        }
        if (errno != EINTR) {
            return failed();
        }
    }
}

AcceptFailure socketAcceptFailureKind(int32_t error) {
    switch (error) {
        // Linux passes errors pending on the new connection on to accept;
        // accept(2) says to treat them like EAGAIN.
        case ENETDOWN:
        case EPROTO:
        case ENOPROTOOPT:
        case EHOSTDOWN:
        case ENONET:
        case EHOSTUNREACH:
        case EOPNOTSUPP:
        case ENETUNREACH:
        case ECONNABORTED:
        case EAGAIN:
        case EPERM:  // a firewall rule refused this connection
            return AcceptFailure::Connection;
        case EMFILE:
        case ENFILE:
        case ENOBUFS:
        case ENOMEM:
            return AcceptFailure::Exhausted;
        default:
            return AcceptFailure::Listener;
    }
}

int32_t socketReceive(Socket s, void* buffer, int32_t n) {
    if (n < 0) {
        lastSocketError = EINVAL;
        return -1;
    }
    for (;;) {
        ssize_t got = ::recv(s, buffer, static_cast<size_t>(n), 0);
        if (got >= 0) {
            return static_cast<int32_t>(got);
        }
        if (errno != EINTR) {
            return failed();
        }
    }
}

int32_t socketSend(Socket s, const void* bytes, int32_t n) {
    if (n < 0) {
        lastSocketError = EINVAL;
        return -1;
    }
    // MSG_NOSIGNAL: a peer that has gone away gives EPIPE, never SIGPIPE.
    for (;;) {
        ssize_t sent = ::send(s, bytes, static_cast<size_t>(n), MSG_NOSIGNAL);
        if (sent >= 0) {
            return static_cast<int32_t>(sent);
        }
        if (errno != EINTR) {
            return failed();
        }
    }
}

int32_t socketBytesAvailable(Socket s, uint32_t* count) {
    int available = 0;
    if (::ioctl(s, FIONREAD, &available) != 0 || available < 0) {
        *count = 0;
        return failed();
    }
    *count = static_cast<uint32_t>(available);
    return 0;
}

int32_t socketSetReceiveTimeout(Socket s, uint32_t milliseconds) {
    timeval limit{};
    limit.tv_sec = static_cast<time_t>(milliseconds / 1000);
    limit.tv_usec = static_cast<suseconds_t>((milliseconds % 1000) * 1000);
    if (::setsockopt(s, SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof limit) != 0) {
        return failed();
    }
    return 0;
}

const int32_t kTooManyOpenFiles = EMFILE;

bool socketErrorIsTimeout(int32_t error) {
    return error == EAGAIN || error == EWOULDBLOCK;
}

int32_t socketSetKeepAlive(Socket s, uint32_t idleSeconds, uint32_t intervalSeconds, uint32_t count) {
    int on = 1;
    int idle = static_cast<int>(idleSeconds);
    int interval = static_cast<int>(intervalSeconds);
    int probes = static_cast<int>(count);
    if (::setsockopt(s, SOL_SOCKET, SO_KEEPALIVE, &on, sizeof on) != 0 ||
        ::setsockopt(s, IPPROTO_TCP, TCP_KEEPIDLE, &idle, sizeof idle) != 0 ||
        ::setsockopt(s, IPPROTO_TCP, TCP_KEEPINTVL, &interval, sizeof interval) != 0 ||
        ::setsockopt(s, IPPROTO_TCP, TCP_KEEPCNT, &probes, sizeof probes) != 0) {
        return failed();
    }
    return 0;
}

bool socketLeavesTooFewDescriptors(Socket s, int32_t reserve) {
    rlimit files{};
    if (::getrlimit(RLIMIT_NOFILE, &files) != 0 || files.rlim_cur == RLIM_INFINITY) {
        return false;
    }
    return static_cast<rlim_t>(s) + static_cast<rlim_t>(reserve) >= files.rlim_cur;
}

int32_t socketShutdownBoth(Socket s) {
    // On Linux this also wakes a thread blocked in accept on a listening
    // socket; close alone would not.
    if (::shutdown(s, SHUT_RDWR) != 0) {
        return failed();
    }
    return 0;
}

int32_t socketCloseHandle(Socket s) {
    {
        // Leave the list before the number is released, so that a cleanup
        // never shuts down a socket that reuses this number for someone else.
        std::lock_guard<std::mutex> hold(openConnectionsMutex);
        auto it = std::find(openConnections.begin(), openConnections.end(), s);
        if (it != openConnections.end()) {
            openConnections.erase(it);
        }
    }
    // No retry on EINTR: on Linux the descriptor is released even then.
    if (::close(s) != 0) {
        return failed();
    }
    return 0;
}

void socketSetLastError(int32_t error) noexcept { lastSocketError = error; }

int32_t socketLastError() {
    return lastSocketError;
}

}  // namespace platform
