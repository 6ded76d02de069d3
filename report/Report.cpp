// Diagnostic reporting: standard output and the system log, and the two
// error-text helpers.
//
// State: the one static buffer of winsockErrorText, used by the listener's
// thread only. Everything else works on the caller's stack and is safe from
// any thread; the system log is opened once by the platform layer.
#include "report/Report.h"

#include <cstdio>
#include <cstring>

#include "platform/Error.h"
#include "platform/SystemLog.h"

namespace {

// Room that lastErrorText needs beyond the text: " (0x", eight hexadecimal
// digits, ")" and the terminator.
constexpr int32_t kCodeRoom = 14;
// A system text ends in a carriage return and a line feed on Windows; the
// size rule counts them although the text here has none.
constexpr int32_t kLineEndLength = 2;

char winsockTextBuffer[1024];  // owned by winsockErrorText; listener thread only

platform::LogLevel levelFor(uint16_t type) {
    switch (type) {
        case EVENTLOG_ERROR_TYPE:
            return platform::LogLevel::Error;
        case EVENTLOG_WARNING_TYPE:
            return platform::LogLevel::Warning;
        default:
            // EVENTLOG_INFORMATION_TYPE, and any type the system does not use.
            return platform::LogLevel::Information;
    }
}

}  // namespace

void reportEvent(const char* text, uint16_t type) noexcept {
    if (text == nullptr) {
        text = "";
    }
    // One formatted print: stdio locks the stream for the call, so lines of
    // different threads never mix. The flush makes each line visible at once
    // to whoever reads a pipe or file behind standard output.
    printf("%s\n", text);
    fflush(stdout);
    platform::systemLogWrite(levelFor(type), text);
}

void reportInfo(const char* text) noexcept {
    reportEvent(text, EVENTLOG_INFORMATION_TYPE);
}

void reportWarning(const char* text) noexcept {
    reportEvent(text, EVENTLOG_WARNING_TYPE);
}

void reportError(const char* text) noexcept {
    reportEvent(text, EVENTLOG_ERROR_TYPE);
}

void reportErrorCode(const char* text, int32_t number) noexcept {
    char buffer[1024];
    // A longer text is cut to the buffer; snprintf always terminates.
    snprintf(buffer, sizeof buffer, "%s : %d", text != nullptr ? text : "", number);
    reportEvent(buffer, EVENTLOG_ERROR_TYPE);
}

char* lastErrorText(char* buffer, int32_t size) noexcept {
    int32_t code = platform::lastError();  // first, before anything can change it
    if (buffer == nullptr || size <= 0) {
        return buffer;
    }
    char text[1024];
    size_t length = platform::errorText(code, text, sizeof text);
    int64_t needed = static_cast<int64_t>(length) + kLineEndLength + kCodeRoom;
    if (length == 0 || size < needed) {
        buffer[0] = '\0';
        return buffer;
    }
    snprintf(buffer, static_cast<size_t>(size), "%s (0x%x)", text, static_cast<uint32_t>(code));
    return buffer;
}

const char* winsockErrorText(int32_t code) noexcept {
    char text[sizeof winsockTextBuffer];
    size_t length = platform::socketErrorText(code, text, sizeof text);
    if (length > 0) {
        memcpy(winsockTextBuffer, text, length + 1);
    }
    // Without a text the buffer keeps what the last call left there.
    return winsockTextBuffer;
}
