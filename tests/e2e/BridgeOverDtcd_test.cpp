// The XA bridge in this process over the real coordinator: dtcd as a process
// on a private socket and data directory, the real libmsdtcprx.so loaded by
// init. What a transaction manager sees when branches expire, when a start
// fails because the coordinator went away, and while the coordinator is down.
// The clock is substituted where ten minutes must pass.
#include <gtest/gtest.h>

#include <signal.h>
#include <stdlib.h>
#include <unistd.h>

#include <cstring>
#include <string>
#include <vector>

#include "common/Xid.h"
#include "net/Connection.h"
#include "platform/Clock.h"
#include "platform/FaultGuard.h"
#include "support/Process.h"
#include "xa/Binding.h"
#include "xa/Registry.h"
#include "xa/Requests.h"

namespace {

using testsupport::ChildProcess;

// A connection record as the connection loop hands it to a handler; no socket.
struct Request {
    ClientConnection connection;
    int32_t run(int32_t (*handler)(ClientConnection*), const XID& xid, int32_t flags = TMNOFLAGS) {
        connection.replyLength = 8;
        connection.xid = xid;
        connection.flags = flags;
        return handler(&connection);
    }
    // The XIDs of a recover reply's payload, as (gtrid, bqual) strings.
    std::vector<std::string> recovered(int32_t count) const {
        std::vector<std::string> out;
        uint32_t at = 12;  // header and length word
        for (int32_t i = 0; i < count; ++i) {
            uint8_t g = connection.replyBuffer[at + 4];
            uint8_t b = connection.replyBuffer[at + 5];
            out.emplace_back(reinterpret_cast<const char*>(connection.replyBuffer + at + 6), g + b);
            at += 6 + g + b;
        }
        return out;
    }
};

XID makeXid(const std::string& gtrid, const std::string& bqual = "b1") {
    XID x{};
    x.formatID = 0x4D56;
    x.gtrid_length = static_cast<int32_t>(gtrid.size());
    x.bqual_length = static_cast<int32_t>(bqual.size());
    std::memcpy(x.data, gtrid.data(), gtrid.size());
    std::memcpy(x.data + gtrid.size(), bqual.data(), bqual.size());
    return x;
}

// dtcd on a private abstract socket; the bridge finds it through DTCD_SOCKET.
struct Dtcd {
    testsupport::TempDir data;
    std::string socket = "@morvalen-bridge-" + std::to_string(getpid());
    ChildProcess process;

    Dtcd() { setenv("DTCD_SOCKET", socket.c_str(), 1); }
    bool start() { return testsupport::startDtcd(&process, data.path, socket); }
    void kill() {
        testsupport::sendSignal(process, SIGKILL);
        testsupport::ExitStatus status;
        EXPECT_TRUE(testsupport::waitForExit(&process, 10000, &status));
    }
};

uint32_t fakeNow = 0;
uint32_t fakeTicks() { return fakeNow; }

void freshStart() {
    platform::faultGuardInstall();
    platform::tickCountSubstitute(nullptr);
    deinit();
}

}  // namespace

TEST(BridgeOverDtcd, APreparedBranchOutlivesTheSweepAndItsManagerCommitsIt) {
    freshStart();
    Dtcd dtcd;
    ASSERT_TRUE(dtcd.start());
    platform::tickCountSubstitute(fakeTicks);
    fakeNow = 2000000;
    Request r;
    XID prepared = makeXid("sweep-prepared");
    XID abandoned = makeXid("sweep-abandoned");
    for (const XID& x : {prepared, abandoned}) {
        ASSERT_EQ(r.run(xa_start, x), XA_OK);
        ASSERT_EQ(r.run(xa_end, x, TMSUCCESS), XA_OK);
    }
    ASSERT_EQ(r.run(xa_prepare, prepared), XA_OK);

    // Fifteen minutes of silence, then any request that searches sweeps both.
    fakeNow += 900000;
    testing::internal::CaptureStdout();
    EXPECT_EQ(r.run(xa_query, makeXid("sweep-other")), 1);
    std::string reports = testing::internal::GetCapturedStdout();
    EXPECT_NE(reports.find("Transaction Timeout (prepared, left in doubt) after ms : 900000"), std::string::npos)
        << reports;
    EXPECT_NE(reports.find("Transaction Timeout (rollback) after ms : 900000"), std::string::npos) << reports;

    // The prepared branch is still in doubt at the coordinator, and its
    // manager's commit ends it; the abandoned one was rolled back.
    int32_t listed = r.run(xa_recover, nullXid(), TMSTARTRSCAN | TMENDRSCAN);
    ASSERT_EQ(listed, 1);
    EXPECT_EQ(r.recovered(listed)[0], "sweep-preparedb1");
    EXPECT_EQ(r.run(xa_prepare, abandoned), XAER_NOTA);
    EXPECT_EQ(r.run(xa_commit, prepared), XA_OK);
    EXPECT_EQ(r.run(xa_recover, nullXid(), TMSTARTRSCAN | TMENDRSCAN), 0);
    platform::tickCountSubstitute(nullptr);
    deinit();
}

