// The counting side of dtcd's metrics (see Metrics.h): the writer thread's
// group-commit histograms in atomics, and the event loop's published copy of
// its counters and branch counts under DtcdMetrics::mu. The endpoint
// (MetricsExport.cpp) reads both at scrape time.
#include "Metrics.h"
#include "MetricsState.h"

const double kFlushBucketSeconds[kFlushBounds] = {0.0001, 0.00025, 0.0005, 0.001, 0.0025, 0.005, 0.01,
                                                  0.025,  0.05,    0.1,    0.25,  0.5,    1.0,   2.5};
const double kBatchBucketRecords[kBatchBounds] = {1, 2, 4, 8, 16, 32, 64, 128, 256, 512};

DtcdMetrics& dtcdMetrics() {
    // Never destroyed: the endpoint's threads may scrape while the process exits.
    static DtcdMetrics* metrics = new DtcdMetrics;
    return *metrics;
}

namespace {

// When the branches were last counted; event-loop thread only.
int64_t lastCountMs = 0;

int32_t stateSlot(const Branch& b) {
    switch (b.state) {
    case dtcwire::kStateActive:
    case dtcwire::kStateIdle: return b.active > 0 ? dtcwire::kStateActive : dtcwire::kStateIdle;
    case dtcwire::kStateRollbackOnly: return dtcwire::kStateRollbackOnly;
    case dtcwire::kStatePrepared: return dtcwire::kStatePrepared;
    case dtcwire::kStateHeuristic: return dtcwire::kStateHeuristic;
    case dtcwire::kStateCommitting: return dtcwire::kStateCommitting;
    }
    return 0;
}

template <int32_t Bounds>
void observe(AtomicHistogram<Bounds>& histogram, const double (&bounds)[Bounds], double value, uint64_t units) {
    int32_t bucket = 0;
    while (bucket < Bounds && value > bounds[bucket]) ++bucket;
    histogram.buckets[bucket].fetch_add(1, std::memory_order_relaxed);
    histogram.sumUnits.fetch_add(units, std::memory_order_relaxed);
}

} // namespace

int64_t metricsPublish(const Coordinator& co, int64_t nowMs) {
    DtcdMetrics& m = dtcdMetrics();
    if (!m.serving.load(std::memory_order_relaxed)) return 0;
    // Counting walks every branch: at most once per interval, so that a busy
    // loop does not pay it on every pass.
    bool countDue = nowMs - lastCountMs >= kMetricsCountIntervalMs;
    uint64_t counts[kBranchStateSlots] = {};
    if (countDue) {
        for (const auto& entry : co.branches) counts[stateSlot(*entry.second)]++;
        lastCountMs = nowMs;
    }
    {
        std::lock_guard hold(m.mu);
        m.stats = co.stats;
        m.connectionsOpen = co.clients.size();
        if (countDue) {
            for (int32_t i = 0; i < kBranchStateSlots; ++i) m.branches[i] = counts[i];
        }
    }
    // A pass whose count was put off may have changed the branches: wake
    // once more to count them, even if nothing else happens meanwhile.
    return countDue ? 0 : lastCountMs + kMetricsCountIntervalMs;
}

void metricsObserveGroupCommit(double seconds, uint64_t records) {
    DtcdMetrics& m = dtcdMetrics();
    if (!m.serving.load(std::memory_order_relaxed)) return;
    double nanoseconds = seconds * 1e9;
    observe(m.flush, kFlushBucketSeconds, seconds, nanoseconds > 0 ? static_cast<uint64_t>(nanoseconds) : 0);
    observe(m.batch, kBatchBucketRecords, static_cast<double>(records), records);
}
