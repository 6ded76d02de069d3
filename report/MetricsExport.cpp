// The service's metrics endpoint: an HTTP server of prometheus-cpp (civetweb
// underneath, with threads of its own) serving /metrics. At each scrape its
// thread calls Collect, which reads the atomics of MetricsState (relaxed; a
// scrape sees each figure as it stood at some moment during the scrape) and
// the gauge sources; nothing on the request path calls into the library.
//
// State owned here: the exposer and the collectable, made once by
// metricsServe and kept for the rest of the process (a stop ends the process
// without tearing them down, like every other thread of the service).
#include <prometheus/collectable.h>
#include <prometheus/exposer.h>
#include <prometheus/metric_family.h>

#include <limits>
#include <memory>
#include <string>
#include <vector>

#include "platform/SignalHold.h"
#include "report/Guard.h"
#include "report/MetricsState.h"

namespace {

using prometheus::ClientMetric;
using prometheus::MetricFamily;
using prometheus::MetricType;

MetricFamily family(const char* name, const char* help, MetricType type) {
    MetricFamily f;
    f.name = name;
    f.help = help;
    f.type = type;
    return f;
}

ClientMetric sample(double value, std::vector<ClientMetric::Label> labels = {}) {
    ClientMetric m;
    m.label = std::move(labels);
    m.counter.value = value;
    m.gauge.value = value;
    return m;
}

double read(const std::atomic<uint64_t>& counter) {
    return static_cast<double>(counter.load(std::memory_order_relaxed));
}

double readSource(const std::atomic<MetricsSource>& source) {
    MetricsSource f = source.load(std::memory_order_relaxed);
    return f != nullptr ? static_cast<double>(f()) : 0.0;
}

std::string resultLabel(int32_t slot) {
    return slot < kMetricsResultCodeCount ? std::to_string(kMetricsResultCodes[slot]) : std::string("other");
}

void addRequests(const MetricsState& state, std::vector<MetricFamily>* out) {
    MetricFamily requests = family("morvalen_requests_total", "Requests answered, by verb and by the reply's result code.",
                                   MetricType::Counter);
    MetricFamily latency = family("morvalen_request_duration_seconds",
                                  "Time from a request's header to its reply, by verb.", MetricType::Histogram);
    for (int32_t verb = 0; verb < kMetricsVerbCount; ++verb) {
        for (int32_t slot = 0; slot < kMetricsResultSlots; ++slot) {
            double n = read(state.requests[verb][slot]);
            if (n > 0) {
                requests.metric.push_back(
                    sample(n, {{"verb", kMetricsVerbNames[verb]}, {"result", resultLabel(slot)}}));
            }
        }
        ClientMetric h;
        h.label = {{"verb", kMetricsVerbNames[verb]}};
        uint64_t cumulative = 0;
        for (int32_t b = 0; b <= kMetricsLatencyBounds; ++b) {
            cumulative += state.latency[verb].buckets[b].load(std::memory_order_relaxed);
            ClientMetric::Bucket bucket;
            bucket.cumulative_count = cumulative;
            bucket.upper_bound = b < kMetricsLatencyBounds ? kMetricsLatencyBucketSeconds[b]
                                                           : std::numeric_limits<double>::infinity();
            h.histogram.bucket.push_back(bucket);
        }
        h.histogram.sample_count = cumulative;
        h.histogram.sample_sum = read(state.latency[verb].sumNanoseconds) / 1e9;
        latency.metric.push_back(std::move(h));
    }
    out->push_back(std::move(requests));
    out->push_back(std::move(latency));
}

std::vector<MetricFamily> collectAll() {
    const MetricsState& state = metricsState();
    std::vector<MetricFamily> out;
    MetricFamily open = family("morvalen_connections_open", "Client connections open.", MetricType::Gauge);
    open.metric.push_back(sample(readSource(state.connectionsOpen)));
    out.push_back(std::move(open));
    MetricFamily accepted = family("morvalen_connections_accepted_total",
                                   "Client connections accepted and given a thread of their own.", MetricType::Counter);
    accepted.metric.push_back(sample(read(state.accepted)));
    out.push_back(std::move(accepted));
    MetricFamily refused = family("morvalen_connections_refused_total",
                                  "Client connections closed at once: reason=\"cap\" for MORVALEN_MAX_CONNECTIONS, "
                                  "reason=\"descriptors\" for the descriptor reserve.",
                                  MetricType::Counter);
    refused.metric.push_back(sample(read(state.refusedCap), {{"reason", "cap"}}));
    refused.metric.push_back(sample(read(state.refusedDescriptors), {{"reason", "descriptors"}}));
    out.push_back(std::move(refused));
    addRequests(state, &out);
    MetricFamily branches = family("morvalen_branches", "Branch records held by the service.", MetricType::Gauge);
    branches.metric.push_back(sample(readSource(state.liveBranches)));
    out.push_back(std::move(branches));
    MetricFamily workers = family("morvalen_worker_threads", "Branch worker threads running.", MetricType::Gauge);
    workers.metric.push_back(sample(static_cast<double>(state.workers.load(std::memory_order_relaxed))));
    out.push_back(std::move(workers));
    MetricFamily sweeps = family("morvalen_sweeps_total", "Full walks of the branch registry that sweep expired branches.",
                                 MetricType::Counter);
    sweeps.metric.push_back(sample(read(state.sweeps)));
    out.push_back(std::move(sweeps));
    MetricFamily swept = family("morvalen_branches_swept_total",
                                "Expired branches swept: outcome=\"rolled_back\", or outcome=\"in_doubt\" for a "
                                "prepared one left to its transaction manager.",
                                MetricType::Counter);
    swept.metric.push_back(sample(read(state.sweptRolledBack), {{"outcome", "rolled_back"}}));
    swept.metric.push_back(sample(read(state.sweptInDoubt), {{"outcome", "in_doubt"}}));
    out.push_back(std::move(swept));
    MetricFamily rebinds = family("morvalen_coordinator_rebinds_total",
                                  "Bindings to the coordinator made afresh after one was dropped.", MetricType::Counter);
    rebinds.metric.push_back(sample(read(state.rebinds)));
    out.push_back(std::move(rebinds));
    bool parallel = state.parallelCompletions.load(std::memory_order_relaxed);
    MetricFamily mode = family("morvalen_completion_mode",
                               "The completion mode in force (1 for the mode named by the label).", MetricType::Gauge);
    mode.metric.push_back(sample(parallel ? 0.0 : 1.0, {{"mode", "serial"}}));
    mode.metric.push_back(sample(parallel ? 1.0 : 0.0, {{"mode", "parallel"}}));
    out.push_back(std::move(mode));
    return out;
}

struct ServiceCollectable : prometheus::Collectable {
    std::vector<MetricFamily> Collect() const override {
        std::vector<MetricFamily> out;
        // A failure here (memory) answers an empty scrape rather than ending a civetweb thread.
        guardedRun("metrics", [&] { out = collectAll(); });
        return out;
    }
};

std::unique_ptr<prometheus::Exposer> exposer;           // written once by metricsServe
std::shared_ptr<ServiceCollectable> collectable;         // registered with the exposer

}  // namespace

int32_t metricsServe(const char* address) noexcept {
    // The server's threads start here, possibly before the service run blocks
    // its stop signal on the main thread: they must never take it themselves.
    platform::threadSignalsHold();
    struct Release {
        ~Release() { platform::threadSignalsRelease(); }
    } release;
    try {
        auto made = std::make_unique<prometheus::Exposer>(address, 2);
        collectable = std::make_shared<ServiceCollectable>();
        made->RegisterCollectable(collectable, "/metrics");
        exposer = std::move(made);
        return kMetricsServing;
    } catch (...) {
        // civetweb could not bind the address (in use, not local, refused).
        return kMetricsUnbindable;
    }
}
