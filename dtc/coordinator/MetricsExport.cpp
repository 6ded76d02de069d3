// dtcd's metrics endpoint: an HTTP server of prometheus-cpp (civetweb, with
// threads of its own) serving /metrics. Each scrape reads the copy the event
// loop last published (under DtcdMetrics::mu), the writer's histograms and the
// store's counters (atomics); it never touches the Coordinator itself.
//
// State owned here: the exposer and its collectable, made once by
// metricsStart and kept until the process ends.
#include <prometheus/collectable.h>
#include <prometheus/exposer.h>
#include <prometheus/metric_family.h>

#include <cstddef>
#include <limits>
#include <memory>
#include <vector>

#include "Metrics.h"
#include "MetricsState.h"

namespace {

using prometheus::ClientMetric;
using prometheus::MetricFamily;
using prometheus::MetricType;

ClientMetric sample(double value, std::vector<ClientMetric::Label> labels = {}) {
    ClientMetric m;
    m.label = std::move(labels);
    m.counter.value = value;
    m.gauge.value = value;
    return m;
}

void add(std::vector<MetricFamily>* out, const char* name, const char* help, MetricType type,
         std::vector<ClientMetric> samples) {
    MetricFamily f;
    f.name = name;
    f.help = help;
    f.type = type;
    f.metric = std::move(samples);
    out->push_back(std::move(f));
}

template <int32_t Bounds>
ClientMetric histogram(const AtomicHistogram<Bounds>& h, const double (&bounds)[Bounds], double unitScale) {
    ClientMetric m;
    uint64_t cumulative = 0;
    for (int32_t b = 0; b <= Bounds; ++b) {
        cumulative += h.buckets[b].load(std::memory_order_relaxed);
        ClientMetric::Bucket bucket;
        bucket.cumulative_count = cumulative;
        bucket.upper_bound = b < Bounds ? bounds[b] : std::numeric_limits<double>::infinity();
        m.histogram.bucket.push_back(bucket);
    }
    m.histogram.sample_count = cumulative;
    m.histogram.sample_sum = static_cast<double>(h.sumUnits.load(std::memory_order_relaxed)) * unitScale;
    return m;
}

double d(uint64_t value) { return static_cast<double>(value); }

std::vector<MetricFamily> collectAll() {
    DtcdMetrics& m = dtcdMetrics();
    Stats s;
    uint64_t branches[kBranchStateSlots] = {};
    uint64_t open = 0;
    {
        std::lock_guard hold(m.mu);
        s = m.stats;
        for (int32_t i = 0; i < kBranchStateSlots; ++i) branches[i] = m.branches[i];
        open = m.connectionsOpen;
    }
    constexpr MetricType kCounter = MetricType::Counter;
    constexpr MetricType kGauge = MetricType::Gauge;
    std::vector<MetricFamily> out;
    add(&out, "dtcd_branches", "Branches held, by state (counted at most every 100 ms).", kGauge,
        {sample(d(branches[dtcwire::kStateActive]), {{"state", "active"}}),
         sample(d(branches[dtcwire::kStateIdle]), {{"state", "idle"}}),
         sample(d(branches[dtcwire::kStatePrepared]), {{"state", "prepared"}}),
         sample(d(branches[dtcwire::kStateRollbackOnly]), {{"state", "rollback_only"}}),
         sample(d(branches[dtcwire::kStateHeuristic]), {{"state", "heuristic"}}),
         sample(d(branches[dtcwire::kStateCommitting]), {{"state", "committing"}})});
    add(&out, "dtcd_requests_total", "XA requests handled, by verb.", kCounter,
        {sample(d(s.starts), {{"verb", "start"}}), sample(d(s.prepares), {{"verb", "prepare"}}),
         sample(d(s.commits), {{"verb", "commit"}}), sample(d(s.rollbacks), {{"verb", "rollback"}}),
         sample(d(s.forgets), {{"verb", "forget"}})});
    add(&out, "dtcd_branch_rollbacks_total",
        "Branches rolled back by dtcd itself: reason=\"timeout\", or reason=\"disconnect\" when the resource manager's "
        "last control connection closed.",
        kCounter,
        {sample(d(s.timeouts), {{"reason", "timeout"}}),
         sample(d(s.disconnectRollbacks), {{"reason", "disconnect"}})});
    add(&out, "dtcd_heuristic_resolutions_total", "Prepared branches resolved by hand (dtcctl resolve).", kCounter,
        {sample(d(s.heuristics))});
    const Store* store = m.store;
    add(&out, "dtcd_durable_writes_total", "Records written durably to the branch store.", kCounter,
        {sample(d(store->records.load(std::memory_order_relaxed)))});
    add(&out, "dtcd_group_commits_total", "Store transactions committed (each one flush of the log).", kCounter,
        {sample(d(store->batches.load(std::memory_order_relaxed)))});
    add(&out, "dtcd_group_commit_records", "Records per group commit.", MetricType::Histogram,
        {histogram(m.batch, kBatchBucketRecords, 1.0)});
    add(&out, "dtcd_flush_duration_seconds", "Duration of a group commit: its transaction and the flush of the log.",
        MetricType::Histogram, {histogram(m.flush, kFlushBucketSeconds, 1e-9)});
    add(&out, "dtcd_store_checkpoints_total", "Checkpoints of the store's log into the database.", kCounter,
        {sample(d(store->checkpoints.load(std::memory_order_relaxed)))});
    add(&out, "dtcd_write_failures_total", "Durable writes that failed.", kCounter, {sample(d(s.writeFailures))});
    add(&out, "dtcd_enlistments_total", "Resource managers enlisted through a cookie.", kCounter,
        {sample(d(s.enlistments))});
    add(&out, "dtcd_participant_votes_total",
        "Phase-one votes of participants: vote=\"no\" counts a failure or a participant gone before voting too.",
        kCounter,
        {sample(d(s.votesYes), {{"vote", "yes"}}), sample(d(s.votesReadOnly), {{"vote", "read_only"}}),
         sample(d(s.votesNo), {{"vote", "no"}})});
    add(&out, "dtcd_phase_one_timeouts_total", "Phase ones given up after --prepare-timeout.", kCounter,
        {sample(d(s.phaseOneTimeouts))});
    add(&out, "dtcd_phase_two_resends_total", "Phase-two requests sent again to a participant that had not answered.",
        kCounter, {sample(d(s.phaseTwoRetries))});
    add(&out, "dtcd_reenlistments_total", "Participants that reenlisted after a failure.", kCounter,
        {sample(d(s.reenlists))});
    add(&out, "dtcd_connections_open", "Client connections open.", kGauge, {sample(d(open))});
    add(&out, "dtcd_connections_accepted_total", "Client connections accepted.", kCounter,
        {sample(d(s.connections))});
    add(&out, "dtcd_connections_refused_total", "Connections refused because the peer runs as another user.",
        kCounter, {sample(d(s.refused))});
    add(&out, "dtcd_malformed_frames_total", "Connections closed for a malformed frame.", kCounter,
        {sample(d(s.badFrames))});
    return out;
}

struct DtcdCollectable : prometheus::Collectable {
    std::vector<MetricFamily> Collect() const override {
        try {
            return collectAll();
        } catch (...) {
            return {};  // out of memory: an empty scrape, the endpoint's thread goes on
        }
    }
};

std::unique_ptr<prometheus::Exposer> exposer;     // made once by metricsStart
std::shared_ptr<DtcdCollectable> collectable;      // registered with the exposer

// ADDRESS:PORT with a port from 1 to 65535 and an address without blanks or
// commas (civetweb would read those as more options); civetweb judges the rest.
bool addressShapeValid(const std::string& address) {
    size_t colon = address.rfind(':');
    if (colon == std::string::npos || colon == 0 || colon + 1 == address.size() || address.size() - colon > 6)
        return false;
    uint32_t port = 0;
    for (size_t i = colon + 1; i < address.size(); ++i) {
        if (address[i] < '0' || address[i] > '9') return false;
        port = port * 10 + static_cast<uint32_t>(address[i] - '0');
    }
    if (port < 1 || port > 65535) return false;
    for (size_t i = 0; i < colon; ++i) {
        char c = address[i];
        bool allowed = (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F') || c == '.' ||
                       c == ':' || c == '[' || c == ']';
        if (!allowed) return false;
    }
    return true;
}

} // namespace

bool metricsStart(const std::string& address, const Store* store, std::string* error) {
    if (!addressShapeValid(address)) {
        *error = "--metrics-listen must be ADDRESS:PORT (an IP address and a port from 1 to 65535): " + address;
        return false;
    }
    DtcdMetrics& m = dtcdMetrics();
    m.store = store;
    try {
        auto made = std::make_unique<prometheus::Exposer>(address, 2);
        collectable = std::make_shared<DtcdCollectable>();
        made->RegisterCollectable(collectable, "/metrics");
        exposer = std::move(made);
    } catch (...) {
        *error = "cannot serve metrics on " + address;
        return false;
    }
    m.serving.store(true, std::memory_order_relaxed);
    return true;
}
