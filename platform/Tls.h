// TLS for accepted connections: the server's certificate, key and optional
// client CA, the handshake on an accepted socket, and the record layer that
// the wire primitives use instead of plain receives and sends. OpenSSL 3 on
// POSIX; Windows answers "not supported" (tlsSupported) until it is built on
// the platform's own TLS.
//
// A TlsServer is reference counted: the connection thread that runs a
// handshake holds one reference for its length, and a session keeps what it
// needs of it by itself, so a server released by a reload stays usable for the
// connections made with it. A TlsSession belongs to one connection thread.
#pragma once

#include <cstddef>
#include <cstdint>

#include "platform/Socket.h"

namespace platform {

struct TlsServer;
struct TlsSession;

// False where this build or platform has no TLS.
[[nodiscard]] bool tlsSupported() noexcept;

// Which of the files a load failed on.
enum class TlsLoadFailure {
    None,
    Certificate,  // the certificate file cannot be read or is not a PEM certificate
    Key,          // the key file cannot be read, is not a PEM key, or does not match the certificate
    ClientCa,     // the client CA file cannot be read or holds no certificate
    Other,        // no TLS here, or memory ran out
};

// Loads a server: TLS 1.2 at least (1.3 preferred), the certificate chain and
// key from PEM files, and, when clientCa is not null, a demand for a client
// certificate that chains to one of clientCa's certificates. *out is the new
// server (one reference) or null; on failure *failure says which file and
// reason holds a one-line text. 0 or -1.
[[nodiscard]] int32_t tlsServerLoad(const char* certificate, const char* key, const char* clientCa, TlsServer** out,
                                    TlsLoadFailure* failure, char* reason, size_t reasonSize) noexcept;
void tlsServerRetain(TlsServer* server) noexcept;
void tlsServerRelease(TlsServer* server) noexcept;

// Why a handshake was refused.
enum class TlsRefusal {
    None,
    Protocol,       // not TLS, no common version or cipher, a malformed record
    UnknownCa,      // the client's certificate does not chain to the client CA
    Expired,        // the client's certificate (or one above it) has expired or is not yet valid
    NoCertificate,  // the client sent no certificate although one is required
    BadCertificate, // any other verification failure of the client's certificate
    TimedOut,       // the handshake did not end within its bound
    Closed,         // the peer closed or reset the connection during the handshake
    NothingSent,    // the peer closed or reset the connection before it sent anything
                    // (a port probe rather than a TLS client)
};

// Runs the server side of the handshake on the connected socket s, within
// timeoutMs in all (the socket is non-blocking meanwhile and blocking again
// afterwards). The new session, or null with *refusal and reason (a one-line
// text) set.
[[nodiscard]] TlsSession* tlsAccept(TlsServer* server, Socket s, uint32_t timeoutMs, TlsRefusal* refusal,
                                    char* reason, size_t reasonSize) noexcept;

// The names of the peer's certificate: the subject common name first (when
// there is one), then its DNS subject alternative names, at most
// kTlsMaxPeerNames, each cut to kTlsMaxNameLength bytes.
constexpr int32_t kTlsMaxPeerNames = 8;
constexpr size_t kTlsMaxNameLength = 255;
struct TlsPeerNames {
    int32_t count = 0;                                         // names held
    char name[kTlsMaxPeerNames][kTlsMaxNameLength + 1] = {};   // terminated texts
};
void tlsPeerNames(TlsSession* session, TlsPeerNames* out) noexcept;

// One read of up to n bytes of plaintext, like socketReceive: what one record
// holds at most, so a field that a record cuts short stays short. Bytes read,
// 0 when the peer closed, -1 on failure; a receive time-out with no record
// begun leaves socketLastError() such that socketErrorIsTimeout is true.
[[nodiscard]] int32_t tlsReceive(TlsSession* session, void* buffer, int32_t n) noexcept;
// Sends n bytes as one record: n, or -1.
int32_t tlsSend(TlsSession* session, const void* bytes, int32_t n) noexcept;
// Plaintext bytes already decrypted and waiting.
[[nodiscard]] uint32_t tlsPending(TlsSession* session) noexcept;
// Frees the session; the socket stays for its owner to close.
void tlsSessionFree(TlsSession* session) noexcept;

}  // namespace platform