TEST(BridgeOverDtcd, AStartThatFailedWhileTheCoordinatorWasGoneCanBeRetried) {
    freshStart();
    Dtcd dtcd;
    ASSERT_TRUE(dtcd.start());
    Request r;
    ASSERT_EQ(r.run(xa_recover, nullXid(), TMSTARTRSCAN | TMENDRSCAN), 0);  // bound
    dtcd.kill();
    XID branch = makeXid("retry-after-rmfail");
    EXPECT_EQ(r.run(xa_start, branch), XAER_RMFAIL);
    EXPECT_EQ(r.run(xa_query, branch), 1);  // no record left behind
    ASSERT_TRUE(dtcd.start());
    // What a transaction manager does after XAER_RMFAIL: the same start again.
    EXPECT_EQ(r.run(xa_start, branch), XA_OK);
    EXPECT_EQ(r.run(xa_end, branch, TMSUCCESS), XA_OK);
    EXPECT_EQ(r.run(xa_prepare, branch), XA_OK);
    EXPECT_EQ(r.run(xa_commit, branch), XA_OK);
    deinit();
}

TEST(BridgeOverDtcd, WhileTheCoordinatorIsDownEveryRequestAnswersRmfail) {
    freshStart();
    Dtcd dtcd;
    ASSERT_TRUE(dtcd.start());
    Request r;
    XID branch = makeXid("down-commit");
    ASSERT_EQ(r.run(xa_start, branch), XA_OK);
    ASSERT_EQ(r.run(xa_end, branch, TMSUCCESS), XA_OK);
    ASSERT_EQ(r.run(xa_prepare, branch), XA_OK);
    dtcd.kill();

    // Never XAER_RMERR, which a commit's caller would read as "rolled back":
    // the binding's lost connection, then the failed open, both say "retry".
    testing::internal::CaptureStdout();
    EXPECT_EQ(r.run(xa_commit, branch), XAER_RMFAIL);
    EXPECT_EQ(r.run(xa_commit, branch), XAER_RMFAIL);
    EXPECT_EQ(r.run(xa_rollback, branch), XAER_RMFAIL);
    EXPECT_EQ(r.run(xa_prepare, branch), XAER_RMFAIL);
    EXPECT_EQ(r.run(xa_forget, branch), XAER_RMFAIL);
    EXPECT_EQ(r.run(xa_start, makeXid("down-start")), XAER_RMFAIL);
    EXPECT_EQ(r.run(xa_end, branch, TMSUCCESS), XAER_RMFAIL);
    EXPECT_EQ(r.run(xa_recover, nullXid(), TMSTARTRSCAN), XAER_RMFAIL);
    std::string reports = testing::internal::GetCapturedStdout();
    // The reports keep the coordinator's own code.
    EXPECT_NE(reports.find("Open the MSDTC : -3"), std::string::npos) << reports;
    EXPECT_NE(reports.find("Morvalen not init. : -3"), std::string::npos) << reports;

    // Back again: the retried commit reaches it and the branch was never lost.
    ASSERT_TRUE(dtcd.start());
    EXPECT_EQ(r.run(xa_commit, branch), XA_OK);
    EXPECT_EQ(r.run(xa_recover, nullXid(), TMSTARTRSCAN | TMENDRSCAN), 0);
    deinit();
}
