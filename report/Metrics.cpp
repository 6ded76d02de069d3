// The counting side of the service's metrics (see Metrics.h): one
// process-wide MetricsState of atomics, written by the connection, listener,
// worker and registry threads with relaxed increments and read by the
// endpoint when it is scraped. Nothing here takes a lock. The setting
// MORVALEN_METRICS_LISTEN is judged here; the endpoint itself is
// MetricsExport.cpp.
#include "report/Metrics.h"

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "common/Codes.h"
#include "report/MetricsState.h"
#include "report/Report.h"

const double kMetricsLatencyBucketSeconds[kMetricsLatencyBounds] = {
    0.0001, 0.00025, 0.0005, 0.001, 0.0025, 0.005, 0.01, 0.025, 0.05, 0.1, 0.25, 0.5, 1.0, 2.5, 5.0, 10.0};

const int32_t kMetricsResultCodes[kMetricsResultCodeCount] = {
    XA_OK, XA_RDONLY, XA_RETRY, XA_HEURMIX, XA_HEURRB, XA_HEURCOM, XA_HEURHAZ, XA_NOMIGRATE, 1, 2,
    XA_RBROLLBACK, XA_RBCOMMFAIL, XA_RBDEADLOCK, XA_RBINTEGRITY, XA_RBOTHER, XA_RBPROTO, XA_RBTIMEOUT, XA_RBTRANSIENT,
    kSocketFailure, XAER_ASYNC, XAER_RMERR, XAER_NOTA, XAER_INVAL, XAER_PROTO, XAER_RMFAIL, XAER_DUPID, XAER_OUTSIDE,
    kRecordAllocFailed, kResumeSignalFailed, kWorkerStartFailed, kEndNoRecord, kEndSignalFailed, kRegistryGrowFailed,
    kExceptionCaught};

const char* const kMetricsVerbNames[kMetricsVerbCount] = {"start",   "end",    "forget",   "recover",
                                                          "prepare", "commit", "rollback", "query"};

MetricsState& metricsState() noexcept {
    static MetricsState state;  // never destroyed before the threads that count into it
    return state;
}

namespace {

constexpr uint32_t kPortMax = 65535;

int32_t resultSlot(int32_t result) {
    for (int32_t i = 0; i < kMetricsResultCodeCount; ++i) {
        if (kMetricsResultCodes[i] == result) {
            return i;
        }
    }
    return kMetricsResultCodeCount;  // "other"
}

int64_t monotonicNanoseconds() {
    auto now = std::chrono::steady_clock::now().time_since_epoch();
    return static_cast<int64_t>(std::chrono::duration_cast<std::chrono::nanoseconds>(now).count());
}

// A whole number of at most maxDigits digits in [first, last); false otherwise.
bool parseNumber(const char* first, const char* last, size_t maxDigits, uint32_t* out) {
    size_t length = static_cast<size_t>(last - first);
    if (length == 0 || length > maxDigits) {
        return false;
    }
    uint32_t value = 0;
    for (const char* at = first; at < last; ++at) {
        if (*at < '0' || *at > '9') {
            return false;
        }
        value = value * 10 + static_cast<uint32_t>(*at - '0');
    }
    *out = value;
    return true;
}

// Four dotted numbers up to 255 in [first, last).
bool isIpv4(const char* first, const char* last) {
    for (int part = 0; part < 4; ++part) {
        const char* end = first;
        while (end < last && *end != '.') {
            ++end;
        }
        uint32_t value = 0;
        if (!parseNumber(first, end, 3, &value) || value > 255 || (part < 3) != (end < last)) {
            return false;
        }
        first = end + 1;
    }
    return true;
}

// "[...]" holding only hexadecimal digits, colons and dots, in [first, last).
bool isBracketedIpv6(const char* first, const char* last) {
    if (last - first < 4 || *first != '[' || *(last - 1) != ']') {
        return false;
    }
    for (const char* at = first + 1; at < last - 1; ++at) {
        bool allowed = (*at >= '0' && *at <= '9') || (*at >= 'a' && *at <= 'f') || (*at >= 'A' && *at <= 'F') ||
                       *at == ':' || *at == '.';
        if (!allowed) {
            return false;
        }
    }
    return true;
}

}  // namespace

