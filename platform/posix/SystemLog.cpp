// The system log (the Windows event log): syslog(3). The log is opened once
// for the process and never closed, because glibc's closelog resets the ident
// and another thread could then log under the program's file name.
#include "platform/SystemLog.h"

#include <cstring>
#include <mutex>

#include <syslog.h>

namespace platform {
namespace {

std::once_flag logOpened;
char logIdent[64];  // written once under logOpened; openlog keeps the pointer

void openOnce(const char* ident) {
    std::call_once(logOpened, [ident] {
        strncpy(logIdent, ident != nullptr ? ident : "Morvalen", sizeof logIdent - 1);
        openlog(logIdent, LOG_PID, LOG_USER);
    });
}

}  // namespace

void systemLogOpen(const char* ident) noexcept {
    openOnce(ident);
}

void systemLogWrite(LogLevel level, const char* text) noexcept {
    if (text == nullptr) {
        return;
    }
    openOnce("Morvalen");
    int priority = LOG_INFO;
    switch (level) {
        case LogLevel::Error:
            priority = LOG_ERR;
            break;
        case LogLevel::Warning:
            priority = LOG_WARNING;
            break;
        case LogLevel::Information:
            priority = LOG_INFO;
            break;
    }
    // The text is data (it can hold client-derived bytes), never the format.
    syslog(priority, "%s", text);
}

}  // namespace platform
