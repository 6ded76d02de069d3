// Installing and removing the service. Both print every outcome to standard
// output (never to the system log) and never start the service.
#pragma once

#include <cstddef>
#include <string>

// Registers the service: the unit "Morvalen.service" written exclusively,
// enabled for automatic start, and the manager reloaded when it runs.
void installService() noexcept;

// Stops the service when it runs (one dot per further second of its stop),
// then disables and removes the unit and reloads the manager when it runs.
void uninstallService() noexcept;

// Whether the service manager accepts the path as a service's executable: it
// refuses quotes, backslashes and control characters in it, however escaped.
[[nodiscard]] bool unitExecPathAccepted(const char* path) noexcept;

// An executable path as ExecStart= must spell it: '%' doubled; quoted, with
// backslash, quote and control characters escaped, when it holds a blank or
// one of those.
[[nodiscard]] std::string unitExecPath(const char* path);

// The whole unit file for an executable path.
[[nodiscard]] std::string unitFileContent(const char* executablePath);

// How long uninstallService polls a stopping unit, in seconds, for the unit's
// stop time-out in microseconds (UINT64_MAX for none): the time-out, after which
// the manager kills the service, plus a margin.
[[nodiscard]] unsigned stopWaitBoundSeconds(unsigned long long stopTimeoutUsec) noexcept;
