// Starting the coordinator (dtcd) for a test or a benchmark and waiting until
// it serves. Plain POSIX, no test framework: the dtc harness, the end-to-end
// tests (through startDtcd in Process.h) and bench/dtc share it.
//
// Usage:
//   int pid = -1;
//   bool ready = testsupport::dtcdStartReady("@my-dtcd", 10000, [&](const std::string& notify) {
//       ... start dtcd with DTCD_SOCKET=@my-dtcd and NOTIFY_SOCKET=notify ...
//       return pid;
//   });
#pragma once

#include <functional>
#include <string>

namespace testsupport {

// Starts dtcd through spawn and waits up to timeoutMs for its READY=1
// notification. spawn gets the NOTIFY_SOCKET value to give the child (an
// abstract datagram socket of ours named after dtcdSocket, itself an abstract
// name "@...") and answers the child's pid, or -1 when it could not start it.
// True once READY=1 arrived. False when the notification socket cannot be
// bound, spawn failed, the child exited first, or the time ran out: the child
// is then left as it is (running, or exited and not yet reaped) for the
// caller to stop and reap.
bool dtcdStartReady(const std::string& dtcdSocket, int timeoutMs,
                    const std::function<int(const std::string& notifySocket)>& spawn);

}  // namespace testsupport
