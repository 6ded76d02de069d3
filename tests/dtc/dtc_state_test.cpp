// The X/Open state tables as the coordinator enforces them, walked through the
// real libmsdtcprx.so against a real dtcd, one test per call.
#include <gtest/gtest.h>

#include <set>
#include <thread>

#include "DtcHarness.h"
#include "contract/txdtc.h"

namespace {

constexpr int kRm = 1;

class XaStateTable : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(startDaemon(&daemon));
        useDaemon(daemon);
        ASSERT_EQ(XA_OK, DTC_XaOpen(kOpenString, kRm, TMNOFLAGS));
    }
    void TearDown() override {
        DTC_XaClose(kOpenString, kRm, TMNOFLAGS);
        stopDaemon(&daemon);
        removeDaemonFiles(daemon);
    }
    // Runs f on a thread of its own and answers its result.
    template <typename F>
    int onOtherThread(F f) {
        int rc = 0;
        std::thread([&] { rc = f(); }).join();
        return rc;
    }
    // A branch in S2: started and ended with success.
    XID idle(const std::string& name) {
        XID xid = makeXid(name);
        EXPECT_EQ(XA_OK, DTC_XaStart(&xid, kRm, TMNOFLAGS));
        EXPECT_EQ(XA_OK, DTC_XaEnd(&xid, kRm, TMSUCCESS));
        return xid;
    }
    XID prepared(const std::string& name) {
        XID xid = idle(name);
        EXPECT_EQ(XA_OK, DTC_XaPrepare(&xid, kRm, TMNOFLAGS));
        return xid;
    }
    Daemon daemon;
};

