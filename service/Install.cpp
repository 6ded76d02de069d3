// Installing and removing the service as a systemd unit.
//
// installService:
//  1. the executable's own path ("Unable to install ..." when it cannot be read,
//     or holds a character the manager refuses in an executable's name);
//  2. the manager-opening check: root, a writable unit directory, and, when the
//     manager runs, an answer from it on the system bus ("OpenSCManager failed");
//  3. the unit written exclusively, enabled, and the manager reloaded; a failure
//     at any of these undoes the earlier ones, so the service is either
//     installed whole or not at all ("CreateService failed");
//  4. "Orvanthe installed.".
// uninstallService:
//  1. the manager-opening check as above;
//  2. the unit must exist ("OpenService failed");
//  3. when the manager runs and the unit is active: stop it, print a dot for
//     every further second it takes, bounded by its stop time-out plus a margin;
//  4. link and unit removed ("Orvanthe removed." / "DeleteService failed"), and
//     the manager reloaded. A reload that fails here leaves the unit known to the
//     running manager until its next reload, as a Windows service marked for
//     deletion stays until its last handle closes; nothing more is printed.
// Where the service manager holds the service itself and the log source is a
// registration of its own (Windows: the event source), step 3 of installation
// creates the service alone, "Orvanthe installed." follows at once, and the
// source's three steps come after it, each tried whatever the one before gave
// and each failure printed, never undoing the service; removal deletes the
// service first and then the source, whatever that deletion gives (a service
// that cannot be deleted keeps its source).
// Both print to standard output only and never start the service.
#include "service/Install.h"

#include <cstdint>
#include <cstdio>
#include <cstring>
#include <memory>
#include <system_error>

#include "platform/Clock.h"
#include "platform/Error.h"
#include "platform/Process.h"
#include "platform/ServiceControl.h"
#include "report/Guard.h"
#include "report/Report.h"

namespace {

constexpr const char* kUnitName = "Morvalen.service";
constexpr const char* kDisplayName = "Orvanthe";
constexpr const char* kWantedBy = "multi-user.target";

// The stop time-out the manager applies when the unit sets none, and the margin
// given on top of it before uninstallService stops waiting.
constexpr unsigned kDefaultStopTimeoutSeconds = 90;
constexpr unsigned kStopWaitMarginSeconds = 5;

// The text of the last error of a service-manager step (lastErrorText).
char errorTextBuffer[256];

const char* errorTextOf(int32_t error) noexcept {
    platform::setLastError(error);
    return lastErrorText(errorTextBuffer, sizeof errorTextBuffer);
}

const char* lastErrorTextNow() noexcept { return lastErrorText(errorTextBuffer, sizeof errorTextBuffer); }

struct BusCloser {
    void operator()(platform::ManagerBus* bus) const noexcept { platform::managerBusClose(bus); }
};
using BusHandle = std::unique_ptr<platform::ManagerBus, BusCloser>;

// OpenSCManagerA: the access check, and the running manager's bus when it runs
// (null when it does not). False, with the failure printed, when either fails.
bool openServiceManager(BusHandle* bus) {
    if (!platform::serviceManagerAccess()) {
        std::printf("OpenSCManager failed - %s\n", lastErrorTextNow());
        return false;
    }
    if (!platform::serviceManagerRunning()) return true;
    bus->reset(platform::managerBusOpen());
    if (!*bus) {
        std::printf("OpenSCManager failed - %s\n", lastErrorTextNow());
        return false;
    }
    return true;
}

bool stateIsStopped(const char* state) { return std::strcmp(state, "inactive") == 0 || std::strcmp(state, "failed") == 0; }

// The unit's state as the service's: true with *stopped when the query
// answered (a unit the manager no longer holds counts as stopped).
bool queryStopped(platform::ManagerBus* bus, bool* stopped) {
    char state[64];
    if (platform::managerUnitActiveState(bus, kUnitName, state, sizeof state)) {
        *stopped = stateIsStopped(state);
        return true;
    }
    if (platform::lastError() == static_cast<int32_t>(std::errc::no_such_file_or_directory)) {
        *stopped = true;
        return true;
    }
    return false;
}

// ControlService(SERVICE_CONTROL_STOP) and the wait for the stop. Prints
// nothing when the unit does not run or the stop cannot be queued.
void stopRunningService(platform::ManagerBus* bus) {
    bool stopped = true;
    if (!queryStopped(bus, &stopped) || stopped) return;
    uint64_t timeout = 0;
    if (!platform::managerUnitStopTimeout(bus, kUnitName, &timeout)) timeout = 0;
    unsigned bound = stopWaitBoundSeconds(timeout);
    if (!platform::managerStopUnit(bus, kUnitName)) return;

    std::printf("Stopping %s.", kDisplayName);
    std::fflush(stdout);
    platform::sleepMs(1000);
    stopped = false;
    for (unsigned waited = 1;; ++waited) {
        bool now = false;
        if (!queryStopped(bus, &now)) break;
        stopped = now;
        if (stopped || waited >= bound) break;
        std::printf(".");
        std::fflush(stdout);
        platform::sleepMs(1000);
    }
    if (stopped) {
        std::printf("\n%s stopped.\n", kDisplayName);
    } else {
        std::printf("\n%s failed to stop.\n", kDisplayName);
    }
}

// The event source's registration after the service's (not kServiceUnitFiles):
// each step is tried, and each failure printed, whatever the one before gave.
void registerLogSource(const char* executablePath) {
    const char* source = "Morvalen";
    if (!platform::logSourceRegister(platform::LogSourceStep::CreateKey, source, executablePath)) {
        std::printf("The EventLog subkey could not be created.\n");
    }
    if (!platform::logSourceRegister(platform::LogSourceStep::MessageFile, source, executablePath)) {
        std::printf("The Message File value could\nnot be assigned.\n");
    }
    if (!platform::logSourceRegister(platform::LogSourceStep::TypesSupported, source, executablePath)) {
        std::printf("The Types Supported value could\nnot be assigned.\n");
    }
}

}  // namespace

