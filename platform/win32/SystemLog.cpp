// The system log is the Windows Application event log: every entry opens the
// event source, reports one event and closes the source again. The event
// identifier is the one message of the executable's message table (its text is
// the insertion string), so the event viewer shows the reported text once the
// source is registered (morvalen -i).
#include "platform/SystemLog.h"

#include <cstring>
#include <mutex>

#include <windows.h>

#include "platform/win32/Service.h"

namespace platform {
namespace {

constexpr DWORD kEventIdentifier = 0x40000001;

std::once_flag logOpened;
char logSource[64] = "Morvalen";  // written once under logOpened

}  // namespace

const char* win32SourceName() noexcept {
    return logSource;
}

void systemLogOpen(const char* ident) noexcept {
    std::call_once(logOpened, [ident] {
        if (ident != nullptr && ident[0] != '\0') {
            strncpy(logSource, ident, sizeof logSource - 1);
        }
    });
}

void systemLogWrite(LogLevel level, const char* text) noexcept {
    if (text == nullptr) {
        return;
    }
    WORD type = EVENTLOG_INFORMATION_TYPE;
    switch (level) {
        case LogLevel::Error:
            type = EVENTLOG_ERROR_TYPE;
            break;
        case LogLevel::Warning:
            type = EVENTLOG_WARNING_TYPE;
            break;
        case LogLevel::Information:
            type = EVENTLOG_INFORMATION_TYPE;
            break;
    }
    HANDLE source = RegisterEventSourceA(nullptr, win32SourceName());
    if (source == nullptr) {
        return;  // printed already; the log is best effort
    }
    const char* strings[1] = {text};
    (void)ReportEventA(source, type, 0, kEventIdentifier, nullptr, 1, 0, strings, nullptr);
    DeregisterEventSource(source);
}

uint64_t systemLogDropped() noexcept {
    return 0;  // ReportEventA hands the entry to the event log service; nothing is dropped here
}

}  // namespace platform
