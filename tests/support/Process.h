// Child processes for end-to-end tests.
//
// Usage:
//   testsupport::ChildProcess child;
//   ASSERT_TRUE(testsupport::startProcess(&child, testsupport::binPath("morvalen"), {},
//                                         {"NOTIFY_SOCKET"}));   // "NAME" alone unsets it
//   ASSERT_TRUE(testsupport::waitForOutput(child, "Start Service", 5000));
//   ASSERT_TRUE(testsupport::waitForTcpPort(1439, 5000));
//   ... talk to it ...
//   testsupport::sendSignal(child, SIGTERM);
//   testsupport::ExitStatus status;
//   ASSERT_TRUE(testsupport::waitForExit(&child, 5000, &status));
//   EXPECT_TRUE(status.exited && status.code == 0);
//
// The child's standard output and standard error go to one temporary file
// (readOutput gives what it has written so far); its standard input is
// /dev/null. It runs in its own process group. A ChildProcess that is still
// running when it goes out of scope is killed (SIGKILL to its group) and
// reaped, and the output file is removed. All waits poll with a bound.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace testsupport {

// Built programs and libraries, from MORVALEN_BIN_DIR / MORVALEN_LIB_DIR /
// MORVALEN_SOURCE_DIR (set by tests/CMakeLists.txt); empty when unset. The
// library directory falls back to MORVALEN_BIN_DIR/../lib.
std::string binPath(const std::string& name);
std::string libDir();
std::string sourceDir();

// A directory of its own under $TMPDIR (or /tmp), removed with its contents
// on destruction. path is empty when it could not be made.
struct TempDir {
    TempDir();
    ~TempDir();
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;
    std::string path;
};

struct ExitStatus {
    bool exited = false;  // ended by exit(); code is valid
    int code = -1;        // exit code
    int signal = 0;       // the signal that ended it, or 0
};

struct ChildProcess {
    ChildProcess() = default;
    ~ChildProcess();
    ChildProcess(const ChildProcess&) = delete;
    ChildProcess& operator=(const ChildProcess&) = delete;

    int pid = -1;            // -1 before start and after it was reaped
    std::string outputPath;  // file holding standard output and standard error
    bool reaped = false;     // waitForExit has collected the status
    ExitStatus status;       // valid once reaped
};

// Starts program (a path) with args (argv[1..]). environment entries
// "NAME=value" are added to (or replace in) the test's own environment;
// an entry "NAME" without '=' removes that variable. False (with a gtest
// failure message on stderr) when it cannot start; child is then unchanged.
bool startProcess(ChildProcess* child, const std::string& program, const std::vector<std::string>& args,
                  const std::vector<std::string>& environment = {});

// Everything the child has written so far.
std::string readOutput(const ChildProcess& child);

// Polls until the output contains text; false after timeoutMs or when the
// child has exited without writing it.
bool waitForOutput(const ChildProcess& child, const std::string& text, int timeoutMs);

// kill(2) to the child itself. False when it is not running.
bool sendSignal(const ChildProcess& child, int signal);

// Waits until the child exits and reaps it; status is filled on success.
// False on time-out (the child keeps running).
bool waitForExit(ChildProcess* child, int timeoutMs, ExitStatus* status);

// Polls connect() to 127.0.0.1:port until it succeeds or timeoutMs passes.
bool waitForTcpPort(uint16_t port, int timeoutMs);

// Threads and open descriptors of a running process (from /proc), -1 when
// they cannot be read.
int threadsOf(pid_t pid);
int descriptorsOf(pid_t pid);
// Polls (ten seconds at most) until the process has at most the given
// threads and descriptors.
bool backTo(pid_t pid, int threads, int descriptors);

// Starts the built dtcd with --data-dir dataDir and extraArgs on the abstract
// socket name ("@...") and waits up to timeoutMs for it to report READY=1
// (Dtcd.h). False when it cannot start, exits first or stays silent; child
// then holds whatever was started, for readOutput and its destructor.
bool startDtcd(ChildProcess* child, const std::string& dataDir, const std::string& socket,
               const std::vector<std::string>& extraArgs = {}, int timeoutMs = 10000);

}  // namespace testsupport
