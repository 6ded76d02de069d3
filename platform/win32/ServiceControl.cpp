// Installing and removing the service on Windows: the service control manager
// and the event source's registry key behind the same functions that write and
// enable a unit elsewhere.
//
//   serviceManagerAccess    OpenSCManagerA(SC_MANAGER_ALL_ACCESS) succeeds
//   serviceManagerRunning   always (the manager is part of Windows)
//   unitFileCreate          CreateServiceA: the unit's name without ".service",
//                           the display name from its Description= line, own
//                           process, automatic start, normal error control,
//                           LocalSystem, no dependencies, and the executable's
//                           full path in quotes (a path with blanks that is not
//                           quoted lets Windows run another program in its place)
//   unitFileExists          OpenServiceA
//   unitFileRemove          DeleteService
//   logSourceRegister       the event source, one step at a time: the key
//                           SYSTEM\CurrentControlSet\Services\EventLog\Application\<name>
//                           (RegCreateKeyExA, class "LocalSystem"), its value
//                           EventMessageFile (the executable) and its value
//                           TypesSupported 7 (error, warning, information),
//                           each value written through its own RegOpenKeyExA
//   unitEnable              all three steps, the first failure ending them
//   unitDisable             the event source's key deleted (a missing key is
//                           no error)
//   managerBusOpen/Close    OpenSCManagerA / CloseServiceHandle
//   managerReload           nothing to do
//   managerStopUnit         ControlService(SERVICE_CONTROL_STOP)
//   managerUnitActiveState  QueryServiceStatus, as "activating", "active",
//                           "deactivating" or "inactive"
//   managerUnitStopTimeout  none (UINT64_MAX): Windows has no stop time-out
#include "platform/ServiceControl.h"

#include <cstdio>
#include <cstring>
#include <string>

#include <windows.h>

#include "platform/Process.h"