bool metricsAddressValid(const char* text) noexcept {
    const char* colon = std::strrchr(text, ':');
    if (colon == nullptr) {
        return false;
    }
    uint32_t port = 0;
    const char* end = text + std::strlen(text);
    if (!parseNumber(colon + 1, end, 5, &port) || port < 1 || port > kPortMax) {
        return false;
    }
    return isIpv4(text, colon) || isBracketedIpv6(text, colon);
}

int32_t metricsReadSettings() noexcept {
    const char* address = std::getenv("MORVALEN_METRICS_LISTEN");
    if (address == nullptr) {
        return 0;
    }
    if (!metricsAddressValid(address)) {
        reportError("MORVALEN_METRICS_LISTEN must be ADDRESS:PORT: an IPv4 address or a bracketed IPv6 address, "
                    "and a port from 1 to 65535");
        return -1;
    }
    switch (metricsServe(address)) {
        case kMetricsServing:
            metricsState().serving.store(true, std::memory_order_relaxed);
            return 0;
        case kMetricsUnsupported:
            reportError("MORVALEN_METRICS_LISTEN is not supported on this platform");
            return -1;
        default: {
            char text[300];
            std::snprintf(text, sizeof text, "MORVALEN_METRICS_LISTEN: cannot listen on %.200s", address);
            reportError(text);
            return -1;
        }
    }
}

bool metricsEnabled() noexcept { return metricsState().serving.load(std::memory_order_relaxed); }

int64_t metricsRequestStart() noexcept { return metricsEnabled() ? monotonicNanoseconds() : 0; }

void metricsCountRequest(uint32_t code, int32_t result, int64_t started) noexcept {
    if (!metricsEnabled() || code >= static_cast<uint32_t>(kMetricsVerbCount)) {
        return;
    }
    MetricsState& state = metricsState();
    state.requests[code][resultSlot(result)].fetch_add(1, std::memory_order_relaxed);
    int64_t elapsed = started > 0 ? monotonicNanoseconds() - started : 0;
    uint64_t nanoseconds = elapsed > 0 ? static_cast<uint64_t>(elapsed) : 0;
    double seconds = static_cast<double>(nanoseconds) / 1e9;
    int32_t bucket = 0;
    while (bucket < kMetricsLatencyBounds && seconds > kMetricsLatencyBucketSeconds[bucket]) {
        ++bucket;
    }
    state.latency[code].buckets[bucket].fetch_add(1, std::memory_order_relaxed);
    state.latency[code].sumNanoseconds.fetch_add(nanoseconds, std::memory_order_relaxed);
}

void metricsCountAccepted() noexcept { metricsState().accepted.fetch_add(1, std::memory_order_relaxed); }

void metricsCountRefused(MetricsRefusal why) noexcept {
    MetricsState& state = metricsState();
    (why == MetricsRefusal::ConnectionCap ? state.refusedCap : state.refusedDescriptors)
        .fetch_add(1, std::memory_order_relaxed);
}

void metricsWorkerStarted() noexcept { metricsState().workers.fetch_add(1, std::memory_order_relaxed); }

void metricsWorkerEnded() noexcept { metricsState().workers.fetch_sub(1, std::memory_order_relaxed); }

void metricsCountSweep() noexcept { metricsState().sweeps.fetch_add(1, std::memory_order_relaxed); }

void metricsCountSwept(bool prepared) noexcept {
    MetricsState& state = metricsState();
    (prepared ? state.sweptInDoubt : state.sweptRolledBack).fetch_add(1, std::memory_order_relaxed);
}

void metricsCountRebind() noexcept { metricsState().rebinds.fetch_add(1, std::memory_order_relaxed); }

void metricsSetCompletionMode(bool parallel) noexcept {
    metricsState().parallelCompletions.store(parallel, std::memory_order_relaxed);
}

void metricsSetSources(MetricsSource connectionsOpen, MetricsSource liveBranches) noexcept {
    metricsState().connectionsOpen.store(connectionsOpen, std::memory_order_relaxed);
    metricsState().liveBranches.store(liveBranches, std::memory_order_relaxed);
}