TEST_F(XaStateTable, Start) {
    XID a = makeXid("start-a");
    EXPECT_EQ(XA_OK, DTC_XaStart(&a, kRm, TMNOFLAGS));                    // S0 -> S1
    EXPECT_EQ(XAER_PROTO, DTC_XaStart(&a, kRm, TMNOFLAGS));               // T1: already associated
    XID other = makeXid("start-other");
    EXPECT_EQ(XAER_PROTO, DTC_XaStart(&other, kRm, TMNOFLAGS));           // T1 on another branch
    EXPECT_EQ(XAER_DUPID, onOtherThread([&] { return DTC_XaStart(&a, kRm, TMNOFLAGS); }));
    EXPECT_EQ(XAER_RMERR, onOtherThread([&] { return DTC_XaStart(&a, kRm, TMJOIN); }));
    EXPECT_EQ(XAER_RMERR, onOtherThread([&] { return DTC_XaStart(&a, kRm, TMRESUME); })); // not suspended
    EXPECT_EQ(XA_OK, DTC_XaEnd(&a, kRm, TMSUCCESS));                      // S2
    EXPECT_EQ(XAER_DUPID, DTC_XaStart(&a, kRm, TMNOFLAGS));
    EXPECT_EQ(XAER_PROTO, DTC_XaStart(&a, kRm, TMRESUME));                // T0: nothing suspended
    EXPECT_EQ(XA_OK, onOtherThread([&] {                                  // join an idle branch
        int rc = DTC_XaStart(&a, kRm, TMJOIN);
        return rc != XA_OK ? rc : DTC_XaEnd(&a, kRm, TMSUCCESS);
    }));
    EXPECT_EQ(XA_OK, DTC_XaPrepare(&a, kRm, TMNOFLAGS));                  // S3
    EXPECT_EQ(XAER_DUPID, DTC_XaStart(&a, kRm, TMNOFLAGS));
    EXPECT_EQ(XAER_PROTO, DTC_XaStart(&a, kRm, TMJOIN));
    EXPECT_EQ(XA_OK, DTC_XaCommit(&a, kRm, TMNOFLAGS));                   // S0 again
    EXPECT_EQ(XA_OK, DTC_XaStart(&a, kRm, TMNOFLAGS));                    // the XID may be reused
    EXPECT_EQ(XA_OK, DTC_XaEnd(&a, kRm, TMSUCCESS));
    EXPECT_EQ(XA_OK, DTC_XaRollback(&a, kRm, TMNOFLAGS));

    XID unknown = makeXid("start-unknown");
    EXPECT_EQ(XAER_NOTA, DTC_XaStart(&unknown, kRm, TMJOIN));
    EXPECT_EQ(XAER_NOTA, DTC_XaStart(&unknown, kRm, TMRESUME));

    // Rollback-only (S4): a join is answered with a roll-back code and stays S4.
    XID failed = makeXid("start-failed");
    EXPECT_EQ(XA_OK, DTC_XaStart(&failed, kRm, TMNOFLAGS));
    EXPECT_EQ(XA_OK, DTC_XaEnd(&failed, kRm, TMFAIL));
    EXPECT_EQ(XA_RBROLLBACK, DTC_XaStart(&failed, kRm, TMJOIN));
    EXPECT_EQ(XA_RBROLLBACK, DTC_XaPrepare(&failed, kRm, TMNOFLAGS));
    EXPECT_EQ(XAER_NOTA, DTC_XaRollback(&failed, kRm, TMNOFLAGS));

    // Arguments are checked before any state.
    XID fresh = makeXid("start-args");
    EXPECT_EQ(XAER_INVAL, DTC_XaStart(&fresh, kRm, TMJOIN | TMRESUME));
    EXPECT_EQ(XAER_INVAL, DTC_XaStart(&fresh, kRm, TMSUCCESS));
    EXPECT_EQ(XAER_ASYNC, DTC_XaStart(&fresh, kRm, TMASYNC));
    EXPECT_EQ(XAER_INVAL, DTC_XaStart(nullptr, kRm, TMNOFLAGS));
    XID bad = fresh;
    bad.gtrid_length = 0;
    EXPECT_EQ(XAER_INVAL, DTC_XaStart(&bad, kRm, TMNOFLAGS));
    bad.gtrid_length = 65;
    EXPECT_EQ(XAER_INVAL, DTC_XaStart(&bad, kRm, TMNOFLAGS));
    bad = fresh;
    bad.bqual_length = -1;
    EXPECT_EQ(XAER_INVAL, DTC_XaStart(&bad, kRm, TMNOFLAGS));
    bad.bqual_length = 65;
    EXPECT_EQ(XAER_INVAL, DTC_XaStart(&bad, kRm, TMNOFLAGS));
    bad = fresh;
    bad.formatID = -1;
    EXPECT_EQ(XAER_INVAL, DTC_XaStart(&bad, kRm, TMNOFLAGS));
    XID emptyBqual = makeXid(std::string(64, 'g'), "");                    // bqual length 0 is fine
    EXPECT_EQ(XA_OK, DTC_XaStart(&emptyBqual, kRm, TMNOFLAGS));
    EXPECT_EQ(XA_OK, DTC_XaEnd(&emptyBqual, kRm, TMSUCCESS));
    EXPECT_EQ(XAER_PROTO, DTC_XaStart(&fresh, 7, TMNOFLAGS));             // rmid not open
}