namespace platform {

struct ManagerBus {
    SC_HANDLE manager;
};

namespace {

constexpr const char* kEventSourceKey = "SYSTEM\\CurrentControlSet\\Services\\EventLog\\Application\\";

// "Morvalen.service" -> "Morvalen".
std::string serviceName(const char* unitName) {
    std::string name = unitName != nullptr ? unitName : "";
    const std::string suffix = ".service";
    if (name.size() > suffix.size() && name.compare(name.size() - suffix.size(), suffix.size(), suffix) == 0) {
        name.resize(name.size() - suffix.size());
    }
    return name;
}

// The value of a "Name=" line of the unit text, or fallback.
std::string unitLine(const char* content, const char* name, const std::string& fallback) {
    size_t length = strlen(name);
    for (const char* line = content; line != nullptr && *line != '\0';) {
        const char* end = strchr(line, '\n');
        if (strncmp(line, name, length) == 0 && line[length] == '=') {
            const char* value = line + length + 1;
            return end != nullptr ? std::string(value, end) : std::string(value);
        }
        line = end != nullptr ? end + 1 : nullptr;
    }
    return fallback;
}

// Closes a service-manager handle without changing the thread's last error.
void closeKeepingError(SC_HANDLE handle) {
    DWORD error = GetLastError();
    CloseServiceHandle(handle);
    SetLastError(error);
}

SC_HANDLE openManager() {
    return OpenSCManagerA(nullptr, nullptr, SC_MANAGER_ALL_ACCESS);
}

bool fail(LONG error) {
    SetLastError(static_cast<DWORD>(error));
    return false;
}

}  // namespace

bool serviceManagerAccess() noexcept {
    SC_HANDLE manager = openManager();
    if (manager == nullptr) return false;
    CloseServiceHandle(manager);
    return true;
}

bool serviceManagerRunning() noexcept {
    return true;
}

bool unitFileCreate(const char* unitName, const char* content) noexcept {
    std::string name = serviceName(unitName);
    std::string display = unitLine(content, "Description", name);
    char path[MAX_PATH + 1];
    if (executablePath(path, sizeof path) == 0) return false;
    // Quoted: the manager runs the command line, which splits at blanks.
    std::string command = std::string("\"") + path + "\"";
    SC_HANDLE manager = openManager();
    if (manager == nullptr) return false;
    SC_HANDLE service = CreateServiceA(manager, name.c_str(), display.c_str(), SERVICE_ALL_ACCESS,
                                       SERVICE_WIN32_OWN_PROCESS, SERVICE_AUTO_START, SERVICE_ERROR_NORMAL,
                                       command.c_str(), nullptr, nullptr, "\0", nullptr, nullptr);
    if (service == nullptr) {
        closeKeepingError(manager);
        return false;
    }
    CloseServiceHandle(service);
    CloseServiceHandle(manager);
    return true;
}

bool unitFileExists(const char* unitName) noexcept {
    SC_HANDLE manager = openManager();
    if (manager == nullptr) return false;
    SC_HANDLE service = OpenServiceA(manager, serviceName(unitName).c_str(), SERVICE_ALL_ACCESS);
    if (service == nullptr) {
        closeKeepingError(manager);
        return false;
    }
    CloseServiceHandle(service);
    CloseServiceHandle(manager);
    return true;
}

bool unitFileRemove(const char* unitName) noexcept {
    SC_HANDLE manager = openManager();
    if (manager == nullptr) return false;
    SC_HANDLE service = OpenServiceA(manager, serviceName(unitName).c_str(), SERVICE_ALL_ACCESS);
    if (service == nullptr) {
        closeKeepingError(manager);
        return false;
    }
    bool deleted = DeleteService(service) != 0;
    closeKeepingError(service);
    closeKeepingError(manager);
    return deleted;
}

bool logSourceRegister(LogSourceStep step, const char* sourceName, const char* executablePath) noexcept {
    std::string key = std::string(kEventSourceKey) + (sourceName != nullptr ? sourceName : "");
    LONG result = ERROR_SUCCESS;
    HKEY handle = nullptr;
    switch (step) {
        case LogSourceStep::CreateKey:
            result = RegCreateKeyExA(HKEY_LOCAL_MACHINE, key.c_str(), 0, const_cast<char*>("LocalSystem"),
                                     REG_OPTION_NON_VOLATILE, KEY_ALL_ACCESS, nullptr, &handle, nullptr);
            if (result == ERROR_SUCCESS) RegCloseKey(handle);
            break;
        case LogSourceStep::MessageFile:
            if (executablePath == nullptr) return fail(ERROR_INVALID_PARAMETER);
            result = RegOpenKeyExA(HKEY_LOCAL_MACHINE, key.c_str(), 0, KEY_WRITE, &handle);
            if (result == ERROR_SUCCESS) {
                // The executable carries the message table; its terminator is counted.
                result = RegSetValueExA(handle, "EventMessageFile", 0, REG_SZ,
                                        reinterpret_cast<const BYTE*>(executablePath),
                                        static_cast<DWORD>(strlen(executablePath) + 1));
                RegCloseKey(handle);
            }
            break;
        case LogSourceStep::TypesSupported:
            result = RegOpenKeyExA(HKEY_LOCAL_MACHINE, key.c_str(), 0, KEY_WRITE, &handle);
            if (result == ERROR_SUCCESS) {
                DWORD types = EVENTLOG_ERROR_TYPE | EVENTLOG_WARNING_TYPE | EVENTLOG_INFORMATION_TYPE;
                result = RegSetValueExA(handle, "TypesSupported", 0, REG_DWORD, reinterpret_cast<const BYTE*>(&types),
                                        sizeof types);
                RegCloseKey(handle);
            }
            break;
    }
    return result == ERROR_SUCCESS ? true : fail(result);
}

bool unitEnable(const char* unitName, const char* /*target*/) noexcept {
    std::string name = serviceName(unitName);
    char path[MAX_PATH + 1];
    if (executablePath(path, sizeof path) == 0) return false;
    return logSourceRegister(LogSourceStep::CreateKey, name.c_str(), path) &&
           logSourceRegister(LogSourceStep::MessageFile, name.c_str(), path) &&
           logSourceRegister(LogSourceStep::TypesSupported, name.c_str(), path);
}

bool unitDisable(const char* unitName, const char* /*target*/) noexcept {
    std::string key = std::string(kEventSourceKey) + serviceName(unitName);
    LONG result = RegDeleteKeyA(HKEY_LOCAL_MACHINE, key.c_str());
    if (result == ERROR_SUCCESS || result == ERROR_FILE_NOT_FOUND) return true;
    return fail(result);
}

ManagerBus* managerBusOpen() noexcept {
    SC_HANDLE manager = openManager();
    if (manager == nullptr) return nullptr;
    auto* bus = new (std::nothrow) ManagerBus{manager};
    if (bus == nullptr) {
        CloseServiceHandle(manager);
        SetLastError(ERROR_NOT_ENOUGH_MEMORY);
    }
    return bus;
}

void managerBusClose(ManagerBus* bus) noexcept {
    if (bus == nullptr) return;
    CloseServiceHandle(bus->manager);
    delete bus;
}

bool managerReload(ManagerBus* bus) noexcept {
    return bus != nullptr;
}

bool managerStopUnit(ManagerBus* bus, const char* unitName) noexcept {
    if (bus == nullptr) return fail(ERROR_INVALID_HANDLE);
    SC_HANDLE service = OpenServiceA(bus->manager, serviceName(unitName).c_str(), SERVICE_ALL_ACCESS);
    if (service == nullptr) return false;
    SERVICE_STATUS status{};
    bool sent = ControlService(service, SERVICE_CONTROL_STOP, &status) != 0;
    closeKeepingError(service);
    return sent;
}

bool managerUnitActiveState(ManagerBus* bus, const char* unitName, char* state, size_t size) noexcept {
    if (state != nullptr && size > 0) state[0] = '\0';
    if (bus == nullptr || state == nullptr || size == 0) return fail(ERROR_INVALID_PARAMETER);
    SC_HANDLE service = OpenServiceA(bus->manager, serviceName(unitName).c_str(), SERVICE_QUERY_STATUS);
    if (service == nullptr) {
        // Unknown to the manager: as a unit it has not loaded.
        if (GetLastError() == ERROR_SERVICE_DOES_NOT_EXIST) SetLastError(ERROR_FILE_NOT_FOUND);
        return false;
    }
    SERVICE_STATUS status{};
    bool queried = QueryServiceStatus(service, &status) != 0;
    closeKeepingError(service);
    if (!queried) return false;
    const char* text = "inactive";
    switch (status.dwCurrentState) {
        case SERVICE_START_PENDING:
            text = "activating";
            break;
        case SERVICE_STOP_PENDING:
            text = "deactivating";
            break;
        case SERVICE_STOPPED:
            text = "inactive";
            break;
        default:
            text = "active";  // running, and paused or pausing
            break;
    }
    snprintf(state, size, "%s", text);
    return true;
}

bool managerUnitStopTimeout(ManagerBus* bus, const char* /*unitName*/, uint64_t* usec) noexcept {
    if (usec == nullptr) return fail(ERROR_INVALID_PARAMETER);
    *usec = bus != nullptr ? UINT64_MAX : 0;
    return bus != nullptr;
}

}  // namespace platform
