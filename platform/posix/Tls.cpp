// TLS on POSIX, over OpenSSL 3.
//
// A TlsServer wraps an SSL_CTX with a count of its holders; every SSL made
// from the context holds a reference of OpenSSL's own to it, so a context released by a reload
// lives on for the sessions made with it. A TlsSession is an SSL on the
// connection's socket, used by one thread. The handshake runs with the socket
// non-blocking and poll(2) against one deadline, so a peer that trickles bytes
// cannot stretch it; afterwards the socket is blocking again and its receive
// time-out (SO_RCVTIMEO) surfaces from SSL_read as "want read".
//
// Writes go through write(2) inside OpenSSL: the service ignores SIGPIPE for
// the whole process, so a peer that has gone gives EPIPE.
#include "platform/Tls.h"

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <new>

#include <fcntl.h>
#include <openssl/err.h>
#include <openssl/ssl.h>
#include <openssl/x509v3.h>
#include <poll.h>
#include <time.h>

#include "platform/posix/SocketError.h"

struct platform::TlsServer {
    SSL_CTX* context;
    std::atomic<int32_t> references;  // holders of this wrapper; the last one frees it
};

struct platform::TlsSession {
    SSL* ssl;
};

namespace platform {
namespace {

int64_t monotonicMs() {
    timespec t{};
    clock_gettime(CLOCK_MONOTONIC, &t);
    return int64_t{t.tv_sec} * 1000 + t.tv_nsec / 1000000;
}

// The reason of the oldest error in the thread's OpenSSL queue, or fallback.
void takeErrorText(const char* fallback, char* reason, size_t size) {
    unsigned long error = ERR_get_error();
    const char* text = error != 0 ? ERR_reason_error_string(error) : nullptr;
    std::snprintf(reason, size, "%s", text != nullptr ? text : fallback);
    ERR_clear_error();
}

int32_t loadFailed(TlsLoadFailure which, const char* what, const char* path, SSL_CTX* context, TlsLoadFailure* failure,
                   char* reason, size_t size) {
    char detail[256];
    takeErrorText("unreadable", detail, sizeof detail);
    std::snprintf(reason, size, "%s %s: %s", what, path, detail);
    *failure = which;
    SSL_CTX_free(context);
    return -1;
}

bool setBlocking(Socket s, bool blocking) {
    int flags = ::fcntl(s, F_GETFL);
    if (flags < 0) return false;
    int wanted = blocking ? flags & ~O_NONBLOCK : flags | O_NONBLOCK;
    return wanted == flags || ::fcntl(s, F_SETFL, wanted) == 0;
}

TlsRefusal classifyVerifyResult(long result) {
    switch (result) {
        case X509_V_ERR_CERT_HAS_EXPIRED:
        case X509_V_ERR_CERT_NOT_YET_VALID:
            return TlsRefusal::Expired;
        case X509_V_ERR_UNABLE_TO_GET_ISSUER_CERT:
        case X509_V_ERR_UNABLE_TO_GET_ISSUER_CERT_LOCALLY:
        case X509_V_ERR_UNABLE_TO_VERIFY_LEAF_SIGNATURE:
        case X509_V_ERR_DEPTH_ZERO_SELF_SIGNED_CERT:
        case X509_V_ERR_SELF_SIGNED_CERT_IN_CHAIN:
        case X509_V_ERR_CERT_SIGNATURE_FAILURE:
            return TlsRefusal::UnknownCa;
        default:
            return TlsRefusal::BadCertificate;
    }
}

// Sorts out why SSL_accept failed with error kind e.
TlsRefusal classifyFailure(SSL* ssl, int e, char* reason, size_t size) {
    long verify = SSL_get_verify_result(ssl);
    if (verify != X509_V_OK) {
        std::snprintf(reason, size, "%s", X509_verify_cert_error_string(verify));
        ERR_clear_error();
        return classifyVerifyResult(verify);
    }
    unsigned long error = ERR_peek_error();
    if (error != 0 && ERR_GET_LIB(error) == ERR_LIB_SSL &&
        ERR_GET_REASON(error) == SSL_R_PEER_DID_NOT_RETURN_A_CERTIFICATE) {
        takeErrorText("", reason, size);
        return TlsRefusal::NoCertificate;
    }
    if (e == SSL_ERROR_ZERO_RETURN || (e == SSL_ERROR_SYSCALL && error == 0)) {
        std::snprintf(reason, size, "%s", errno != 0 ? std::strerror(errno) : "closed");
        ERR_clear_error();
        return SSL_in_before(ssl) ? TlsRefusal::NothingSent : TlsRefusal::Closed;
    }
    takeErrorText("handshake failed", reason, size);
    return TlsRefusal::Protocol;
}

}  // namespace

bool tlsSupported() noexcept { return true; }

int32_t tlsServerLoad(const char* certificate, const char* key, const char* clientCa, TlsServer** out,
                      TlsLoadFailure* failure, char* reason, size_t reasonSize) noexcept {
    *out = nullptr;
    *failure = TlsLoadFailure::None;
    reason[0] = '\0';
    ERR_clear_error();
    SSL_CTX* context = SSL_CTX_new(TLS_server_method());
    if (context == nullptr) {
        *failure = TlsLoadFailure::Other;
        takeErrorText("out of memory", reason, reasonSize);
        return -1;
    }
    (void)SSL_CTX_set_min_proto_version(context, TLS1_2_VERSION);
    // Connections are long-lived and reconnect rarely: no session tickets,
    // so the handshake is one flight shorter.
    (void)SSL_CTX_set_num_tickets(context, 0);
    (void)SSL_CTX_set_session_cache_mode(context, SSL_SESS_CACHE_OFF);
    if (SSL_CTX_use_certificate_chain_file(context, certificate) != 1) {
        return loadFailed(TlsLoadFailure::Certificate, "certificate", certificate, context, failure, reason, reasonSize);
    }
    if (SSL_CTX_use_PrivateKey_file(context, key, SSL_FILETYPE_PEM) != 1) {
        return loadFailed(TlsLoadFailure::Key, "key", key, context, failure, reason, reasonSize);
    }
    if (SSL_CTX_check_private_key(context) != 1) {
        return loadFailed(TlsLoadFailure::Key, "key does not match the certificate:", key, context, failure, reason,
                          reasonSize);
    }
    if (clientCa != nullptr) {
        if (SSL_CTX_load_verify_locations(context, clientCa, nullptr) != 1) {
            return loadFailed(TlsLoadFailure::ClientCa, "client CA", clientCa, context, failure, reason, reasonSize);
        }
        // Tells clients which CAs are accepted, so one with several
        // certificates picks the right one.
        STACK_OF(X509_NAME)* names = SSL_load_client_CA_file(clientCa);
        if (names != nullptr) SSL_CTX_set_client_CA_list(context, names);
        SSL_CTX_set_verify(context, SSL_VERIFY_PEER | SSL_VERIFY_FAIL_IF_NO_PEER_CERT, nullptr);
    }
    ERR_clear_error();
    auto* server = new (std::nothrow) TlsServer{context, {1}};
    if (server == nullptr) {
        SSL_CTX_free(context);
        *failure = TlsLoadFailure::Other;
        std::snprintf(reason, reasonSize, "out of memory");
        return -1;
    }
    *out = server;
    return 0;
}

void tlsServerRetain(TlsServer* server) noexcept {
    if (server != nullptr) server->references.fetch_add(1, std::memory_order_relaxed);
}

void tlsServerRelease(TlsServer* server) noexcept {
    if (server == nullptr) return;
    if (server->references.fetch_sub(1, std::memory_order_acq_rel) != 1) return;
    SSL_CTX_free(server->context);  // sessions made from it hold references of their own
    delete server;
}

TlsSession* tlsAccept(TlsServer* server, Socket s, uint32_t timeoutMs, TlsRefusal* refusal, char* reason,
                      size_t reasonSize) noexcept {
    *refusal = TlsRefusal::None;
    reason[0] = '\0';
    ERR_clear_error();
    SSL* ssl = SSL_new(server->context);
    if (ssl == nullptr || SSL_set_fd(ssl, s) != 1 || !setBlocking(s, false)) {
        SSL_free(ssl);
        *refusal = TlsRefusal::Protocol;
        takeErrorText("cannot set up the session", reason, reasonSize);
        return nullptr;
    }
    int64_t deadline = monotonicMs() + timeoutMs;
    for (;;) {
        errno = 0;
        int r = SSL_accept(ssl);
        if (r == 1) break;
        int e = SSL_get_error(ssl, r);
        if (e == SSL_ERROR_WANT_READ || e == SSL_ERROR_WANT_WRITE) {
            int64_t left = deadline - monotonicMs();
            pollfd p{s, static_cast<short>(e == SSL_ERROR_WANT_READ ? POLLIN : POLLOUT), 0};
            int ready = left > 0 ? ::poll(&p, 1, static_cast<int>(left)) : 0;
            if (ready > 0 || (ready < 0 && errno == EINTR)) continue;
            *refusal = TlsRefusal::TimedOut;
            std::snprintf(reason, reasonSize, "no handshake within %u ms", timeoutMs);
        } else {
            *refusal = classifyFailure(ssl, e, reason, reasonSize);
        }
        ERR_clear_error();
        SSL_free(ssl);
        (void)setBlocking(s, true);
        return nullptr;
    }
    auto* session = new (std::nothrow) TlsSession{ssl};
    if (session == nullptr || !setBlocking(s, true)) {
        delete session;
        SSL_free(ssl);
        *refusal = TlsRefusal::Protocol;
        std::snprintf(reason, reasonSize, "cannot set up the session");
        return nullptr;
    }
    return session;
}

void tlsPeerNames(TlsSession* session, TlsPeerNames* out) noexcept {
    out->count = 0;
    X509* peer = SSL_get0_peer_certificate(session->ssl);
    if (peer == nullptr) return;
    auto add = [out](const unsigned char* text, int length) {
        if (out->count >= kTlsMaxPeerNames || text == nullptr || length <= 0) return;
        // A name with a zero byte inside is not a name anybody could list.
        if (std::memchr(text, 0, static_cast<size_t>(length)) != nullptr) return;
        size_t n = static_cast<size_t>(length) > kTlsMaxNameLength ? kTlsMaxNameLength : static_cast<size_t>(length);
        std::memcpy(out->name[out->count], text, n);
        out->name[out->count][n] = '\0';
        ++out->count;
    };
    X509_NAME* subject = X509_get_subject_name(peer);
    int at = X509_NAME_get_index_by_NID(subject, NID_commonName, -1);
    if (at >= 0) {
        ASN1_STRING* cn = X509_NAME_ENTRY_get_data(X509_NAME_get_entry(subject, at));
        unsigned char* utf8 = nullptr;
        int length = ASN1_STRING_to_UTF8(&utf8, cn);
        if (length > 0) add(utf8, length);
        OPENSSL_free(utf8);
    }
    auto* alternatives =
        static_cast<GENERAL_NAMES*>(X509_get_ext_d2i(peer, NID_subject_alt_name, nullptr, nullptr));
    if (alternatives != nullptr) {
        for (int i = 0; i < sk_GENERAL_NAME_num(alternatives); ++i) {
            const GENERAL_NAME* name = sk_GENERAL_NAME_value(alternatives, i);
            if (name->type == GEN_DNS) add(ASN1_STRING_get0_data(name->d.dNSName), ASN1_STRING_length(name->d.dNSName));
        }
        GENERAL_NAMES_free(alternatives);
    }
}

int32_t tlsReceive(TlsSession* session, void* buffer, int32_t n) noexcept {
    ERR_clear_error();
    errno = 0;
    int r = SSL_read(session->ssl, buffer, n);
    if (r > 0) return r;
    int e = SSL_get_error(session->ssl, r);
    int saved = errno;
    ERR_clear_error();
    switch (e) {
        case SSL_ERROR_ZERO_RETURN:
            return 0;
        case SSL_ERROR_WANT_READ:
            // The receive time-out. Only with no record begun is it the
            // silence between frames; within a record it is a frame cut short.
            socketSetLastError(SSL_has_pending(session->ssl) ? EPROTO : EAGAIN);
            return -1;
        case SSL_ERROR_SYSCALL:
            if (saved == 0) return 0;  // the peer closed without close_notify
            socketSetLastError(saved);
            return -1;
        default:
            socketSetLastError(EPROTO);
            return -1;
    }
}

int32_t tlsSend(TlsSession* session, const void* bytes, int32_t n) noexcept {
    ERR_clear_error();
    int r = SSL_write(session->ssl, bytes, n);
    if (r > 0) return r;
    socketSetLastError(errno != 0 ? errno : EPROTO);
    ERR_clear_error();
    return -1;
}

uint32_t tlsPending(TlsSession* session) noexcept {
    int n = SSL_pending(session->ssl);
    return n > 0 ? static_cast<uint32_t>(n) : 0;
}

void tlsSessionFree(TlsSession* session) noexcept {
    if (session == nullptr) return;
    SSL_free(session->ssl);
    delete session;
}

}  // namespace platform