TEST_F(XaStateTable, End) {
    XID a = makeXid("end-a");
    EXPECT_EQ(XAER_NOTA, DTC_XaEnd(&a, kRm, TMSUCCESS));                  // S0
    ASSERT_EQ(XA_OK, DTC_XaStart(&a, kRm, TMNOFLAGS));
    EXPECT_EQ(XAER_INVAL, DTC_XaEnd(&a, kRm, TMNOFLAGS));                 // exactly one of the three
    EXPECT_EQ(XAER_INVAL, DTC_XaEnd(&a, kRm, TMSUCCESS | TMFAIL));
    EXPECT_EQ(XAER_INVAL, DTC_XaEnd(&a, kRm, TMSUCCESS | TMMIGRATE));     // migrate only with suspend
    EXPECT_EQ(XAER_ASYNC, DTC_XaEnd(&a, kRm, TMSUCCESS | TMASYNC));
    EXPECT_EQ(XAER_PROTO, onOtherThread([&] { return DTC_XaEnd(&a, kRm, TMSUCCESS); })); // foreign thread
    EXPECT_EQ(XA_OK, DTC_XaEnd(&a, kRm, TMSUSPEND));                      // T1 -> T2
    EXPECT_EQ(XAER_PROTO, DTC_XaEnd(&a, kRm, TMSUSPEND));                 // T2: suspend again
    EXPECT_EQ(XAER_PROTO, DTC_XaPrepare(&a, kRm, TMNOFLAGS));             // a suspended association blocks prepare
    EXPECT_EQ(XAER_PROTO, onOtherThread([&] { return DTC_XaStart(&a, kRm, TMRESUME); }));
    EXPECT_EQ(XA_OK, DTC_XaStart(&a, kRm, TMRESUME));                     // T2 -> T1 on the same thread
    EXPECT_EQ(XA_NOMIGRATE, DTC_XaEnd(&a, kRm, TMSUSPEND | TMMIGRATE));   // suspended, resumable here only
    EXPECT_EQ(XA_OK, DTC_XaStart(&a, kRm, TMJOIN));                       // a join of our own suspension resumes
    EXPECT_EQ(XA_OK, DTC_XaEnd(&a, kRm, TMSUSPEND));
    EXPECT_EQ(XA_OK, DTC_XaEnd(&a, kRm, TMSUCCESS));                      // T2 -> T0 without resuming
    EXPECT_EQ(XAER_PROTO, DTC_XaEnd(&a, kRm, TMSUCCESS));                 // S2, nothing associated
    EXPECT_EQ(XA_OK, DTC_XaPrepare(&a, kRm, TMNOFLAGS));
    EXPECT_EQ(XAER_PROTO, DTC_XaEnd(&a, kRm, TMSUCCESS));                 // S3
    EXPECT_EQ(XA_OK, DTC_XaRollback(&a, kRm, TMNOFLAGS));

    XID failed = makeXid("end-fail");
    ASSERT_EQ(XA_OK, DTC_XaStart(&failed, kRm, TMNOFLAGS));
    EXPECT_EQ(XA_OK, DTC_XaEnd(&failed, kRm, TMFAIL));                    // S4
    EXPECT_EQ(XAER_PROTO, DTC_XaCommit(&failed, kRm, TMNOFLAGS));
    EXPECT_EQ(XA_RBROLLBACK, DTC_XaCommit(&failed, kRm, TMONEPHASE));     // S4 -> S0
    EXPECT_EQ(XAER_NOTA, DTC_XaCommit(&failed, kRm, TMONEPHASE));
}

TEST_F(XaStateTable, Prepare) {
    XID a = makeXid("prepare-a");
    EXPECT_EQ(XAER_NOTA, DTC_XaPrepare(&a, kRm, TMNOFLAGS));
    ASSERT_EQ(XA_OK, DTC_XaStart(&a, kRm, TMNOFLAGS));
    EXPECT_EQ(XAER_PROTO, DTC_XaPrepare(&a, kRm, TMNOFLAGS));             // S1
    EXPECT_EQ(XA_OK, DTC_XaEnd(&a, kRm, TMSUCCESS));
    EXPECT_EQ(XAER_INVAL, DTC_XaPrepare(&a, kRm, TMONEPHASE));
    EXPECT_EQ(XAER_ASYNC, DTC_XaPrepare(&a, kRm, TMASYNC));
    EXPECT_EQ(XA_OK, onOtherThread([&] { return DTC_XaPrepare(&a, kRm, TMNOFLAGS); })); // any thread
    EXPECT_EQ(XAER_PROTO, DTC_XaPrepare(&a, kRm, TMNOFLAGS));             // S3
    EXPECT_EQ(XAER_PROTO, DTC_XaCommit(&a, kRm, TMONEPHASE));
    EXPECT_EQ(XA_OK, DTC_XaCommit(&a, kRm, TMNOFLAGS));
    EXPECT_EQ(XAER_NOTA, DTC_XaPrepare(&a, kRm, TMNOFLAGS));
    EXPECT_EQ(XAER_INVAL, DTC_XaPrepare(nullptr, kRm, TMNOFLAGS));
}

