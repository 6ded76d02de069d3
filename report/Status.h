// Service status reports to the service manager (SetServiceStatus via sd_notify).
#pragma once

#include <cstdint>

constexpr uint32_t SERVICE_WIN32_OWN_PROCESS = 0x10;
constexpr uint32_t SERVICE_STOPPED = 1;
constexpr uint32_t SERVICE_START_PENDING = 2;
constexpr uint32_t SERVICE_STOP_PENDING = 3;
constexpr uint32_t SERVICE_RUNNING = 4;
constexpr uint32_t SERVICE_ACCEPT_STOP = 1;

// The one process-wide status record, as the last report left it.
struct ServiceStatus {
    uint32_t dwServiceType = 0;              // SERVICE_WIN32_OWN_PROCESS in a service run, 0 in a console run
    uint32_t dwCurrentState = 0;             // state last reported
    uint32_t dwControlsAccepted = 0;         // 0 while start pending, SERVICE_ACCEPT_STOP otherwise
    uint32_t dwWin32ExitCode = 0;            // exit code given with the report
    uint32_t dwServiceSpecificExitCode = 0;  // always 0
    uint32_t dwCheckPoint = 0;               // see reportStatus
    uint32_t dwWaitHint = 0;                 // milliseconds
};

// Fills the record, takes the next check point for pending states (0 for
// running and stopped), sends it to the service manager and returns non-zero on
// success; on failure warns "SetServiceStatus failed" and returns 0.
uint32_t reportStatus(uint32_t state, uint32_t exitCode, uint32_t waitHint) noexcept;

// Marks the process as a service run (the status handle of a registered
// control handler): from now on reports go to the service manager.
void statusAttachServiceManager(bool attached) noexcept;

// A copy of the record as the last report left it (for tests and diagnostics).
[[nodiscard]] ServiceStatus statusSnapshot() noexcept;
