// The listener: port 1439, the 16-byte handshake, one detached connection
// thread per admitted client.
#pragma once

#include <atomic>
#include <cstdint>

#include "platform/Socket.h"

constexpr uint16_t kServicePort = 1439;

// The listening socket once bound, kInvalidSocket before; the stop sequence
// shuts it down and closes it to wake a blocked accept.
extern std::atomic<platform::Socket> listenSocket;

// Runs the listener on the calling thread until it fails or the service stops.
// 0 when the running flag was found clear or after a caught exception; -1 on a
// socket failure; -0x20001 when a connection record cannot be allocated.
int32_t acceptLoop();

// Tests may listen on another port (0 = an ephemeral one); read back the bound
// port with listenerBoundPort once the running report has been made.
void listenerSetPort(uint16_t port) noexcept;
[[nodiscard]] uint16_t listenerBoundPort() noexcept;