TEST_F(XaStateTable, Commit) {
    XID a = idle("commit-a");
    EXPECT_EQ(XAER_PROTO, DTC_XaCommit(&a, kRm, TMNOFLAGS));              // S2, two-phase
    EXPECT_EQ(XAER_INVAL, DTC_XaCommit(&a, kRm, TMJOIN));
    EXPECT_EQ(XA_OK, DTC_XaCommit(&a, kRm, TMONEPHASE | TMNOWAIT));       // S2 -> S0
    EXPECT_EQ(XAER_NOTA, DTC_XaCommit(&a, kRm, TMNOFLAGS));
    XID b = makeXid("commit-b");
    ASSERT_EQ(XA_OK, DTC_XaStart(&b, kRm, TMNOFLAGS));
    EXPECT_EQ(XAER_PROTO, DTC_XaCommit(&b, kRm, TMONEPHASE));             // S1
    EXPECT_EQ(XAER_PROTO, DTC_XaCommit(&b, kRm, TMNOFLAGS));
    EXPECT_EQ(XA_OK, DTC_XaEnd(&b, kRm, TMSUCCESS));
    EXPECT_EQ(XA_OK, DTC_XaPrepare(&b, kRm, TMNOFLAGS));
    EXPECT_EQ(XA_OK, onOtherThread([&] { return DTC_XaCommit(&b, kRm, TMNOFLAGS); }));
    EXPECT_EQ(XAER_NOTA, DTC_XaCommit(&b, kRm, TMNOFLAGS));
}

TEST_F(XaStateTable, Rollback) {
    XID a = makeXid("rollback-a");
    EXPECT_EQ(XAER_NOTA, DTC_XaRollback(&a, kRm, TMNOFLAGS));
    ASSERT_EQ(XA_OK, DTC_XaStart(&a, kRm, TMNOFLAGS));
    // S1: rolled back at once; the associated thread learns of it at its end.
    EXPECT_EQ(XA_OK, onOtherThread([&] { return DTC_XaRollback(&a, kRm, TMNOFLAGS); }));
    EXPECT_EQ(XAER_PROTO, DTC_XaPrepare(&a, kRm, TMNOFLAGS));
    EXPECT_EQ(XA_RBROLLBACK, DTC_XaEnd(&a, kRm, TMSUCCESS));
    EXPECT_EQ(XAER_NOTA, DTC_XaRollback(&a, kRm, TMNOFLAGS));
    XID b = idle("rollback-b");
    EXPECT_EQ(XAER_INVAL, DTC_XaRollback(&b, kRm, TMONEPHASE));
    EXPECT_EQ(XA_OK, DTC_XaRollback(&b, kRm, TMNOFLAGS));                 // S2
    XID c = prepared("rollback-c");
    EXPECT_EQ(XA_OK, DTC_XaRollback(&c, kRm, TMNOFLAGS));                 // S3
    EXPECT_EQ(XAER_NOTA, DTC_XaCommit(&c, kRm, TMNOFLAGS));
    XID d = makeXid("rollback-d");
    ASSERT_EQ(XA_OK, DTC_XaStart(&d, kRm, TMNOFLAGS));
    ASSERT_EQ(XA_OK, DTC_XaEnd(&d, kRm, TMFAIL));
    EXPECT_EQ(XA_OK, DTC_XaRollback(&d, kRm, TMNOFLAGS));                 // S4
    EXPECT_EQ(XAER_NOTA, DTC_XaRollback(&d, kRm, TMNOFLAGS));
}

