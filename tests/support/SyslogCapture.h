// Capturing what a child process logs to the system log.
//
// The program under test runs in a private mount namespace (unshare -m, needs
// root) in which /dev is a fresh tmpfs holding the usual device nodes (bound
// from the real /dev) and a /dev/log that is the test's own datagram socket.
// The host's /dev and its log are untouched; the namespace ends with the child.
//
// Usage:
//   if (!testsupport::syslogCaptureSupported()) GTEST_SKIP() << "needs root and unshare -m";
//   testsupport::SyslogCapture capture;            // binds the socket, starts its reader
//   ASSERT_TRUE(capture.ready);
//   testsupport::ChildProcess child;
//   ASSERT_TRUE(testsupport::startProcessWithSyslogCapture(&child, capture,
//                   testsupport::binPath("morvalen"), {}, {"NOTIFY_SOCKET"}));
//   ASSERT_TRUE(testsupport::syslogWaitFor(capture, "Start Service", 5000));
//   for (const testsupport::SyslogEntry& e : testsupport::syslogEntries(capture))
//       ... e.level (LOG_ERR 3, LOG_WARNING 4, LOG_INFO 6), e.ident, e.pid, e.text ...
//
// Each datagram is one entry, parsed from glibc's local form
// "<PRI>Mmm dd hh:mm:ss IDENT[PID]: TEXT" (a line end inside TEXT is kept).
#pragma once

#include <atomic>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "support/Process.h"

namespace testsupport {

struct SyslogEntry {
    int facility = -1;  // PRI / 8 (LOG_USER is 1)
    int level = -1;     // PRI % 8
    std::string ident;  // the tag before "[pid]:"
    int pid = 0;        // 0 when the entry carries none
    std::string text;   // the message, unchanged
    std::string raw;    // the whole datagram
};

// The socket and its reader. Construction binds the socket in a temporary
// directory and starts a thread that drains it continuously (so a logging
// child never blocks on a full queue); destruction stops the thread.
struct SyslogCapture {
    SyslogCapture();
    ~SyslogCapture();
    SyslogCapture(const SyslogCapture&) = delete;
    SyslogCapture& operator=(const SyslogCapture&) = delete;

    bool ready = false;                 // the socket is bound and read
    TempDir dir;                        // holds the socket "log"
    int fd = -1;                        // the bound datagram socket
    std::atomic<bool> stopping{false};  // tells the reader to end
    std::mutex mutex;
    std::vector<SyslogEntry> entries;   // guarded by mutex
    std::thread reader;
};

// True when this machine lets us make a private mount namespace (root and
// unshare -m). Checked once.
bool syslogCaptureSupported();

// Parses one datagram; an entry with level -1 and the raw text when it does
// not have the expected shape.
SyslogEntry parseSyslogDatagram(const std::string& datagram);

// Starts program like startProcess, but inside the namespace whose /dev/log
// is capture's socket.
bool startProcessWithSyslogCapture(ChildProcess* child, const SyslogCapture& capture, const std::string& program,
                                   const std::vector<std::string>& args,
                                   const std::vector<std::string>& environment = {});

// A copy of the entries received so far, in order of arrival.
std::vector<SyslogEntry> syslogEntries(SyslogCapture& capture);

// Polls until an entry's text contains text; false after timeoutMs.
bool syslogWaitFor(SyslogCapture& capture, const std::string& text, int timeoutMs);

}  // namespace testsupport
