// TLS on Windows: not built yet (it would sit on the platform's own TLS,
// Schannel). tlsSupported answers false, so the service refuses its TLS
// settings at start rather than serving in plaintext; the rest is never
// reached and fails safe.
#include "platform/Tls.h"

#include <cstdio>

namespace platform {

bool tlsSupported() noexcept { return false; }

int32_t tlsServerLoad(const char*, const char*, const char*, TlsServer** out, TlsLoadFailure* failure, char* reason,
                      size_t reasonSize) noexcept {
    *out = nullptr;
    *failure = TlsLoadFailure::Other;
    std::snprintf(reason, reasonSize, "TLS is not supported on this platform");
    return -1;
}

void tlsServerRetain(TlsServer*) noexcept {}
void tlsServerRelease(TlsServer*) noexcept {}

TlsSession* tlsAccept(TlsServer*, Socket, uint32_t, TlsRefusal* refusal, char* reason, size_t reasonSize) noexcept {
    *refusal = TlsRefusal::Protocol;
    std::snprintf(reason, reasonSize, "TLS is not supported on this platform");
    return nullptr;
}

void tlsPeerNames(TlsSession*, TlsPeerNames* out) noexcept { out->count = 0; }
int32_t tlsReceive(TlsSession*, void*, int32_t) noexcept { return -1; }
int32_t tlsSend(TlsSession*, const void*, int32_t) noexcept { return -1; }
uint32_t tlsPending(TlsSession*) noexcept { return 0; }
void tlsSessionFree(TlsSession*) noexcept {}

}  // namespace platform
