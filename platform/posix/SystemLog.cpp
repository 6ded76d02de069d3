// The system log (the Windows event log) on POSIX: entries in the local syslog
// form "<PRI>Mmm dd hh:mm:ss IDENT[PID]: TEXT", each one datagram sent without
// waiting to /dev/log. glibc's syslog(3) is not used because its send blocks
// while the log daemon is alive but not reading (its queue full), and reports
// are made from connection threads and under bridgeLock: a stuck log must cost
// an entry, never a client's request. Facility LOG_USER.
//
// State, guarded by logMutex(): the ident, the socket (connected, non-blocking;
// -1 while there is none: opened on the first write and again after the daemon
// went away) and the count of dropped entries not yet told. The mutex is held
// only for non-blocking calls.
#include "platform/SystemLog.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <mutex>

#include <fcntl.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <syslog.h>
#include <unistd.h>

namespace platform {
namespace {

constexpr const char* kLogPath = "/dev/log";
constexpr size_t kEntryBytes = 2048;  // reports are at most 1024 bytes; the header is short

// Made on first use (reports can come from static initialisers) and never
// destroyed: detached threads report until the end of the process.
std::mutex& logMutex() {
    static std::mutex* const mutex = new std::mutex;
    return *mutex;
}
char logIdent[64] = "Morvalen";          // guarded by logMutex()
int logSocket = -1;                      // guarded by logMutex()
uint64_t untold = 0;                     // guarded by logMutex(): dropped since the last notice
uint64_t droppedTotal = 0;               // guarded by logMutex()

// Connects the datagram socket to /dev/log; -1 when there is no log daemon.
// Needs logMutex.
int connectLog() {
    int fd = ::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    if (fd < 0) {
        return -1;
    }
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::strncpy(address.sun_path, kLogPath, sizeof address.sun_path - 1);
    if (::connect(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0) {
        ::close(fd);
        return -1;
    }
    return fd;
}

// One entry in the local syslog form; its length.
size_t formatEntry(char* out, int priority, const char* text) {
    time_t now = ::time(nullptr);
    tm local{};
    char stamp[32] = "Jan  1 00:00:00";
    if (::localtime_r(&now, &local) != nullptr) {
        (void)std::strftime(stamp, sizeof stamp, "%b %e %H:%M:%S", &local);
    }
    int n = std::snprintf(out, kEntryBytes, "<%d>%s %s[%d]: %s", LOG_USER | priority, stamp, logIdent,
                          static_cast<int>(::getpid()), text);
    if (n < 0) {
        return 0;
    }
    return static_cast<size_t>(n) < kEntryBytes ? static_cast<size_t>(n) : kEntryBytes - 1;
}

// Sends one entry without waiting; false when it was not taken. A daemon that
// went away (restarted, or never there) is looked for again once. Needs logMutex.
bool sendEntry(const char* entry, size_t length) {
    for (int attempt = 0; attempt < 2; ++attempt) {
        if (logSocket < 0) {
            logSocket = connectLog();
            if (logSocket < 0) {
                return false;
            }
        }
        ssize_t sent = ::send(logSocket, entry, length, MSG_DONTWAIT | MSG_NOSIGNAL);
        if (sent >= 0) {
            return true;
        }
        if (errno == EAGAIN || errno == EWOULDBLOCK || errno == ENOBUFS) {
            return false;  // alive but not taking entries: drop, never wait
        }
        // ECONNREFUSED, ENOTCONN, ...: the daemon went away; try a new socket.
        ::close(logSocket);
        logSocket = -1;
    }
    return false;
}

int priorityOf(LogLevel level) {
    switch (level) {
        case LogLevel::Error:
            return LOG_ERR;
        case LogLevel::Warning:
            return LOG_WARNING;
        case LogLevel::Information:
            return LOG_INFO;
    }
    return LOG_INFO;
}

}  // namespace

void systemLogOpen(const char* ident) noexcept {
    std::lock_guard<std::mutex> hold(logMutex());
    std::snprintf(logIdent, sizeof logIdent, "%s", ident != nullptr ? ident : "Morvalen");
}

void systemLogWrite(LogLevel level, const char* text) noexcept {
    if (text == nullptr) {
        return;
    }
    char entry[kEntryBytes];
    std::lock_guard<std::mutex> hold(logMutex());
    // The text is data (it can hold client-derived bytes), never a format.
    size_t length = formatEntry(entry, priorityOf(level), text);
    if (!sendEntry(entry, length)) {
        ++untold;
        ++droppedTotal;
        return;
    }
    if (untold > 0) {
        char notice[128];
        std::snprintf(notice, sizeof notice, "%llu reports were not logged: the system log did not take them",
                      static_cast<unsigned long long>(untold));
        length = formatEntry(entry, LOG_WARNING, notice);
        if (sendEntry(entry, length)) {
            untold = 0;
        }
    }
}

uint64_t systemLogDropped() noexcept {
    std::lock_guard<std::mutex> hold(logMutex());
    return droppedTotal;
}

}  // namespace platform
