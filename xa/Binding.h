// The process-wide binding to the coordinator (DtcBinding) and bridgeLock.
#pragma once

#include <cstdint>

// Creates bridgeLock; called once by the listener at start.
void createBridgeLock() noexcept;

// Binds libmsdtcprx.so and the three interfaces on first use: 0 when the binding
// stands, otherwise the failure code (reported).
[[nodiscard]] int32_t init() noexcept;

// Drops the binding so that the next init binds afresh.
void deinit() noexcept;

// Last step of the stop sequence: unloads the library and retires bridgeLock,
// never from under a call still in flight.
void releaseBridge() noexcept;
