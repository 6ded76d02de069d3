// Status reports: the record, the check-point rule, the notification each
// report sends to the service manager, and the warning when it cannot.
#include <gtest/gtest.h>

#include <string>

#include "report/Status.h"
#include "support/NotifyReceiver.h"

using testsupport::notifyNext;
using testsupport::setEnvironment;
using testsupport::unsetEnvironment;

namespace {

constexpr int kWaitMs = 5000;

}  // namespace

TEST(Status, ServiceRunSendsEachReportWithItsCheckPoint) {
    bool firstReportOfProcess = statusSnapshot().dwCurrentState == 0;
    testsupport::NotifyReceiver receiver;
    ASSERT_TRUE(receiver.bound);
    setEnvironment("NOTIFY_SOCKET", receiver.address);
    statusAttachServiceManager(true);

    ASSERT_NE(reportStatus(SERVICE_START_PENDING, 0, 3000), 0u);
    ServiceStatus status = statusSnapshot();
    uint32_t first = status.dwCheckPoint;
    if (firstReportOfProcess) {
        EXPECT_EQ(first, 1u);
    }
    EXPECT_EQ(status.dwServiceType, SERVICE_WIN32_OWN_PROCESS);
    EXPECT_EQ(status.dwCurrentState, SERVICE_START_PENDING);
    EXPECT_EQ(status.dwControlsAccepted, 0u);
    EXPECT_EQ(status.dwWaitHint, 3000u);
    auto fields = notifyNext(receiver, kWaitMs);
    EXPECT_EQ(fields["STATUS"], "Start pending");
    EXPECT_EQ(fields["EXTEND_TIMEOUT_USEC"], "3000000");
    EXPECT_EQ(fields["X_MORVALEN_STATE"], "2");
    EXPECT_EQ(fields["X_MORVALEN_CHECKPOINT"], std::to_string(first));
    EXPECT_EQ(fields["X_MORVALEN_WAIT_HINT"], "3000");
    EXPECT_EQ(fields.count("READY"), 0u);

    // Running carries check point 0 and leaves the counter alone.
    ASSERT_NE(reportStatus(SERVICE_RUNNING, 0, 0), 0u);
    status = statusSnapshot();
    EXPECT_EQ(status.dwCheckPoint, 0u);
    EXPECT_EQ(status.dwControlsAccepted, SERVICE_ACCEPT_STOP);
    fields = notifyNext(receiver, kWaitMs);
    EXPECT_EQ(fields["READY"], "1");
    EXPECT_EQ(fields["X_MORVALEN_STATE"], "4");
    EXPECT_EQ(fields["X_MORVALEN_CHECKPOINT"], "0");

    ASSERT_NE(reportStatus(SERVICE_STOP_PENDING, 0, 0), 0u);
    EXPECT_EQ(statusSnapshot().dwCheckPoint, first + 1);
    EXPECT_EQ(statusSnapshot().dwControlsAccepted, SERVICE_ACCEPT_STOP);
    fields = notifyNext(receiver, kWaitMs);
    EXPECT_EQ(fields["STOPPING"], "1");
    EXPECT_EQ(fields["X_MORVALEN_STATE"], "3");
    EXPECT_EQ(fields["X_MORVALEN_CHECKPOINT"], std::to_string(first + 1));
    EXPECT_EQ(fields.count("EXTEND_TIMEOUT_USEC"), 0u);

    ASSERT_NE(reportStatus(SERVICE_STOPPED, 7, 0), 0u);
    EXPECT_EQ(statusSnapshot().dwWin32ExitCode, 7u);
    fields = notifyNext(receiver, kWaitMs);
    EXPECT_EQ(fields["STATUS"], "Stopped");
    EXPECT_EQ(fields["X_MORVALEN_STATE"], "1");
    EXPECT_EQ(fields["X_MORVALEN_CHECKPOINT"], "0");

    // The next pending report goes on counting.
    ASSERT_NE(reportStatus(SERVICE_START_PENDING, 0, 0), 0u);
    EXPECT_EQ(statusSnapshot().dwCheckPoint, first + 2);
    fields = notifyNext(receiver, kWaitMs);
    EXPECT_EQ(fields["X_MORVALEN_CHECKPOINT"], std::to_string(first + 2));
    EXPECT_EQ(fields.count("EXTEND_TIMEOUT_USEC"), 0u);  // no wait hint, nothing to extend
    statusAttachServiceManager(false);
    unsetEnvironment("NOTIFY_SOCKET");
}

TEST(Status, ReportsFailWithAWarningWhenNothingListens) {
    // A console run: not attached.
    unsetEnvironment("NOTIFY_SOCKET");
    statusAttachServiceManager(false);
    testing::internal::CaptureStdout();
    EXPECT_EQ(reportStatus(SERVICE_RUNNING, 0, 0), 0u);
    uint32_t before = statusSnapshot().dwCheckPoint;
    EXPECT_EQ(reportStatus(SERVICE_STOP_PENDING, 0, 500), 0u);
    std::string printed = testing::internal::GetCapturedStdout();
    EXPECT_EQ(printed, "SetServiceStatus failed\nSetServiceStatus failed\n");
    // The record keeps the failed report's values and the counter advanced.
    ServiceStatus status = statusSnapshot();
    EXPECT_EQ(before, 0u);
    EXPECT_EQ(status.dwServiceType, 0u);
    EXPECT_EQ(status.dwCurrentState, SERVICE_STOP_PENDING);
    EXPECT_EQ(status.dwWaitHint, 500u);
    EXPECT_GE(status.dwCheckPoint, 1u);

    // Attached, but the notify socket is gone or names nobody.
    statusAttachServiceManager(true);
    testing::internal::CaptureStdout();
    EXPECT_EQ(reportStatus(SERVICE_RUNNING, 0, 0), 0u);
    setEnvironment("NOTIFY_SOCKET", "@morvalen-status-test-nobody-listens");
    EXPECT_EQ(reportStatus(SERVICE_RUNNING, 0, 0), 0u);
    setEnvironment("NOTIFY_SOCKET", "not-a-socket-address");
    EXPECT_EQ(reportStatus(SERVICE_RUNNING, 0, 0), 0u);
    EXPECT_EQ(testing::internal::GetCapturedStdout(),
              "SetServiceStatus failed\nSetServiceStatus failed\nSetServiceStatus failed\n");
    unsetEnvironment("NOTIFY_SOCKET");
    statusAttachServiceManager(false);
}
