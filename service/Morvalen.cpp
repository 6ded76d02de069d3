// The process entry point. One executable, three roles:
//  - with an argument, a command-line tool (install, remove, usage) that exits 0;
//  - without one, started by the service manager: the service run (Runtime.cpp);
//  - without one, started any other way: the console run, the same listener in
//    the foreground, ended only by the end of the process.
#include "common/Running.h"
#include "net/Listener.h"
#include "platform/FaultGuard.h"
#include "platform/Process.h"
#include "platform/ProcessEnd.h"
#include "platform/SystemLog.h"
#include "service/CommandLine.h"
#include "report/Report.h"
#include "service/Runtime.h"

int main(int argc, char** argv) {
    // Before any thread or socket exists: a report must never end the process
    // (a pipe whose reader has gone) nor land in a socket that took the number
    // of a closed standard output.
    platform::processProtectStandardStreams();
    if (argc > 1) {
        // Only the first argument counts; the rest are ignored.
        runCommandOption(argv[1]);
        return 0;
    }
    platform::faultGuardInstall();
    platform::systemLogOpen("Morvalen");
    // A setting the service cannot honour refuses the start, with the
    // reported line naming it, before anything else runs.
    if (listenerReadSettings() != 0) platform::processEnd(1);
    // Either run ends the process without tearing down what connection and
    // branch threads, which nobody waits for, may still be using.
    if (serviceDispatch()) platform::processEnd(0);
    reportInfo("Start Service from Console");
    (void)runListener();
    platform::processEnd(0);
}