TEST_F(XaStateTable, ForgetAndComplete) {
    XID a = makeXid("forget-a");
    EXPECT_EQ(XAER_NOTA, DTC_XaForget(&a, kRm, TMNOFLAGS));
    ASSERT_EQ(XA_OK, DTC_XaStart(&a, kRm, TMNOFLAGS));
    EXPECT_EQ(XAER_PROTO, DTC_XaForget(&a, kRm, TMNOFLAGS));              // S1
    EXPECT_EQ(XA_OK, DTC_XaEnd(&a, kRm, TMSUCCESS));
    EXPECT_EQ(XAER_PROTO, DTC_XaForget(&a, kRm, TMNOFLAGS));              // S2
    EXPECT_EQ(XA_OK, DTC_XaPrepare(&a, kRm, TMNOFLAGS));
    EXPECT_EQ(XAER_PROTO, DTC_XaForget(&a, kRm, TMNOFLAGS));              // S3
    EXPECT_EQ(XAER_INVAL, DTC_XaForget(&a, kRm, TMONEPHASE));
    EXPECT_EQ(XA_OK, DTC_XaCommit(&a, kRm, TMNOFLAGS));
    int handle = 0;
    int retval = 0;
    EXPECT_EQ(XAER_PROTO, DTC_XaComplete(&handle, &retval, kRm, TMNOFLAGS));
}

TEST_F(XaStateTable, RecoverScans) {
    XID list[8];
    EXPECT_EQ(XAER_INVAL, DTC_XaRecover(list, 0, kRm, TMSTARTRSCAN));
    EXPECT_EQ(XAER_INVAL, DTC_XaRecover(list, -1, kRm, TMSTARTRSCAN));
    EXPECT_EQ(XAER_INVAL, DTC_XaRecover(nullptr, 8, kRm, TMSTARTRSCAN));
    EXPECT_EQ(XAER_INVAL, DTC_XaRecover(list, 8, kRm, TMJOIN));
    EXPECT_EQ(XAER_PROTO, DTC_XaRecover(list, 8, 9, TMSTARTRSCAN | TMENDRSCAN));
    EXPECT_EQ(0, DTC_XaRecover(list, 8, kRm, TMSTARTRSCAN | TMENDRSCAN));
    for (int i = 0; i < 5; ++i) prepared("recover-" + std::to_string(i));
    idle("recover-idle");
    XID active = makeXid("recover-active");
    ASSERT_EQ(XA_OK, DTC_XaStart(&active, kRm, TMNOFLAGS));
    // A scan in pieces: 2 + 2 + 1, then nothing until a new scan starts.
    EXPECT_EQ(2, DTC_XaRecover(list, 2, kRm, TMSTARTRSCAN));
    EXPECT_EQ(2, DTC_XaRecover(list + 2, 2, kRm, TMNOFLAGS));
    EXPECT_EQ(1, DTC_XaRecover(list + 4, 2, kRm, TMNOFLAGS));
    EXPECT_EQ(0, DTC_XaRecover(list, 2, kRm, TMNOFLAGS));
    std::set<std::string> seen;
    for (int i = 0; i < 5; ++i) seen.insert(std::string(list[i].data, static_cast<size_t>(list[i].gtrid_length)));
    EXPECT_EQ(5u, seen.size());
    EXPECT_EQ(1u, seen.count("recover-3"));
    EXPECT_EQ(5, DTC_XaRecover(list, 8, kRm, TMSTARTRSCAN | TMENDRSCAN));
    // TMNOFLAGS without an open scan starts one; a scan is per thread.
    EXPECT_EQ(3, onOtherThread([&] {
        XID mine[3];
        return DTC_XaRecover(mine, 3, kRm, TMNOFLAGS);
    }));
    EXPECT_EQ(5, DTC_XaRecover(list, 8, kRm, TMNOFLAGS));
    EXPECT_EQ(XA_OK, DTC_XaEnd(&active, kRm, TMSUCCESS));
}

