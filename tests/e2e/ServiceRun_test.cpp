// The service run as the service manager sees it: the real morvalen started
// with NOTIFY_SOCKET naming a socket of the test's own, the reports read from
// its datagrams, the stop control sent as SIGTERM. Each test binary runs in a
// private network namespace, so port 1439 is its own.
#include <gtest/gtest.h>

#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <fstream>
#include <string>
#include <vector>

#include "MorvalenClient.h"
#include "support/NotifyReceiver.h"
#include "support/Process.h"

namespace {

using testsupport::ChildProcess;
using testsupport::NotifyMessage;
using testsupport::NotifyReceiver;

constexpr int kBoundMs = 10000;

// One report as the X_MORVALEN_* fields carry it.
struct Report {
    bool received = false;
    std::string state, checkPoint, waitHint;
    NotifyMessage message;
};

Report nextReport(NotifyReceiver& receiver, int timeoutMs = kBoundMs) {
    Report report;
    for (;;) {
        NotifyMessage message = testsupport::notifyNextMessage(receiver, timeoutMs);
        if (!message.received) return report;
        // A datagram without the record (the reason for a stop) is not a report.
        if (message.fields.count("X_MORVALEN_STATE") == 0) {
            report.message = message;
            continue;
        }
        report.received = true;
        report.state = message.fields["X_MORVALEN_STATE"];
        report.checkPoint = message.fields["X_MORVALEN_CHECKPOINT"];
        report.waitHint = message.fields["X_MORVALEN_WAIT_HINT"];
        report.message = message;
        return report;
    }
}

// No sanitizer report in the child's output (the process ends without the
// sanitizers' exit-time code, so their reports show only there).
void expectNoSanitizerReport(const ChildProcess& child) {
    std::string output = testsupport::readOutput(child);
    EXPECT_EQ(output.find("Sanitizer"), std::string::npos) << output;
}

bool startService(ChildProcess* child, const NotifyReceiver& receiver) {
    return testsupport::startProcess(child, testsupport::binPath("morvalen"), {},
                                     {"NOTIFY_SOCKET=" + receiver.address, "SYSTEMD_EXEC_PID"});
}

// True when the peer has closed the connection (or it failed) within the bound.
bool connectionEnds(morvalen::MorvalenConnection* c) {
    c->timeoutMs = kBoundMs;
    morvalen::MorvalenReply reply;
    int32_t status = morvalen::clientReadReply(c, &reply);
    return status == morvalen::kClientClosed || status == morvalen::kClientReceiveFailed;
}

// Connects within the bound: the running report comes once the socket is
// bound, a moment before the listener's first listen().
int32_t connectService(morvalen::MorvalenConnection* c) {
    int32_t status = morvalen::kClientConnectFailed;
    for (int waited = 0; waited < kBoundMs; waited += 10) {
        status = morvalen::clientConnect(c, "127.0.0.1", 1439, kBoundMs);
        if (status != morvalen::kClientConnectFailed) return status;
        usleep(10 * 1000);
    }
    return status;
}

TEST(ServiceRun, ReportsTheStartAndStopSequenceAndEndsConnectedClients) {
    NotifyReceiver receiver;
    ASSERT_TRUE(receiver.bound);
    ChildProcess child;
    ASSERT_TRUE(startService(&child, receiver));

    Report start = nextReport(receiver);
    ASSERT_TRUE(start.received);
    EXPECT_EQ(start.state, "2");
    EXPECT_EQ(start.checkPoint, "1");
    EXPECT_EQ(start.waitHint, "3000");
    EXPECT_EQ(start.message.fields["EXTEND_TIMEOUT_USEC"], "3000000");
    EXPECT_EQ(start.message.senderPid, child.pid);

    Report running = nextReport(receiver);
    ASSERT_TRUE(running.received);
    EXPECT_EQ(running.state, "4");
    EXPECT_EQ(running.checkPoint, "0");
    EXPECT_EQ(running.message.fields["READY"], "1");

    // Two clients connected: the stop must end both without waiting for them.
    morvalen::MorvalenConnection first, second;
    ASSERT_EQ(connectService(&first), morvalen::kClientOk);
    ASSERT_EQ(connectService(&second), morvalen::kClientOk);
    int32_t result = -1;
    ASSERT_EQ(morvalen::clientQuery(&first, nullptr, &result), morvalen::kClientOk);

    ASSERT_TRUE(testsupport::sendSignal(child, SIGTERM));
    Report stopping = nextReport(receiver);
    ASSERT_TRUE(stopping.received);
    EXPECT_EQ(stopping.state, "3");
    EXPECT_EQ(stopping.checkPoint, "2");
    EXPECT_EQ(stopping.waitHint, "0");
    EXPECT_EQ(stopping.message.fields["STOPPING"], "1");

    Report stopped = nextReport(receiver);
    ASSERT_TRUE(stopped.received);
    EXPECT_EQ(stopped.state, "1");
    EXPECT_EQ(stopped.checkPoint, "0");

    EXPECT_TRUE(connectionEnds(&first));
    EXPECT_TRUE(connectionEnds(&second));
    morvalen::clientClose(&first);
    morvalen::clientClose(&second);

    testsupport::ExitStatus status;
    ASSERT_TRUE(testsupport::waitForExit(&child, kBoundMs, &status));
    EXPECT_TRUE(status.exited);
    EXPECT_EQ(status.code, 0) << testsupport::readOutput(child);
    EXPECT_FALSE(nextReport(receiver, 200).received) << "no report after stopped";
    expectNoSanitizerReport(child);

    std::string output = testsupport::readOutput(child);
    size_t started = output.find("Start Service\n");
    size_t stoppedText = output.find("Stop Service\n");
    ASSERT_NE(started, std::string::npos) << output;
    ASSERT_NE(stoppedText, std::string::npos) << output;
    EXPECT_LT(started, stoppedText);
    EXPECT_EQ(output.find("Start Service from Console"), std::string::npos) << output;
    EXPECT_EQ(output.find("SetServiceStatus failed"), std::string::npos) << output;
}

TEST(ServiceRun, StopSignalWhileStartingStopsCleanly) {
    // The signal is sent as soon as the start-pending report arrives, usually
    // before the listener is bound; several rounds vary where it lands.
    for (int round = 0; round < 8; ++round) {
        SCOPED_TRACE("round " + std::to_string(round));
        NotifyReceiver receiver;
        ASSERT_TRUE(receiver.bound);
        ChildProcess child;
        ASSERT_TRUE(startService(&child, receiver));
        Report start = nextReport(receiver);
        ASSERT_TRUE(start.received);
        EXPECT_EQ(start.state, "2");
        EXPECT_EQ(start.checkPoint, "1");
        ASSERT_TRUE(testsupport::sendSignal(child, SIGTERM));

        testsupport::ExitStatus status;
        ASSERT_TRUE(testsupport::waitForExit(&child, kBoundMs, &status)) << testsupport::readOutput(child);
        EXPECT_TRUE(status.exited);
        EXPECT_EQ(status.code, 0) << testsupport::readOutput(child);

        std::vector<Report> rest;
        for (Report r = nextReport(receiver, 500); r.received; r = nextReport(receiver, 500)) rest.push_back(r);
        ASSERT_FALSE(rest.empty());
        EXPECT_EQ(rest.back().state, "1") << "the last report is stopped";
        bool stopPending = false;
        for (const Report& r : rest) {
            if (r.state == "3") {
                stopPending = true;
                EXPECT_EQ(r.checkPoint, "2");
            }
        }
        EXPECT_TRUE(stopPending);
        EXPECT_NE(testsupport::readOutput(child).find("Stop Service\n"), std::string::npos);
        expectNoSanitizerReport(child);
    }
}

TEST(ServiceRun, PortTakenEndsTheServiceWithItsReasonAndExitCodeZero) {
    int taken = socket(AF_INET, SOCK_STREAM, 0);
    ASSERT_GE(taken, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_ANY);
    address.sin_port = htons(kServicePort);
    ASSERT_EQ(bind(taken, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
    ASSERT_EQ(listen(taken, 1), 0);

    NotifyReceiver receiver;
    ASSERT_TRUE(receiver.bound);
    ChildProcess child;
    ASSERT_TRUE(startService(&child, receiver));

    Report start = nextReport(receiver);
    ASSERT_TRUE(start.received);
    EXPECT_EQ(start.state, "2");
    Report stopped = nextReport(receiver);
    ASSERT_TRUE(stopped.received);
    EXPECT_EQ(stopped.state, "1") << "no running and no stop-pending report";
    EXPECT_EQ(stopped.message.fields.count("READY"), 0u);

    // The reason comes after the stopped report, so it is the status text the
    // manager shows last.
    NotifyMessage reason = testsupport::notifyNextMessage(receiver, kBoundMs);
    ASSERT_TRUE(reason.received);
    EXPECT_EQ(reason.fields["ERRNO"], "98");
    EXPECT_EQ(reason.fields["STATUS"], "Listener failed with error 98: Address already in use");

    testsupport::ExitStatus status;
    ASSERT_TRUE(testsupport::waitForExit(&child, kBoundMs, &status));
    EXPECT_TRUE(status.exited);
    EXPECT_EQ(status.code, 0);
    std::string output = testsupport::readOutput(child);
    EXPECT_NE(output.find("Start Service\nbind() failed with error 98: Address already in use\n\n"), std::string::npos)
        << output;
    EXPECT_EQ(output.find("Stop Service"), std::string::npos) << output;
    expectNoSanitizerReport(child);
    close(taken);
}

bool fileExists(const std::string& path) { return access(path.c_str(), F_OK) == 0; }

TEST(ServiceRun, StopWhileARequestWaitsInsideASlowDtcCall) {
    std::string doubles = testsupport::libDir() + "/doubles";
    if (!fileExists(doubles + "/libmsdtcprx.so")) GTEST_SKIP() << "the DTC test doubles are not built";
    testsupport::TempDir gate;
    ASSERT_FALSE(gate.path.empty());
    NotifyReceiver receiver;
    ASSERT_TRUE(receiver.bound);
    ChildProcess child;
    ASSERT_TRUE(testsupport::startProcess(
        &child, testsupport::binPath("morvalen"), {},
        {"NOTIFY_SOCKET=" + receiver.address, "SYSTEMD_EXEC_PID", "LD_LIBRARY_PATH=" + doubles,
         "MORVALEN_DOUBLE_SCRIPT=DTC_XaPrepare=slow", "MORVALEN_DOUBLE_GATE=" + gate.path}));
    ASSERT_EQ(nextReport(receiver).state, "2");
    ASSERT_EQ(nextReport(receiver).state, "4");

    morvalen::MorvalenConnection client;
    ASSERT_EQ(connectService(&client), morvalen::kClientOk);
    XID xid;
    ASSERT_EQ(morvalen::xidMake(morvalen::kDefaultFormatId, "stop-gtrid", 10, "b", 1, &xid), morvalen::kClientOk);
    ASSERT_EQ(morvalen::clientSendRequest(&client, kRequestPrepare, TMNOFLAGS, &xid), morvalen::kClientOk);
    std::string entered = gate.path + "/DTC_XaPrepare.entered";
    for (int waited = 0; !fileExists(entered); waited += 10) {
        ASSERT_LT(waited, kBoundMs) << testsupport::readOutput(child);
        usleep(10 * 1000);
    }

    // The stop runs its whole sequence while the prepare is still inside the
    // coordinator; the listener's end is reported without waiting for it.
    ASSERT_TRUE(testsupport::sendSignal(child, SIGTERM));
    Report stopping = nextReport(receiver);
    EXPECT_EQ(stopping.state, "3");
    Report stopped = nextReport(receiver);
    EXPECT_EQ(stopped.state, "1");
    ASSERT_TRUE(testsupport::waitForOutput(child, "Stop Service", kBoundMs));

    // Now the call returns into a stopping service: the client gets its reply
    // or a closed connection, and the process ends cleanly (no fault, no
    // sanitizer report, exit code 0).
    { std::ofstream(gate.path + "/DTC_XaPrepare.release"); }
    client.timeoutMs = kBoundMs;
    morvalen::MorvalenReply reply;
    int32_t status = morvalen::clientReadReply(&client, &reply);
    EXPECT_TRUE(status == morvalen::kClientOk || status == morvalen::kClientClosed ||
                status == morvalen::kClientReceiveFailed)
        << status;
    if (status == morvalen::kClientOk) {
        EXPECT_EQ(reply.result, XA_OK);
    }
    morvalen::clientClose(&client);

    testsupport::ExitStatus exit;
    ASSERT_TRUE(testsupport::waitForExit(&child, kBoundMs, &exit)) << testsupport::readOutput(child);
    EXPECT_TRUE(exit.exited) << "signal " << exit.signal << "\n" << testsupport::readOutput(child);
    EXPECT_EQ(exit.code, 0) << testsupport::readOutput(child);
    EXPECT_EQ(testsupport::readOutput(child).find("Exception in"), std::string::npos) << testsupport::readOutput(child);
    expectNoSanitizerReport(child);
}

TEST(ServiceRun, WithoutAUsableNotifySocketItRunsInTheConsoleAndSigtermStillEndsIt) {
    // No notify socket, and one that names nothing: both are console runs,
    // where the stop signal keeps its default action.
    for (const char* notify : {"NOTIFY_SOCKET", "NOTIFY_SOCKET=@morvalen-test-nobody-listens"}) {
        SCOPED_TRACE(notify);
        ChildProcess child;
        ASSERT_TRUE(testsupport::startProcess(&child, testsupport::binPath("morvalen"), {}, {notify}));
        ASSERT_TRUE(testsupport::waitForOutput(child, "SetServiceStatus failed", kBoundMs))
            << testsupport::readOutput(child);
        EXPECT_EQ(testsupport::readOutput(child).rfind("Start Service from Console\n", 0), 0u)
            << testsupport::readOutput(child);
        ASSERT_TRUE(testsupport::waitForTcpPort(1439, kBoundMs));
        ASSERT_TRUE(testsupport::sendSignal(child, SIGTERM));
        testsupport::ExitStatus status;
        ASSERT_TRUE(testsupport::waitForExit(&child, kBoundMs, &status));
        EXPECT_EQ(status.signal, SIGTERM);
    }
}

}  // namespace
