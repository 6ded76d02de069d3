// Service-manager status notifications (SetServiceStatus): sd_notify(3).
#pragma once

#include <cstdint>

namespace platform {

// True when the process was started by the service manager with a notify
// socket it can use (NOTIFY_SOCKET set and naming a socket that accepts datagrams).
[[nodiscard]] bool serviceManagerPresent() noexcept;

// Sends one notification, newline-separated VAR=value assignments.
// Returns a positive number on success, 0 or negative when there is no notify
// socket or the send failed.
[[nodiscard]] int32_t serviceNotify(const char* state) noexcept;

}  // namespace platform
