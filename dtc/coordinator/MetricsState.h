// What dtcd's metrics counting (MetricsCount.cpp) shares with its endpoint
// (MetricsExport.cpp). Internal to the coordinator.
#pragma once

#include <atomic>
#include <cstdint>
#include <mutex>

#include "Coordinator.h"

constexpr int32_t kFlushBounds = 14;      // flush duration buckets (seconds), then +Inf
constexpr int32_t kBatchBounds = 10;      // records per group commit buckets, then +Inf
constexpr int32_t kBranchStateSlots = 7;  // indexed by dtcwire::kState*
extern const double kFlushBucketSeconds[kFlushBounds];
extern const double kBatchBucketRecords[kBatchBounds];

// A histogram of atomics: counts per bucket (not cumulative) and the sum of
// the observations in whole units (nanoseconds, records).
template <int32_t Bounds>
struct AtomicHistogram {
    std::atomic<uint64_t> buckets[Bounds + 1] = {};  // the last is +Inf
    std::atomic<uint64_t> sumUnits{0};
};

struct DtcdMetrics {
    std::atomic<bool> serving{false};          // the endpoint serves
    const Store* store = nullptr;              // written once before serving
    AtomicHistogram<kFlushBounds> flush;       // group commit durations (sum in nanoseconds)
    AtomicHistogram<kBatchBounds> batch;       // records per group commit
    std::mutex mu;                             // guards the published copy below
    Stats stats;                               // the loop's counters as last published
    uint64_t branches[kBranchStateSlots] = {}; // branches by state as last counted
    uint64_t connectionsOpen = 0;              // clients connected
};

DtcdMetrics& dtcdMetrics();
