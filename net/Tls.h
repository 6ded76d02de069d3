// TLS on the service's port, opt-in: the settings read once at start, the
// handshake of each accepted connection on its own thread, the check of the
// client's names, the reports of refused handshakes, and the reload on SIGHUP.
// Without MORVALEN_TLS_CERTIFICATE and MORVALEN_TLS_KEY none of it runs and
// the port speaks the protocol in plaintext, as it always has.
#pragma once

#include <cstdint>

#include "net/Connection.h"

// Reads MORVALEN_TLS_CERTIFICATE, MORVALEN_TLS_KEY (PEM files, both or
// neither), MORVALEN_TLS_CLIENT_CA (PEM; clients must then present a
// certificate that chains to it), MORVALEN_TLS_CLIENT_NAMES (comma-separated;
// a client certificate must carry one of them as subject common name or DNS
// subject alternative name) and MORVALEN_TLS_ISOLATE_CLIENTS, and loads the
// files, once, before the listener starts. 0, or -1 after reporting one line
// that names the variable at fault: a half-set group, an unreadable or
// mismatched file, or TLS on a platform without it. Never falls back to
// plaintext.
[[nodiscard]] int32_t tlsReadSettings() noexcept;

// True when the settings turned TLS on.
[[nodiscard]] bool tlsEnabled() noexcept;

// The bound on one connection's TLS handshake.
constexpr uint32_t kTlsHandshakeTimeoutMs = 5000;

// On a new connection's own thread, before the protocol's handshake: the TLS
// handshake (within kTlsHandshakeTimeoutMs), then the client's names against
// MORVALEN_TLS_CLIENT_NAMES. True with c->tls and c->peerName set (the
// matching name, or the certificate's first name; empty without a client
// certificate). With MORVALEN_TLS_ISOLATE_CLIENTS=1 a certificate without any
// name is refused: the name is what the XA bridge keeps branches apart by. False when refused: reported as "TLS handshake refused from
// ADDRESS: REASON (DETAIL)", at most once per peer address per minute; the
// caller closes the connection.
// Not noexcept: out of memory reaches the caller's guard.
[[nodiscard]] bool tlsAdmit(ClientConnection* c);

// Loads certificate, key and client CA again from the same files; new
// connections use them, open ones go on with what they have. A reload that
// fails keeps what was loaded and reports why. The SIGHUP handler.
void tlsReload() noexcept;

// Whether a refusal report for the peer address may be made at tick now
// (milliseconds): true at most once per address per minute. For the reports
// and their tests.
// Not noexcept: out of memory reaches the caller's guard.
[[nodiscard]] bool tlsRefusalReportDue(const char* address, uint32_t now);
