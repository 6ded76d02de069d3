// Sockets on Winsock 2: each function is one Winsock call, apart from the two
// places where Windows differs from what the callers rely on:
//
//  - A thread blocked in accept is not woken by shutdown on the listening
//    socket (Windows refuses it with WSAENOTCONN). socketShutdownBoth marks the
//    socket instead, and socketAccept waits in select() in short turns and gives
//    up with WSAESHUTDOWN once its socket is marked.
//  - WSACleanup would close every socket of the process at once, and their
//    numbers could then be reused while connection threads still close theirs.
//    The layer keeps one Winsock reference of its own, so the stop sequence's
//    WSACleanup only balances the listener's WSAStartup; socketsCleanup ends the
//    pending receives itself (shutdown and CancelIoEx on every connection
//    socket) and leaves the sockets open for their owners to close.
//
// State: the connection sockets handed out by socketAccept and not yet closed,
// and the listening sockets that were shut down, both guarded by socketsMutex.
#include "platform/Socket.h"

#include <algorithm>
#include <cstdio>
#include <mutex>
#include <vector>

#include <winsock2.h>
#include <windows.h>

namespace platform {
namespace {

// Never destroyed: detached connection threads may still close their sockets
// while the process ends.
std::mutex& socketsMutex = *new std::mutex;
std::vector<Socket>& openConnections = *new std::vector<Socket>;  // guarded by socketsMutex
std::vector<Socket>& shutListening = *new std::vector<Socket>;    // guarded by socketsMutex

std::once_flag ownReference;

// How long one select() turn of socketAccept lasts before it looks at the mark.
constexpr long kAcceptTurnMicroseconds = 50 * 1000;

thread_local int32_t lastSocketError = 0;

int32_t failed() {
    lastSocketError = WSAGetLastError();
    return -1;
}

SOCKET native(Socket s) {
    return static_cast<SOCKET>(static_cast<uint32_t>(s));
}

bool marked(Socket s) {
    std::lock_guard<std::mutex> hold(socketsMutex);
    return std::find(shutListening.begin(), shutListening.end(), s) != shutListening.end();
}

void forget(std::vector<Socket>& list, Socket s) {
    auto it = std::find(list.begin(), list.end(), s);
    if (it != list.end()) {
        list.erase(it);
    }
}

}  // namespace

int32_t socketsStartup() {
    std::call_once(ownReference, [] {
        WSADATA data;
        (void)WSAStartup(MAKEWORD(2, 2), &data);
    });
    WSADATA data;
    return WSAStartup(MAKEWORD(2, 2), &data);
}

void socketsCleanup() {
    {
        std::lock_guard<std::mutex> hold(socketsMutex);
        for (Socket s : openConnections) {
            (void)::shutdown(native(s), SD_BOTH);
            // A blocking receive is an I/O request of the socket's handle.
            (void)CancelIoEx(reinterpret_cast<HANDLE>(native(s)), nullptr);
        }
    }
    (void)WSACleanup();
}

Socket socketOpenTcp4() {
    SOCKET s = ::socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
    if (s == INVALID_SOCKET) {
        return failed();
    }
    if (s > 0x7FFFFFFF) {
        // Socket handles are small numbers; one that is not cannot be carried.
        ::closesocket(s);
        lastSocketError = WSAEMFILE;
        return kInvalidSocket;
    }
    // Not inherited by processes this one starts.
    (void)SetHandleInformation(reinterpret_cast<HANDLE>(s), HANDLE_FLAG_INHERIT, 0);
    return static_cast<Socket>(s);
}

int32_t socketAllowAddressReuse(Socket) {
    // Nothing to set: Windows binds a new listener over connections still
    // closing on the port, and its SO_REUSEADDR would let another program
    // take a port in use.
    return 0;
}

int32_t socketBindAny4(Socket s, uint16_t port) {
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_ANY);
    address.sin_port = htons(port);
    if (::bind(native(s), reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0) {
        return failed();
    }
    return 0;
}

int32_t socketBind4(Socket s, uint32_t address, uint16_t port) {
    sockaddr_in bound{};
    bound.sin_family = AF_INET;
    bound.sin_addr.s_addr = htonl(address);
    bound.sin_port = htons(port);
    if (::bind(native(s), reinterpret_cast<const sockaddr*>(&bound), sizeof bound) != 0) {
        return failed();
    }
    return 0;
}

int32_t socketPeerAddress(Socket s, char* text, size_t size) {
    sockaddr_in peer{};
    int length = sizeof peer;
    if (::getpeername(native(s), reinterpret_cast<sockaddr*>(&peer), &length) != 0 || peer.sin_family != AF_INET) {
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
    int length = sizeof address;
    if (::getsockname(native(s), reinterpret_cast<sockaddr*>(&address), &length) != 0) {
        return failed();
    }
    if (address.sin_family != AF_INET) {
        lastSocketError = WSAEAFNOSUPPORT;
        return -1;
    }
    *port = ntohs(address.sin_port);
    return 0;
}

int32_t socketListen(Socket s, int32_t backlog) {
    if (::listen(native(s), backlog) != 0) {
        return failed();
    }
    return 0;
}

Socket socketAccept(Socket listening) {
    for (;;) {
        if (marked(listening)) {
            lastSocketError = WSAESHUTDOWN;
            return kInvalidSocket;
        }
        fd_set readable;
        FD_ZERO(&readable);
        FD_SET(native(listening), &readable);
        timeval turn{0, kAcceptTurnMicroseconds};
        int ready = ::select(0, &readable, nullptr, nullptr, &turn);
        if (ready == SOCKET_ERROR) {
            return failed();
        }
        if (ready == 0) {
            continue;
        }
        // Registered under the same lock as the list, so a cleanup either sees
        // the new socket or ran before it existed.
        std::lock_guard<std::mutex> hold(socketsMutex);
        SOCKET s = ::accept(native(listening), nullptr, nullptr);
        if (s == INVALID_SOCKET) {
            int error = WSAGetLastError();
            if (error == WSAEWOULDBLOCK || error == WSAECONNRESET) {
                continue;  // the client went away between select and accept
            }
            lastSocketError = error;
            return kInvalidSocket;
        }
        (void)SetHandleInformation(reinterpret_cast<HANDLE>(s), HANDLE_FLAG_INHERIT, 0);
        openConnections.push_back(static_cast<Socket>(s));
        return static_cast<Socket>(s);
    }
}

AcceptFailure socketAcceptFailureKind(int32_t error) {
    switch (error) {
        case WSAECONNRESET:
        case WSAECONNABORTED:
        case WSAEWOULDBLOCK:
        case WSAENETDOWN:
            return AcceptFailure::Connection;
        case WSAEMFILE:
        case WSAENOBUFS:
            return AcceptFailure::Exhausted;
        default:
            return AcceptFailure::Listener;
    }
}

int32_t socketReceive(Socket s, void* buffer, int32_t n) {
    if (n < 0) {
        lastSocketError = WSAEINVAL;
        return -1;
    }
    int got = ::recv(native(s), static_cast<char*>(buffer), n, 0);
    if (got == SOCKET_ERROR) {
        return failed();
    }
    return got;
}

int32_t socketSend(Socket s, const void* bytes, int32_t n) {
    if (n < 0) {
        lastSocketError = WSAEINVAL;
        return -1;
    }
    int sent = ::send(native(s), static_cast<const char*>(bytes), n, 0);
    if (sent == SOCKET_ERROR) {
        return failed();
    }
    return sent;
}

int32_t socketBytesAvailable(Socket s, uint32_t* count) {
    u_long available = 0;
    if (::ioctlsocket(native(s), FIONREAD, &available) != 0) {
        *count = 0;
        return failed();
    }
    *count = static_cast<uint32_t>(available);
    return 0;
}

int32_t socketSetReceiveTimeout(Socket s, uint32_t milliseconds) {
    DWORD limit = milliseconds;
    if (::setsockopt(native(s), SOL_SOCKET, SO_RCVTIMEO, reinterpret_cast<const char*>(&limit), sizeof limit) != 0) {
        return failed();
    }
    return 0;
}

const int32_t kTooManyOpenFiles = WSAEMFILE;

bool socketErrorIsTimeout(int32_t error) {
    return error == WSAETIMEDOUT;
}

// The TCP-level keepalive options of ws2ipdef.h, which mingw-w64's headers lack.
#ifndef TCP_KEEPIDLE
#define TCP_KEEPIDLE 3
#endif
#ifndef TCP_KEEPCNT
#define TCP_KEEPCNT 16
#endif
#ifndef TCP_KEEPINTVL
#define TCP_KEEPINTVL 17
#endif

// Windows 10 1709 and later take the three TCP-level options; older systems
// and Wine may refuse some, which leaves the system's keepalive defaults.
int32_t socketSetKeepAlive(Socket s, uint32_t idleSeconds, uint32_t intervalSeconds, uint32_t count) {
    DWORD on = 1;
    DWORD idle = idleSeconds;
    DWORD interval = intervalSeconds;
    DWORD probes = count;
    if (::setsockopt(native(s), SOL_SOCKET, SO_KEEPALIVE, reinterpret_cast<const char*>(&on), sizeof on) != 0 ||
        ::setsockopt(native(s), IPPROTO_TCP, TCP_KEEPIDLE, reinterpret_cast<const char*>(&idle), sizeof idle) != 0 ||
        ::setsockopt(native(s), IPPROTO_TCP, TCP_KEEPINTVL, reinterpret_cast<const char*>(&interval),
                     sizeof interval) != 0 ||
        ::setsockopt(native(s), IPPROTO_TCP, TCP_KEEPCNT, reinterpret_cast<const char*>(&probes), sizeof probes) != 0) {
        return failed();
    }
    return 0;
}

// Sockets are handles, not the lowest free numbers, and Windows has no
// per-process descriptor limit to keep a reserve of.
bool socketLeavesTooFewDescriptors(Socket, int32_t) {
    return false;
}

int32_t socketShutdownBoth(Socket s) {
    if (::shutdown(native(s), SD_BOTH) == 0) {
        return 0;
    }
    int error = WSAGetLastError();
    if (error != WSAENOTCONN) {
        lastSocketError = error;
        return -1;
    }
    {
        // Not connected: a listening socket, or one that is about to listen.
        // Marked, so that its accept is woken (see the top of the file).
        std::lock_guard<std::mutex> hold(socketsMutex);
        if (std::find(shutListening.begin(), shutListening.end(), s) == shutListening.end()) {
            shutListening.push_back(s);
        }
    }
    BOOL listening = FALSE;
    int length = sizeof listening;
    if (::getsockopt(native(s), SOL_SOCKET, SO_ACCEPTCONN, reinterpret_cast<char*>(&listening), &length) == 0 &&
        listening) {
        return 0;
    }
    lastSocketError = error;
    return -1;
}

int32_t socketCloseHandle(Socket s) {
    {
        // Leave the lists before the handle is released, so that a cleanup
        // never touches a socket that reuses this number for someone else.
        std::lock_guard<std::mutex> hold(socketsMutex);
        forget(openConnections, s);
        forget(shutListening, s);
    }
    if (::closesocket(native(s)) != 0) {
        return failed();
    }
    return 0;
}

int32_t socketLastError() {
    return lastSocketError;
}

}  // namespace platform
