// What the counting side of the service's metrics (Metrics.cpp) shares with
// the endpoint that reads it at scrape time (MetricsExport.cpp, or
// MetricsExportNone.cpp in a build without one). Internal to report/.
#pragma once

#include <atomic>
#include <cstdint>

#include "report/Metrics.h"

constexpr int32_t kMetricsVerbCount = 8;
// Upper bounds of the request latency buckets, in seconds; a last bucket
// without a bound (+Inf) follows them.
constexpr int32_t kMetricsLatencyBounds = 16;
extern const double kMetricsLatencyBucketSeconds[kMetricsLatencyBounds];
// The reply codes counted each under its own value; every other code goes
// into a last slot, reported as result="other".
constexpr int32_t kMetricsResultCodeCount = 34;
extern const int32_t kMetricsResultCodes[kMetricsResultCodeCount];
constexpr int32_t kMetricsResultSlots = kMetricsResultCodeCount + 1;
// The request codes' names, as the protocol names the verbs.
extern const char* const kMetricsVerbNames[kMetricsVerbCount];

// A latency histogram: counts per bucket (not cumulative) and the sum.
struct MetricsLatency {
    std::atomic<uint64_t> buckets[kMetricsLatencyBounds + 1] = {};  // the last is +Inf
    std::atomic<uint64_t> sumNanoseconds{0};
};

// Every figure the service counts; one process-wide instance (Metrics.cpp).
struct MetricsState {
    std::atomic<bool> serving{false};                                     // the endpoint serves
    std::atomic<uint64_t> requests[kMetricsVerbCount][kMetricsResultSlots] = {};  // by verb and reply code
    MetricsLatency latency[kMetricsVerbCount];                            // by verb
    std::atomic<uint64_t> accepted{0};                                    // handed to a connection thread
    std::atomic<uint64_t> refusedCap{0};                                  // closed for MORVALEN_MAX_CONNECTIONS
    std::atomic<uint64_t> refusedDescriptors{0};                          // closed for the descriptor reserve
    std::atomic<int32_t> workers{0};                                      // branch worker threads running
    std::atomic<uint64_t> sweeps{0};                                      // full walks of the registry
    std::atomic<uint64_t> sweptRolledBack{0};                             // expired branches rolled back
    std::atomic<uint64_t> sweptInDoubt{0};                                // expired prepared ones left in doubt
    std::atomic<uint64_t> rebinds{0};                                     // bindings made afresh
    std::atomic<bool> parallelCompletions{false};                         // the completion mode
    std::atomic<MetricsSource> connectionsOpen{nullptr};                  // gauge sources
    std::atomic<MetricsSource> liveBranches{nullptr};
};

[[nodiscard]] MetricsState& metricsState() noexcept;

// Results of metricsServe.
constexpr int32_t kMetricsServing = 0;
constexpr int32_t kMetricsUnbindable = -1;   // the address cannot be listened on
constexpr int32_t kMetricsUnsupported = -2;  // this build has no endpoint

// Starts the endpoint on address (HOST:PORT, already checked for its shape)
// for the rest of the process; one of the results above.
[[nodiscard]] int32_t metricsServe(const char* address) noexcept;
