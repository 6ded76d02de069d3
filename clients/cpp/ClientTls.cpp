// The client's TLS, over OpenSSL 3: one context and one session per
// connection (a tool or a transaction manager connects rarely and reuses the
// connection). The socket is non-blocking under TLS, so a record that arrives
// in pieces never blocks past the caller's deadline. Every step blocks SIGPIPE
// for the calling thread (PipeGuard), as the plain client's send passes
// MSG_NOSIGNAL: a service that has gone must give an error, never end the
// caller's process.
#include "ClientTls.h"

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <ctime>

#include <arpa/inet.h>
#include <fcntl.h>
#include <openssl/err.h>
#include <openssl/ssl.h>
#include <openssl/x509v3.h>
#include <poll.h>
#include <pthread.h>

namespace morvalen {
namespace {

int64_t monotonicMs() {
    timespec t{};
    clock_gettime(CLOCK_MONOTONIC, &t);
    return int64_t{t.tv_sec} * 1000 + t.tv_nsec / 1000000;
}

SSL* sessionOf(MorvalenConnection* c) { return static_cast<SSL*>(c->tls); }

// OpenSSL writes with write(2), which raises SIGPIPE towards a service that
// has gone; any step may write (a record, an alert). The guard blocks SIGPIPE
// for the calling thread, takes a SIGPIPE the step raised, and restores the
// mask, so the caller gets an error instead of the end of its process.
struct PipeGuard {
    sigset_t pipe;
    sigset_t before;
    PipeGuard() {
        sigemptyset(&pipe);
        sigaddset(&pipe, SIGPIPE);
        (void)pthread_sigmask(SIG_BLOCK, &pipe, &before);
    }
    ~PipeGuard() {
        sigset_t pending;
        if (sigpending(&pending) == 0 && sigismember(&pending, SIGPIPE) == 1 && sigismember(&before, SIGPIPE) == 0) {
            timespec none{};
            (void)sigtimedwait(&pipe, nullptr, &none);
        }
        (void)pthread_sigmask(SIG_SETMASK, &before, nullptr);
    }
    PipeGuard(const PipeGuard&) = delete;
    PipeGuard& operator=(const PipeGuard&) = delete;
};

// Keeps the reason of the oldest queued OpenSSL error (or fallback) in c.
int32_t failWith(MorvalenConnection* c, int32_t status, const char* fallback) {
    unsigned long error = ERR_get_error();
    char text[200];
    if (error != 0) {
        ERR_error_string_n(error, text, sizeof text);
    } else {
        std::snprintf(text, sizeof text, "%s", fallback);
    }
    std::snprintf(c->tlsError, sizeof c->tlsError, "%s", text);
    ERR_clear_error();
    return status;
}

// Waits for the socket as OpenSSL asked (error kind e): kClientOk, or
// kClientTimedOut when the deadline passed.
int32_t waitFor(MorvalenConnection* c, int e, int64_t deadline) {
    for (;;) {
        int wait = -1;
        if (deadline >= 0) {
            int64_t left = deadline - monotonicMs();
            if (left <= 0) return kClientTimedOut;
            wait = left > 1000000 ? 1000000 : static_cast<int>(left);
        }
        pollfd p{c->fd, static_cast<short>(e == SSL_ERROR_WANT_WRITE ? POLLOUT : POLLIN), 0};
        int r = ::poll(&p, 1, wait);
        if (r > 0) return kClientOk;
        if (r < 0 && errno != EINTR) {
            c->lastErrno = errno;
            return kClientReceiveFailed;
        }
    }
}

bool isIpAddress(const char* name) {
    unsigned char scratch[16];
    return inet_pton(AF_INET, name, scratch) == 1 || inet_pton(AF_INET6, name, scratch) == 1;
}

// The context: TLS 1.2 at least, the server verified against caFile, and the
// client's own certificate when given.
SSL_CTX* makeContext(MorvalenConnection* c, const MorvalenTlsOptions* o) {
    SSL_CTX* context = SSL_CTX_new(TLS_client_method());
    if (context == nullptr) return nullptr;
    (void)SSL_CTX_set_min_proto_version(context, TLS1_2_VERSION);
    SSL_CTX_set_verify(context, SSL_VERIFY_PEER, nullptr);
    const char* failed = nullptr;
    if (o->caFile == nullptr || SSL_CTX_load_verify_locations(context, o->caFile, nullptr) != 1) {
        failed = "the CA file";
    } else if (o->certFile != nullptr && SSL_CTX_use_certificate_chain_file(context, o->certFile) != 1) {
        failed = "the certificate file";
    } else if (o->certFile != nullptr &&
               (o->keyFile == nullptr || SSL_CTX_use_PrivateKey_file(context, o->keyFile, SSL_FILETYPE_PEM) != 1 ||
                SSL_CTX_check_private_key(context) != 1)) {
        failed = "the key file";
    }
    if (failed != nullptr) {
        char what[64];
        std::snprintf(what, sizeof what, "cannot use %s", failed);
        (void)failWith(c, kClientTlsFailed, what);
        SSL_CTX_free(context);
        return nullptr;
    }
    return context;
}

}  // namespace

int32_t tlsClientStart(MorvalenConnection* c, const MorvalenTlsOptions* o, const char* host, int64_t deadline) {
    c->tlsError[0] = '\0';
    ERR_clear_error();
    SSL_CTX* context = makeContext(c, o);
    if (context == nullptr) {
        return c->tlsError[0] != '\0' ? kClientTlsFailed : failWith(c, kClientTlsFailed, "out of memory");
    }
    SSL* ssl = SSL_new(context);
    SSL_CTX_free(context);  // the session holds its own reference
    if (ssl == nullptr) return failWith(c, kClientTlsFailed, "out of memory");
    c->tls = ssl;
    const char* name = o->serverName != nullptr ? o->serverName : host;
    bool named = true;
    if (isIpAddress(name)) {
        named = X509_VERIFY_PARAM_set1_ip_asc(SSL_get0_param(ssl), name) == 1;
    } else {
        named = SSL_set1_host(ssl, name) == 1 && SSL_set_tlsext_host_name(ssl, name) == 1;
    }
    int flags = ::fcntl(c->fd, F_GETFL);
    if (!named || flags < 0 || ::fcntl(c->fd, F_SETFL, flags | O_NONBLOCK) != 0 || SSL_set_fd(ssl, c->fd) != 1) {
        return failWith(c, kClientTlsFailed, "cannot set up the session");
    }
    PipeGuard guard;
    for (;;) {
        int r = SSL_connect(ssl);
        if (r == 1) return kClientOk;
        int e = SSL_get_error(ssl, r);
        if (e != SSL_ERROR_WANT_READ && e != SSL_ERROR_WANT_WRITE) {
            long verify = SSL_get_verify_result(ssl);
            if (verify != X509_V_OK) {
                std::snprintf(c->tlsError, sizeof c->tlsError, "server certificate: %s",
                              X509_verify_cert_error_string(verify));
                ERR_clear_error();
                return kClientTlsFailed;
            }
            return failWith(c, kClientTlsFailed, "handshake failed");
        }
        int32_t ready = waitFor(c, e, deadline);
        if (ready != kClientOk) {
            std::snprintf(c->tlsError, sizeof c->tlsError, "no TLS handshake in time");
            return ready;
        }
    }
}

int32_t tlsClientReadFull(MorvalenConnection* c, uint8_t* out, size_t n, int64_t deadline) {
    PipeGuard guard;
    SSL* ssl = sessionOf(c);
    size_t got = 0;
    while (got < n) {
        ERR_clear_error();
        errno = 0;
        int r = SSL_read(ssl, out + got, static_cast<int>(n - got));
        if (r > 0) {
            got += static_cast<size_t>(r);
            continue;
        }
        int e = SSL_get_error(ssl, r);
        if (e == SSL_ERROR_WANT_READ || e == SSL_ERROR_WANT_WRITE) {
            int32_t ready = waitFor(c, e, deadline);
            if (ready != kClientOk) return ready;
            continue;
        }
        if (e == SSL_ERROR_ZERO_RETURN) return kClientClosed;
        if (e == SSL_ERROR_SYSCALL && ERR_peek_error() == 0) {
            c->lastErrno = errno;
            return errno == 0 || errno == ECONNRESET ? kClientClosed : kClientReceiveFailed;
        }
        // An alert from the service (a certificate it refused) or a broken record.
        return failWith(c, kClientTlsFailed, "receive failed");
    }
    return kClientOk;
}

int32_t tlsClientWriteFull(MorvalenConnection* c, const uint8_t* bytes, size_t n, int64_t deadline) {
    PipeGuard guard;
    SSL* ssl = sessionOf(c);
    for (;;) {
        ERR_clear_error();
        errno = 0;
        int r = SSL_write(ssl, bytes, static_cast<int>(n));
        if (r > 0) return kClientOk;
        int e = SSL_get_error(ssl, r);
        if (e == SSL_ERROR_WANT_READ || e == SSL_ERROR_WANT_WRITE) {
            int32_t status = waitFor(c, e, deadline);
            if (status != kClientOk) return status;
            continue;
        }
        c->lastErrno = errno;
        ERR_clear_error();
        // A service that refused this client's certificate has sent an alert
        // and closed; read it (without waiting) so the caller learns why.
        uint8_t scratch[1];
        if (SSL_read(ssl, scratch, 1) <= 0 && ERR_peek_error() != 0) {
            return failWith(c, kClientTlsFailed, "refused by the service");
        }
        return kClientSendFailed;
    }
}

void tlsClientFree(MorvalenConnection* c) {
    SSL_free(sessionOf(c));  // no close_notify: the socket is closed right after
    c->tls = nullptr;
}

}  // namespace morvalen
