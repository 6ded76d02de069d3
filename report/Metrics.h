// The service's figures for a monitoring system: counters kept in our own
// atomics, read by the metrics endpoint only when it is scraped.
//
// Opt-in: MORVALEN_METRICS_LISTEN=HOST:PORT (for example 127.0.0.1:9439),
// read once at start (metricsReadSettings), serves them at /metrics in
// Prometheus' text format. Without it nothing is served, and a request costs
// one relaxed load of the "on" flag; the other counters (per connection, per
// branch, per sweep) are single relaxed increments either way.
//
// Any thread may call the counting functions at any time; none blocks, fails
// or reports.
#pragma once

#include <cstdint>

// Reads MORVALEN_METRICS_LISTEN once, before the listener starts, and when it
// is set starts the endpoint. 0 when it is unset or the endpoint serves; -1
// after reporting one line naming the variable when the value is malformed,
// the address cannot be bound, or this build has no endpoint (the service
// must not start on a setting it cannot honour).
[[nodiscard]] int32_t metricsReadSettings() noexcept;

// The shape MORVALEN_METRICS_LISTEN must have: ADDRESS:PORT with a dotted
// IPv4 address or a bracketed IPv6 address and a port from 1 to 65535.
[[nodiscard]] bool metricsAddressValid(const char* text) noexcept;

// True once the endpoint serves (relaxed).
[[nodiscard]] bool metricsEnabled() noexcept;

// The start of a request for metricsCountRequest: a monotonic time in
// nanoseconds while the endpoint serves, 0 otherwise (no clock is read).
[[nodiscard]] int64_t metricsRequestStart() noexcept;

// Counts one answered request: code is the request code 0..7 (others are
// ignored), result the code of its reply, started what metricsRequestStart
// gave. Nothing happens while the endpoint does not serve.
void metricsCountRequest(uint32_t code, int32_t result, int64_t started) noexcept;

// Connections: one handed to a connection thread of its own; one closed at
// once for the cap MORVALEN_MAX_CONNECTIONS or for the descriptor reserve.
enum class MetricsRefusal : uint8_t { ConnectionCap, DescriptorReserve };
void metricsCountAccepted() noexcept;
void metricsCountRefused(MetricsRefusal why) noexcept;

// Branch workers: one started, one ended (the worker-thread gauge).
void metricsWorkerStarted() noexcept;
void metricsWorkerEnded() noexcept;

// The expiry sweep: one full walk over the registry; one expired branch
// rolled back (prepared false) or, prepared, left in doubt at the coordinator.
void metricsCountSweep() noexcept;
void metricsCountSwept(bool prepared) noexcept;

// The coordinator binding was made afresh after an earlier one was dropped.
void metricsCountRebind() noexcept;

// The completion mode in force (false: one at a time under bridgeLock).
void metricsSetCompletionMode(bool parallel) noexcept;

// Gauges read at scrape time from their owners. A source must be safe to call
// from the endpoint's threads; none set reads as 0.
using MetricsSource = int32_t (*)() noexcept;
void metricsSetSources(MetricsSource connectionsOpen, MetricsSource liveBranches) noexcept;
