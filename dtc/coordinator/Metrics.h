// dtcd's figures for a monitoring system, served at /metrics in Prometheus'
// text format when dtcd runs with --metrics-listen ADDRESS:PORT.
//
// The event loop owns the Coordinator, so the endpoint's threads never read
// it: after each pass the loop publishes a copy of its counters, and the
// branches counted by state (at most every kMetricsCountIntervalMs, the loop
// waking once more for a count it put off), under a mutex of this module's
// own. The writer thread records each group commit's flush time and size in
// atomics. Without --metrics-listen none of this runs: the publish answers at
// once.
#pragma once

#include <cstdint>
#include <string>

#include "Coordinator.h"

constexpr int64_t kMetricsCountIntervalMs = 100;

// Starts the endpoint on address for the rest of the process. False, with a
// one-line reason in *error, when the address is malformed or cannot be
// listened on. store's counters are read at each scrape.
[[nodiscard]] bool metricsStart(const std::string& address, const Store* store, std::string* error);

// Event loop, after each pass: publishes the counters and, when due, the
// branches by state. Answers the monotonic time at which the loop should wake
// to publish a count it put off, or 0 for none (and always 0 while no
// endpoint serves).
[[nodiscard]] int64_t metricsPublish(const Coordinator& co, int64_t nowMs);

// Writer thread, after a group commit that succeeded: its duration (the
// batch's transaction and the flush of the log) and the records it wrote.
void metricsObserveGroupCommit(double seconds, uint64_t records);
