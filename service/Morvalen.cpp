// The process entry point. For now: the console run only (no argument, not
// started by the service manager): report and serve clients in the foreground.
#include "net/Listener.h"
#include "platform/FaultGuard.h"
#include "platform/SystemLog.h"
#include "service/Report.h"

int main(int /*argc*/, char** /*argv*/) {
    platform::faultGuardInstall();
    platform::systemLogOpen("Morvalen");
    reportInfo("Start Service from Console");
    (void)acceptLoop();
    return 0;
}
