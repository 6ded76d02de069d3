// Service status reports (SetServiceStatus): the one process-wide status
// record, the check-point counter and the notification that stands for the
// report.
//
// State: serviceStatus and nextCheckPoint, guarded by statusMutex (the
// service-main or listener thread and the stop thread both report); attached,
// read without a lock. In a service run each report is one sd_notify datagram:
//   start pending -> STATUS=Start pending, EXTEND_TIMEOUT_USEC= (the wait hint)
//   running       -> READY=1
//   stop pending  -> STOPPING=1 (and EXTEND_TIMEOUT_USEC= for a wait hint)
//   stopped       -> STATUS=Stopped
// each with X_MORVALEN_STATE=, X_MORVALEN_CHECKPOINT= and X_MORVALEN_WAIT_HINT=
// carrying the record (the service manager ignores them; tests read them).
#include "report/Status.h"

#include <atomic>
#include <cstdio>
#include <mutex>

#include "platform/Notify.h"
#include "report/Report.h"

namespace {

std::mutex statusMutex;
ServiceStatus serviceStatus;     // guarded by statusMutex
uint32_t nextCheckPoint = 1;     // guarded by statusMutex; never reset
std::atomic<bool> attached{false};

// The notification for a record, into text (cut to size, always terminated).
void formatNotification(const ServiceStatus& status, char* text, size_t size) {
    const char* head = "";
    switch (status.dwCurrentState) {
        case SERVICE_START_PENDING:
            head = "STATUS=Start pending\n";
            break;
        case SERVICE_RUNNING:
            head = "READY=1\nSTATUS=Running\n";
            break;
        case SERVICE_STOP_PENDING:
            head = "STOPPING=1\nSTATUS=Stop pending\n";
            break;
        case SERVICE_STOPPED:
            head = "STATUS=Stopped\n";
            break;
        default:
            // Any other state is reported with its record only.
            break;
    }
    char extend[64] = "";
    bool pending = status.dwCurrentState == SERVICE_START_PENDING || status.dwCurrentState == SERVICE_STOP_PENDING;
    if (pending && status.dwWaitHint != 0) {
        snprintf(extend, sizeof extend, "EXTEND_TIMEOUT_USEC=%llu\n",
                 static_cast<unsigned long long>(status.dwWaitHint) * 1000ull);
    }
    snprintf(text, size, "%s%sX_MORVALEN_STATE=%u\nX_MORVALEN_CHECKPOINT=%u\nX_MORVALEN_WAIT_HINT=%u",
             head, extend, status.dwCurrentState, status.dwCheckPoint, status.dwWaitHint);
}

}  // namespace

uint32_t reportStatus(uint32_t state, uint32_t exitCode, uint32_t waitHint) noexcept {
    bool sent = false;
    {
        std::lock_guard<std::mutex> hold(statusMutex);
        serviceStatus.dwControlsAccepted = state == SERVICE_START_PENDING ? 0 : SERVICE_ACCEPT_STOP;
        serviceStatus.dwCurrentState = state;
        serviceStatus.dwWin32ExitCode = exitCode;
        serviceStatus.dwWaitHint = waitHint;
        if (state == SERVICE_RUNNING || state == SERVICE_STOPPED) {
            serviceStatus.dwCheckPoint = 0;
        } else {
            serviceStatus.dwCheckPoint = nextCheckPoint++;
        }
        // Sent under the lock, so the manager sees the reports in the order
        // the record took them.
        if (attached.load()) {
            char text[256];
            formatNotification(serviceStatus, text, sizeof text);
            sent = platform::serviceNotify(text) > 0;
        }
    }
    if (!sent) {
        reportWarning("SetServiceStatus failed");
        return 0;
    }
    return 1;
}

void statusAttachServiceManager(bool attach) noexcept {
    {
        std::lock_guard<std::mutex> hold(statusMutex);
        serviceStatus.dwServiceType = attach ? SERVICE_WIN32_OWN_PROCESS : 0;
    }
    attached.store(attach);
}

ServiceStatus statusSnapshot() noexcept {
    std::lock_guard<std::mutex> hold(statusMutex);
    return serviceStatus;
}