TEST_F(XaStateTable, OpenAndClose) {
    char empty[] = "";
    char noGuid[] = "TM=Morvalen";
    char badGuid[] = "TM=Morvalen,RmRecoveryGuid=7592BBA9-26B4-421A-AE43-6E27A5BFD13";
    char braces[] = "TM=Morvalen,RmRecoveryGuid={7592BBA9-26B4-421A-AE43-6E27A5BFD134}";
    char unknownKey[] = "TM=Morvalen,RmRecoveryGuid=7592BBA9-26B4-421A-AE43-6E27A5BFD134,Color=blue";
    char twice[] = "TM=a,TM=b,RmRecoveryGuid=7592BBA9-26B4-421A-AE43-6E27A5BFD134";
    char badTimeout[] = "TM=Morvalen,RmRecoveryGuid=7592BBA9-26B4-421A-AE43-6E27A5BFD134,Timeout=-5";
    char tight[] = "TM=Morvalen,RmRecoveryGuid=7592BBA9-26B4-421A-AE43-6E27A5BFD134,BrIso=Tight";
    char trailingComma[] = "TM=Morvalen,RmRecoveryGuid=7592BBA9-26B4-421A-AE43-6E27A5BFD134,";
    char otherGuid[] = "TM=Morvalen,RmRecoveryGuid=00000000-0000-0000-0000-000000000001";
    char withTimeout[] = "tm=Morvalen,rmrecoveryguid=7592bba9-26b4-421a-ae43-6e27a5bfd134,Timeout=60000,BrIso=Loose";
    EXPECT_EQ(E_INVALIDARG, DTC_XaOpen(nullptr, 2, TMNOFLAGS));
    EXPECT_EQ(E_INVALIDARG, DTC_XaOpen(kOpenString, 2, TMJOIN));
    EXPECT_EQ(XAER_ASYNC, DTC_XaOpen(kOpenString, 2, TMASYNC));
    for (char* bad : {empty, noGuid, badGuid, braces, unknownKey, twice, badTimeout, tight, trailingComma})
        EXPECT_EQ(XAER_INVAL, DTC_XaOpen(bad, 2, TMNOFLAGS)) << bad;
    std::string huge = std::string(kOpenString) + ",TM=" + std::string(300, 'x');
    EXPECT_EQ(XAER_INVAL, DTC_XaOpen(huge.data(), 2, TMNOFLAGS));
    EXPECT_EQ(XAER_PROTO, DTC_XaClose(kOpenString, 2, TMNOFLAGS));        // never opened
    EXPECT_EQ(XAER_INVAL, DTC_XaOpen(otherGuid, kRm, TMNOFLAGS));         // rmid 1 has another GUID

    // A second open counts (and accepts the GUID in any case); two closes end it.
    EXPECT_EQ(XA_OK, DTC_XaOpen(withTimeout, kRm, TMNOFLAGS));
    EXPECT_EQ(XA_OK, DTC_XaClose(kOpenString, kRm, TMNOFLAGS));
    XID a = makeXid("open-a");
    ASSERT_EQ(XA_OK, DTC_XaStart(&a, kRm, TMNOFLAGS));
    EXPECT_EQ(XAER_PROTO, DTC_XaClose(kOpenString, kRm, TMNOFLAGS));      // this thread is associated
    EXPECT_EQ(XAER_INVAL, DTC_XaClose(kOpenString, kRm, TMJOIN));
    EXPECT_EQ(XA_OK, DTC_XaEnd(&a, kRm, TMSUCCESS));
    EXPECT_EQ(XA_OK, DTC_XaClose(nullptr, kRm, TMNOFLAGS));
    EXPECT_EQ(XAER_PROTO, DTC_XaClose(kOpenString, kRm, TMNOFLAGS));
    EXPECT_EQ(XAER_PROTO, DTC_XaPrepare(&a, kRm, TMNOFLAGS));             // R0
    // Closing the GUID's last connection rolled back the unprepared branch.
    ASSERT_EQ(XA_OK, DTC_XaOpen(kOpenString, kRm, TMNOFLAGS));
    EXPECT_EQ(XAER_NOTA, DTC_XaPrepare(&a, kRm, TMNOFLAGS));
}

} // namespace
