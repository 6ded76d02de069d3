// TLS on the service's port.
//
// Life of a TLS connection:
//  1. The listener accepts and starts the connection's thread, as for any
//     client; nothing of TLS runs on the listener's thread.
//  2. tlsAdmit takes a reference to the current server material (certificate,
//     key, client CA) and runs the handshake within kTlsHandshakeTimeoutMs, so
//     a silent or slow peer costs only its own thread.
//  3. The client's certificate names are checked against the allowed list;
//     the connection keeps the name it was admitted under (peerName).
//  4. The protocol runs unchanged inside the session: the 16-byte handshake,
//     then the request loop, through the wire primitives.
//
// State owned here: the settings (written once by tlsReadSettings before any
// connection exists, read-only afterwards); the current server material,
// guarded by materialMutex, replaced whole by a reload; the times of the last
// refusal report per peer address, guarded by refusalMutex.
#include "net/Tls.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <string>
#include <unordered_map>
#include <vector>

#include "platform/Clock.h"
#include "platform/Tls.h"
#include "report/Report.h"

namespace {

constexpr uint32_t kRefusalReportIntervalMs = 60 * 1000;
// Peer addresses remembered for the report limit; under a flood from more
// addresses than this within a minute, further refusals go unreported.
constexpr size_t kRefusalAddressesKept = 4096;
constexpr size_t kReasonSize = 256;
constexpr size_t kLineSize = 1024;

struct TlsSettings {
    const char* certificate = nullptr;  // MORVALEN_TLS_CERTIFICATE
    const char* key = nullptr;          // MORVALEN_TLS_KEY
    const char* clientCa = nullptr;     // MORVALEN_TLS_CLIENT_CA, null: no client certificates
    std::vector<std::string> names;     // MORVALEN_TLS_CLIENT_NAMES, empty: any name
    bool isolate = false;               // MORVALEN_TLS_ISOLATE_CLIENTS=1: a certificate must carry a name
};

// Written once by tlsReadSettings, before the listener starts.
TlsSettings settings;
bool enabled = false;

std::mutex materialMutex;
platform::TlsServer* material = nullptr;  // guarded by materialMutex; holds one reference

std::mutex refusalMutex;
std::unordered_map<std::string, uint32_t> lastRefusalReport;  // guarded by refusalMutex: address -> tick

// Reports one line; the texts end in a line end like the listener's others.
void reportLine(const char* format, const char* a, const char* b = "", const char* c = "") {
    char line[kLineSize];
    std::snprintf(line, sizeof line, format, a, b, c);
    reportError(line);
}

const char* variableFor(platform::TlsLoadFailure failure) {
    switch (failure) {
        case platform::TlsLoadFailure::Certificate:
        case platform::TlsLoadFailure::None:
        case platform::TlsLoadFailure::Other:
            return "MORVALEN_TLS_CERTIFICATE";
        case platform::TlsLoadFailure::Key:
            return "MORVALEN_TLS_KEY";
        case platform::TlsLoadFailure::ClientCa:
            return "MORVALEN_TLS_CLIENT_CA";
    }
    return "MORVALEN_TLS_CERTIFICATE";
}

// Loads the files named by the settings: the new material, or null with the
// variable at fault and the reason.
platform::TlsServer* loadMaterial(const char** variable, char* reason, size_t size) {
    platform::TlsServer* server = nullptr;
    platform::TlsLoadFailure failure = platform::TlsLoadFailure::None;
    if (platform::tlsServerLoad(settings.certificate, settings.key, settings.clientCa, &server, &failure, reason,
                                size) != 0) {
        *variable = variableFor(failure);
        return nullptr;
    }
    return server;
}

platform::TlsServer* acquireMaterial() {
    std::lock_guard<std::mutex> hold(materialMutex);
    platform::tlsServerRetain(material);
    return material;
}

// Splits the comma-separated list; false when it holds no name.
bool parseNames(const char* text, std::vector<std::string>* out) {
    out->clear();
    const char* at = text;
    for (;;) {
        size_t n = std::strcspn(at, ",");
        std::string name(at, n);
        while (!name.empty() && name.front() == ' ') name.erase(name.begin());
        while (!name.empty() && name.back() == ' ') name.pop_back();
        if (!name.empty()) out->push_back(name);
        if (at[n] == '\0') break;
        at += n + 1;
    }
    return !out->empty();
}

bool sameName(const char* a, const std::string& b) {
    if (std::strlen(a) != b.size()) return false;
    for (size_t i = 0; i < b.size(); ++i) {
        char x = a[i] >= 'A' && a[i] <= 'Z' ? static_cast<char>(a[i] - 'A' + 'a') : a[i];
        char y = b[i] >= 'A' && b[i] <= 'Z' ? static_cast<char>(b[i] - 'A' + 'a') : b[i];
        if (x != y) return false;
    }
    return true;
}

// The name a client is admitted under: the first of its certificate's names
// that the list allows, or with no list its first name. False when the list
// allows none of them.
bool chooseName(const platform::TlsPeerNames& names, char* chosen, size_t size) {
    chosen[0] = '\0';
    for (int32_t i = 0; i < names.count; ++i) {
        bool allowed = settings.names.empty();
        for (const std::string& name : settings.names) allowed = allowed || sameName(names.name[i], name);
        if (allowed) {
            std::snprintf(chosen, size, "%s", names.name[i]);
            return true;
        }
    }
    // No certificate names: admitted when none are demanded, unless branches
    // are kept apart per name, where a client without one could own nothing.
    return settings.names.empty() && !settings.isolate;
}

const char* refusalText(platform::TlsRefusal refusal) {
    switch (refusal) {
        case platform::TlsRefusal::None:
        case platform::TlsRefusal::Protocol:
            return "not a TLS client or a protocol error";
        case platform::TlsRefusal::UnknownCa:
            return "wrong CA";
        case platform::TlsRefusal::Expired:
            return "expired";
        case platform::TlsRefusal::NoCertificate:
            return "no certificate";
        case platform::TlsRefusal::BadCertificate:
            return "certificate not accepted";
        case platform::TlsRefusal::TimedOut:
            return "timed out";
        case platform::TlsRefusal::Closed:
        case platform::TlsRefusal::NothingSent:
            return "closed by the peer";
    }
    return "refused";
}

void reportRefusal(ClientConnection* c, const char* why, const char* detail) {
    char address[64];
    (void)platform::socketPeerAddress(c->socket, address, sizeof address);
    if (!tlsRefusalReportDue(address, platform::tickCount())) return;
    char line[kLineSize];
    std::snprintf(line, sizeof line, "TLS handshake refused from %s: %s (%s)", address, why, detail);
    reportWarning(line);
}

}  // namespace

