// The service control manager's side of a service run: the dispatcher
// (StartServiceCtrlDispatcherA), the control handler and the status reports
// (SetServiceStatus).
//
// serviceManagerPresent connects to the service control manager: it runs the
// dispatcher on a thread of its own and waits until either the manager has
// started the service (the layer's service main function has registered the
// control handler) or the dispatcher has failed, as it does at once when the
// process was not started by the manager. The service's own main function then
// runs on the caller's threads (service/Runtime.cpp); the layer's service main
// function only keeps the manager's thread until the service reports stopped.
//
// A stop control is answered only once the stop-pending report is out: the
// control handler hands the stop to the thread that runs the stop sequence
// (Signals.cpp) and waits, bounded, until that thread has reported stop
// pending (or stopped), so that whoever sent the stop (ControlService,
// sc stop) sees the service stopping, never still running.
//
// serviceNotify takes the same notification text on every platform; the
// record's fields X_MORVALEN_STATE, X_MORVALEN_CHECKPOINT and
// X_MORVALEN_WAIT_HINT become the SERVICE_STATUS that is reported (the
// controls accepted follow from the state: none while start pending, stop
// otherwise). A text without a state (a reason for the stop) reports nothing.
#include "platform/Notify.h"

#include <atomic>
#include <cstdlib>
#include <cstring>
#include <mutex>

#include <windows.h>

#include "platform/win32/Service.h"

namespace platform {
namespace {

std::mutex connectMutex;
bool connectTried = false;  // guarded by connectMutex
bool connected = false;     // guarded by connectMutex

// How long the control handler waits for the stop-pending report before it
// answers the stop all the same; the manager waits 30 s for a handler.
constexpr DWORD kStopReportWaitMs = 20000;

HANDLE startedEvent = nullptr;      // the manager ran the layer's service main function
HANDLE stoppedEvent = nullptr;      // the service reported stopped
HANDLE stopReportedEvent = nullptr;  // a stop-pending or stopped report was made
std::atomic<SERVICE_STATUS_HANDLE> statusHandle{nullptr};

DWORD WINAPI controlHandler(DWORD control, DWORD, void*, void*) {
    switch (control) {
        case SERVICE_CONTROL_STOP:
            win32StopControlArrived();
            if (stopReportedEvent != nullptr) WaitForSingleObject(stopReportedEvent, kStopReportWaitMs);
            return NO_ERROR;
        case SERVICE_CONTROL_INTERROGATE:
            // The manager keeps the last report; nothing to add to it.
            return NO_ERROR;
        default:
            return ERROR_CALL_NOT_IMPLEMENTED;
    }
}

void WINAPI layerServiceMain(DWORD, LPSTR*) {
    SERVICE_STATUS_HANDLE handle = RegisterServiceCtrlHandlerExA(win32SourceName(), controlHandler, nullptr);
    statusHandle.store(handle);
    SetEvent(startedEvent);
    if (handle == nullptr) return;
    WaitForSingleObject(stoppedEvent, INFINITE);
}

DWORD WINAPI dispatcherThread(void*) {
    SERVICE_TABLE_ENTRYA table[2] = {};
    table[0].lpServiceName = const_cast<char*>(win32SourceName());
    table[0].lpServiceProc = layerServiceMain;
    // Returns at once when the process was not started by the manager, and
    // otherwise once the service has reported stopped.
    return StartServiceCtrlDispatcherA(table) ? 0 : GetLastError();
}

// The value of "name=" at the start of a line of text, or false.
bool field(const char* text, const char* name, DWORD* value) {
    size_t length = strlen(name);
    for (const char* line = text; line != nullptr && *line != '\0';) {
        if (strncmp(line, name, length) == 0 && line[length] == '=') {
            *value = static_cast<DWORD>(strtoul(line + length + 1, nullptr, 10));
            return true;
        }
        line = strchr(line, '\n');
        if (line != nullptr) ++line;
    }
    return false;
}

}  // namespace

bool serviceManagerPresent() noexcept {
    std::lock_guard<std::mutex> hold(connectMutex);
    if (connectTried) return connected;
    connectTried = true;
    startedEvent = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    stoppedEvent = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    stopReportedEvent = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    if (startedEvent == nullptr || stoppedEvent == nullptr || stopReportedEvent == nullptr) return false;
    HANDLE thread = CreateThread(nullptr, 0, dispatcherThread, nullptr, 0, nullptr);
    if (thread == nullptr) return false;
    HANDLE either[2] = {startedEvent, thread};
    DWORD which = WaitForMultipleObjects(2, either, FALSE, INFINITE);
    CloseHandle(thread);
    connected = which == WAIT_OBJECT_0 && statusHandle.load() != nullptr;
    return connected;
}

int32_t serviceNotify(const char* state) noexcept {
    SERVICE_STATUS_HANDLE handle = statusHandle.load();
    if (handle == nullptr || state == nullptr) {
        SetLastError(ERROR_INVALID_HANDLE);
        return 0;
    }
    SERVICE_STATUS status{};
    if (!field(state, "X_MORVALEN_STATE", &status.dwCurrentState)) return 0;
    (void)field(state, "X_MORVALEN_CHECKPOINT", &status.dwCheckPoint);
    (void)field(state, "X_MORVALEN_WAIT_HINT", &status.dwWaitHint);
    status.dwServiceType = SERVICE_WIN32_OWN_PROCESS;
    status.dwControlsAccepted = status.dwCurrentState == SERVICE_START_PENDING ? 0 : SERVICE_ACCEPT_STOP;
    status.dwWin32ExitCode = NO_ERROR;
    status.dwServiceSpecificExitCode = 0;
    bool reported = SetServiceStatus(handle, &status) != 0;
    // Made or failed, the report is over: a waiting stop control is answered.
    if (status.dwCurrentState == SERVICE_STOP_PENDING || status.dwCurrentState == SERVICE_STOPPED) {
        SetEvent(stopReportedEvent);
    }
    if (!reported) return 0;
    if (status.dwCurrentState == SERVICE_STOPPED) SetEvent(stoppedEvent);
    return 1;
}

}  // namespace platform