bool unitExecPathAccepted(const char* path) noexcept {
    for (const char* p = path; *p != '\0'; ++p) {
        unsigned char c = static_cast<unsigned char>(*p);
        if (c == '"' || c == '\'' || c == '\\' || c < 0x20 || c == 0x7f) return false;
    }
    return true;
}

std::string unitExecPath(const char* path) {
    std::string body;
    bool quote = false;
    for (const char* p = path; *p != '\0'; ++p) {
        unsigned char c = static_cast<unsigned char>(*p);
        switch (c) {
            case '%':  // a specifier otherwise
                body += "%%";
                break;
            case '\\':
            case '"':
            case '\'':
                body += '\\';
                body += static_cast<char>(c);
                quote = true;
                break;
            case ' ':
            case '\t':
                body += static_cast<char>(c);
                quote = true;
                break;
            default:
                if (c < 0x20 || c == 0x7f) {
                    char escaped[8];
                    std::snprintf(escaped, sizeof escaped, "\\x%02x", c);
                    body += escaped;
                    quote = true;
                } else {
                    body += static_cast<char>(c);
                }
                break;
        }
    }
    return quote ? "\"" + body + "\"" : body;
}

std::string unitFileContent(const char* executablePath) {
    std::string content;
    content += "[Unit]\n";
    content += "Description=Orvanthe\n";
    // Ordering only: the coordinator is bound on the first request, not at start.
    content += "After=dtcd.service\n";
    content += "\n[Service]\n";
    content += "Type=notify\n";
    content += "ExecStart=" + unitExecPath(executablePath) + "\n";
    // Every report reaches the system log itself; standard output would copy it.
    content += "StandardOutput=null\n";
    // A service without recovery actions is never restarted.
    content += "Restart=no\n";
    content += "\n[Install]\n";
    content += "WantedBy=multi-user.target\n";
    return content;
}

unsigned stopWaitBoundSeconds(unsigned long long stopTimeoutUsec) noexcept {
    // 0 and "infinity" both mean the manager never gives up on its own; wait
    // as long as it would by default. So does an absurdly long time-out.
    constexpr unsigned long long kLongest = 3600ULL * 1000000ULL;
    if (stopTimeoutUsec == 0 || stopTimeoutUsec > kLongest) return kDefaultStopTimeoutSeconds + kStopWaitMarginSeconds;
    auto seconds = static_cast<unsigned>((stopTimeoutUsec + 999999ULL) / 1000000ULL);
    return seconds + kStopWaitMarginSeconds;
}

void installService() noexcept {
    (void)guardedRun("installService", [] {
        char path[4096];
        if (platform::executablePath(path, sizeof path) == 0) {
            std::printf("Unable to install %s - %s\n", kDisplayName, lastErrorTextNow());
            return;
        }
        // The service manager would write this unit but never start it.
        if (platform::kServiceUnitFiles && !unitExecPathAccepted(path)) {
            std::printf("Unable to install %s - %s\n", kDisplayName,
                        errorTextOf(static_cast<int32_t>(std::errc::invalid_argument)));
            return;
        }
        BusHandle bus;
        if (!openServiceManager(&bus)) return;

        std::string content = unitFileContent(path);
        if (!platform::unitFileCreate(kUnitName, content.c_str())) {
            std::printf("CreateService failed - %s\n", lastErrorTextNow());
            return;
        }
        if (!platform::kServiceUnitFiles) {
            // The service stands; its event source is registered after it.
            std::printf("%s installed.\n", kDisplayName);
            registerLogSource(path);
            return;
        }
        if (!platform::unitEnable(kUnitName, kWantedBy)) {
            int32_t error = platform::lastError();
            (void)platform::unitFileRemove(kUnitName);
            std::printf("CreateService failed - %s\n", errorTextOf(error));
            return;
        }
        if (bus && !platform::managerReload(bus.get())) {
            int32_t error = platform::lastError();
            (void)platform::unitDisable(kUnitName, kWantedBy);
            (void)platform::unitFileRemove(kUnitName);
            std::printf("CreateService failed - %s\n", errorTextOf(error));
            return;
        }
        std::printf("%s installed.\n", kDisplayName);
    });
    std::fflush(stdout);
}

void uninstallService() noexcept {
    (void)guardedRun("uninstallService", [] {
        BusHandle bus;
        if (!openServiceManager(&bus)) return;
        if (!platform::unitFileExists(kUnitName)) {
            std::printf("OpenService failed - %s\n", lastErrorTextNow());
            return;
        }
        if (bus) stopRunningService(bus.get());

        if (!platform::kServiceUnitFiles) {
            // The service first; its event source only once it is gone.
            if (!platform::unitFileRemove(kUnitName)) {
                std::printf("DeleteService failed - %s\n", lastErrorTextNow());
                return;
            }
            std::printf("%s removed.\n", kDisplayName);
            (void)platform::unitDisable(kUnitName, kWantedBy);
            return;
        }
        if (!platform::unitDisable(kUnitName, kWantedBy) || !platform::unitFileRemove(kUnitName)) {
            std::printf("DeleteService failed - %s\n", lastErrorTextNow());
            return;
        }
        std::printf("%s removed.\n", kDisplayName);
        if (bus) (void)platform::managerReload(bus.get());
    });
    std::fflush(stdout);
}