int32_t tlsReadSettings() noexcept {
    const char* certificate = std::getenv("MORVALEN_TLS_CERTIFICATE");
    const char* key = std::getenv("MORVALEN_TLS_KEY");
    const char* clientCa = std::getenv("MORVALEN_TLS_CLIENT_CA");
    const char* names = std::getenv("MORVALEN_TLS_CLIENT_NAMES");
    const char* isolate = std::getenv("MORVALEN_TLS_ISOLATE_CLIENTS");
    if (isolate != nullptr && std::strcmp(isolate, "0") == 0) isolate = nullptr;  // 0 is the default
    const char* firstSet = certificate != nullptr ? "MORVALEN_TLS_CERTIFICATE"
                           : key != nullptr       ? "MORVALEN_TLS_KEY"
                           : clientCa != nullptr  ? "MORVALEN_TLS_CLIENT_CA"
                           : names != nullptr     ? "MORVALEN_TLS_CLIENT_NAMES"
                           : isolate != nullptr   ? "MORVALEN_TLS_ISOLATE_CLIENTS"
                                                  : nullptr;
    if (firstSet == nullptr) return 0;  // the default: plaintext, nothing loaded
    if (!platform::tlsSupported()) {
        reportLine("%s: TLS is not supported on this platform\n", firstSet);
        return -1;
    }
    if (certificate == nullptr || key == nullptr) {
        reportLine("%s must be set together with %s\n", certificate == nullptr ? "MORVALEN_TLS_CERTIFICATE" : "MORVALEN_TLS_KEY",
                   certificate == nullptr ? firstSet : "MORVALEN_TLS_CERTIFICATE");
        return -1;
    }
    const char* empty = certificate[0] == '\0' ? "MORVALEN_TLS_CERTIFICATE"
                        : key[0] == '\0'       ? "MORVALEN_TLS_KEY"
                        : clientCa != nullptr && clientCa[0] == '\0' ? "MORVALEN_TLS_CLIENT_CA"
                                                                      : nullptr;
    if (empty != nullptr) {
        reportLine("%s must name a PEM file\n", empty);
        return -1;
    }
    if (names != nullptr && clientCa == nullptr) {
        reportLine("MORVALEN_TLS_CLIENT_NAMES needs MORVALEN_TLS_CLIENT_CA\n", "");
        return -1;
    }
    if (names != nullptr && !parseNames(names, &settings.names)) {
        reportLine("MORVALEN_TLS_CLIENT_NAMES must list at least one name, separated by commas\n", "");
        return -1;
    }
    if (isolate != nullptr) {
        if (std::strcmp(isolate, "1") != 0) {
            reportLine("MORVALEN_TLS_ISOLATE_CLIENTS must be 0 or 1\n", "");
            return -1;
        }
        if (clientCa == nullptr) {
            reportLine("MORVALEN_TLS_ISOLATE_CLIENTS needs MORVALEN_TLS_CLIENT_CA\n", "");
            return -1;
        }
        // The XA bridge reads the same variable at start and keeps each
        // certificate name's branches apart.
        settings.isolate = true;
    }
    settings.certificate = certificate;
    settings.key = key;
    settings.clientCa = clientCa;
    const char* variable = nullptr;
    char reason[kReasonSize];
    platform::TlsServer* loaded = loadMaterial(&variable, reason, sizeof reason);
    if (loaded == nullptr) {
        reportLine("%s cannot be used: %s\n", variable, reason);
        return -1;
    }
    {
        std::lock_guard<std::mutex> hold(materialMutex);
        material = loaded;
    }
    enabled = true;
    return 0;
}

