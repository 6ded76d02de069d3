// Inside the client library only: the TLS side of a connection, over OpenSSL.
// The socket is non-blocking while TLS is on; every wait goes through poll
// with the caller's deadline (-1: none).
#pragma once

#include <cstddef>
#include <cstdint>

#include "MorvalenClient.h"

namespace morvalen {

// Runs the client handshake on c->fd and verifies the server: kClientOk with
// c->tls set, or kClientTlsFailed / kClientTimedOut with c->tlsError set (the
// caller closes the connection).
[[nodiscard]] int32_t tlsClientStart(MorvalenConnection* c, const MorvalenTlsOptions* options, const char* host,
                                     int64_t deadline);
// Reads exactly n bytes of plaintext: kClientOk, kClientClosed, kClientTimedOut,
// kClientTlsFailed or kClientReceiveFailed.
[[nodiscard]] int32_t tlsClientReadFull(MorvalenConnection* c, uint8_t* out, size_t n, int64_t deadline);
// Writes n bytes as one record: kClientOk or kClientSendFailed.
[[nodiscard]] int32_t tlsClientWriteFull(MorvalenConnection* c, const uint8_t* bytes, size_t n, int64_t deadline);
// Frees the session (the caller closes the socket).
void tlsClientFree(MorvalenConnection* c);

}  // namespace morvalen