bool tlsEnabled() noexcept { return enabled; }

bool tlsAdmit(ClientConnection* c) {
    platform::TlsServer* server = acquireMaterial();
    if (server == nullptr) return false;
    platform::TlsRefusal refusal = platform::TlsRefusal::None;
    char reason[kReasonSize];
    platform::TlsSession* session =
        platform::tlsAccept(server, c->socket, kTlsHandshakeTimeoutMs, &refusal, reason, sizeof reason);
    platform::tlsServerRelease(server);  // the session keeps what it needs
    if (session == nullptr) {
        // A peer that connected and left without a byte (a port probe, a
        // health check) offered no handshake to refuse: nothing to report.
        if (refusal != platform::TlsRefusal::NothingSent) reportRefusal(c, refusalText(refusal), reason);
        return false;
    }
    platform::TlsPeerNames names;
    platform::tlsPeerNames(session, &names);
    if (!chooseName(names, c->peerName, sizeof c->peerName)) {
        std::string seen;
        for (int32_t i = 0; i < names.count; ++i) seen += (i == 0 ? "" : ", ") + std::string(names.name[i]);
        reportRefusal(c, "name not allowed", names.count == 0 ? "no name" : seen.c_str());
        platform::tlsSessionFree(session);
        return false;
    }
    c->tls = session;
    return true;
}

void tlsReload() noexcept {
    if (!enabled) return;
    const char* variable = nullptr;
    char reason[kReasonSize];
    platform::TlsServer* loaded = loadMaterial(&variable, reason, sizeof reason);
    if (loaded == nullptr) {
        char line[kLineSize];
        std::snprintf(line, sizeof line, "TLS reload failed, keeping the certificate in use: %s cannot be used: %s",
                      variable, reason);
        reportError(line);
        return;
    }
    platform::TlsServer* old = nullptr;
    {
        std::lock_guard<std::mutex> hold(materialMutex);
        old = material;
        material = loaded;
    }
    platform::tlsServerRelease(old);
    reportInfo("TLS certificate, key and client CA reloaded");
}

bool tlsRefusalReportDue(const char* address, uint32_t now) {
    std::lock_guard<std::mutex> hold(refusalMutex);
    auto found = lastRefusalReport.find(address);
    if (found != lastRefusalReport.end()) {
        // Unsigned difference: right across the tick count's wrap-around.
        if (now - found->second < kRefusalReportIntervalMs) return false;
        found->second = now;
        return true;
    }
    if (lastRefusalReport.size() >= kRefusalAddressesKept) {
        for (auto at = lastRefusalReport.begin(); at != lastRefusalReport.end();) {
            at = now - at->second >= kRefusalReportIntervalMs ? lastRefusalReport.erase(at) : std::next(at);
        }
        if (lastRefusalReport.size() >= kRefusalAddressesKept) return false;
    }
    lastRefusalReport.emplace(address, now);
    return true;
}
