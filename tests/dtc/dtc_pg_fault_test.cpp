// The PostgreSQL participant's faults, against a real dtcd and a private
// PostgreSQL cluster (PgFixture.h): statements that end the transaction
// themselves, a reply to PREPARE TRANSACTION that never arrives, a cookie
// whose transaction already rolled back, and what --recover may and may not
// touch.
#include <gtest/gtest.h>

#include "PgFixture.h"
#include "PgRelay.h"

namespace {

using namespace pgtest;

class DtcPgFaults : public DtcPostgres {};

TEST_F(DtcPgFaults, AStatementThatEndsTheTransactionIsRefusedAndNothingIsEnlisted) {
    const std::vector<std::vector<std::string>> cases = {
        {"INSERT INTO t VALUES (71)", "COMMIT"},
        {"INSERT INTO t VALUES (72)", "COMMIT AND CHAIN", "INSERT INTO t VALUES (73)"},
        {"INSERT INTO t VALUES (74)", "ROLLBACK"},
        {"INSERT INTO t VALUES (75)", "PREPARE TRANSACTION 'by-hand'"},
    };
    int n = 0;
    for (const auto& sql : cases) {
        XID xid = makeXid("pg-ends-" + std::to_string(n++));
        std::string cookie = startWithCookie(&xid);
        Child c = enlist(cookie, "postgres", sql);
        EXPECT_EQ(2, waitExit(c.pid)) << sql[1];
        std::string out = readText(c.out);
        EXPECT_NE(std::string::npos, out.find("ended the transaction")) << out;
        EXPECT_EQ(std::string::npos, out.find("committed")) << out;
        EXPECT_TRUE(participants(0));
        int ended = DTC_XaEnd(&xid, kRm, TMSUCCESS);
        EXPECT_TRUE(ended == XA_OK || ended == XA_RBROLLBACK) << ended;
        // The participant gave up: the global transaction rolls back.
        EXPECT_EQ(XA_RBROLLBACK, DTC_XaPrepare(&xid, kRm, TMNOFLAGS));
    }
    exec("postgres", "ROLLBACK PREPARED 'by-hand'");
    EXPECT_EQ("0", prepared());
}

TEST_F(DtcPgFaults, ALostReplyToPrepareLeavesNoPreparedTransaction) {
    CuttingRelay relay;
    ASSERT_TRUE(relay.start(cluster.dir));
    XID xid = makeXid("pg-lost-prepare");
    std::string cookie = startWithCookie(&xid);
    Child c = enlistAt(cookie, "host=" + relay.dir + " user=" + cluster.role + " dbname=postgres",
                       {"INSERT INTO t VALUES (81)"});
    ASSERT_TRUE(participants(1));
    ASSERT_EQ(XA_OK, DTC_XaEnd(&xid, kRm, TMSUCCESS));
    EXPECT_EQ(XA_RBROLLBACK, DTC_XaPrepare(&xid, kRm, TMNOFLAGS));
    EXPECT_EQ(1, waitExit(c.pid));
    std::string out = readText(c.out);
    EXPECT_NE(std::string::npos, out.find("aborted")) << out;
    EXPECT_NE(std::string::npos, out.find("PREPARE TRANSACTION")) << out;
    EXPECT_EQ(1, relay.cuts.load());
    EXPECT_EQ("0", prepared());
    EXPECT_EQ("0", exec("postgres", "SELECT count(*) FROM t WHERE id = 81"));
    relay.stop();
}

TEST_F(DtcPgFaults, ATransactionThatRolledBackBeforeEnlistingIsAborted) {
    XID xid = makeXid("pg-rolled-back-first");
    std::string cookie = startWithCookie(&xid);
    // The importer-side abort of the transaction behind the cookie.
    void* object = nullptr;
    ASSERT_EQ(S_OK, DtcGetTransactionManager(nullptr, nullptr, IID_IXATransLookup, 0, 0, nullptr, &object));
    auto* lookup = static_cast<IXATransLookup*>(object);
    ITransaction* tx = nullptr;
    ASSERT_EQ(S_OK, lookup->Lookup(&tx));
    ASSERT_EQ(S_OK, tx->Abort(nullptr, 0, 0));
    tx->Release();
    lookup->Release();
    Child c = enlist(cookie, "postgres", {"INSERT INTO t VALUES (91)"});
    EXPECT_EQ(1, waitExit(c.pid));
    std::string out = readText(c.out);
    EXPECT_NE(std::string::npos, out.find("aborted\n")) << out;
    EXPECT_EQ(XA_RBROLLBACK, DTC_XaEnd(&xid, kRm, TMSUCCESS));
    EXPECT_EQ("0", exec("postgres", "SELECT count(*) FROM t WHERE id = 91"));
}

TEST_F(DtcPgFaults, RecoverDuringPhaseOneOrBesideALiveParticipantTouchesNothing) {
    // The participant has run PREPARE TRANSACTION; its answer is held back,
    // so it has not voted yet. --recover must leave its work alone.
    CuttingRelay relay;
    relay.hold = true;
    ASSERT_TRUE(relay.start(cluster.dir));
    XID xid = makeXid("pg-recover-phase-one");
    std::string cookie = startWithCookie(&xid);
    Child c = enlistAt(cookie, "host=" + relay.dir + " user=" + cluster.role + " dbname=postgres",
                       {"INSERT INTO t VALUES (101)"});
    ASSERT_TRUE(participants(1));
    // The operator's view: the transaction id, the GUID as the gid shows it, the database.
    std::string list;
    ASSERT_EQ(0, runCtl(daemon, {"list"}, &list));
    EXPECT_NE(std::string::npos, list.find(" dtc-pg postgres@")) << list;
    ASSERT_EQ(XA_OK, DTC_XaEnd(&xid, kRm, TMSUCCESS));
    int prepareResult = 0;
    std::thread preparer([&] { prepareResult = DTC_XaPrepare(&xid, kRm, TMNOFLAGS); });
    // No assertion may leave the test while the preparer runs: the checks
    // below only expect, and the relay lets the answer go on every way.
    bool held = relay.waitHeld();
    EXPECT_TRUE(held);
    std::string out;
    if (held) {
        EXPECT_EQ("1", prepared());
        std::string gid = exec("postgres", "SELECT gid FROM pg_prepared_xacts");
        EXPECT_EQ(78u, gid.size()) << gid;
        if (gid.size() == 78u) {
            EXPECT_NE(std::string::npos, list.find(gid.substr(4, 32))) << list;           // the transaction id
            EXPECT_NE(std::string::npos, list.find("gid form " + gid.substr(37, 32))) << list; // the participant
        }
        EXPECT_EQ(0, recover("postgres", &out)) << out;
        EXPECT_EQ(std::string::npos, out.find(" aborted")) << out;
        EXPECT_EQ("1", prepared()) << out;
    }
    relay.release();
    preparer.join();
    ASSERT_TRUE(held);
    EXPECT_EQ(XA_OK, prepareResult);
    // Prepared and live: --recover again leaves it alone, and the live
    // participant still hears the commit.
    EXPECT_EQ(0, recover("postgres", &out));
    EXPECT_NE(std::string::npos, out.find("in-doubt")) << out;
    ASSERT_EQ(XA_OK, DTC_XaCommit(&xid, kRm, TMNOFLAGS));
    EXPECT_EQ(0, waitExitWithin(c.pid, 15)) << readText(c.out);
    EXPECT_EQ("1", exec("postgres", "SELECT count(*) FROM t WHERE id = 101"));
    EXPECT_EQ("0", prepared());
    EXPECT_TRUE(statBecomes("branches_committing", "0"));
    relay.stop();
}

TEST_F(DtcPgFaults, ACommitAppliedByHandIsSettledByRecoverAndTheXidIsFreeAgain) {
    XID xid = makeXid("pg-commit-by-hand");
    Child c = branch(&xid, "postgres", {"INSERT INTO t VALUES (111)"});
    ASSERT_EQ(XA_OK, DTC_XaEnd(&xid, kRm, TMSUCCESS));
    ASSERT_EQ(XA_OK, DTC_XaPrepare(&xid, kRm, TMNOFLAGS));
    kill(c.pid, SIGKILL);
    waitExit(c.pid);
    ASSERT_EQ(XA_OK, DTC_XaCommit(&xid, kRm, TMNOFLAGS));
    // The operator commits the prepared transaction by hand: nothing is left
    // for --recover to find, and dtcd still waits for an acknowledgement.
    std::string gid = exec("postgres", "SELECT gid FROM pg_prepared_xacts");
    ASSERT_FALSE(gid.empty());
    exec("postgres", "COMMIT PREPARED '" + gid + "'");
    EXPECT_EQ("1", stat("branches_committing"));
    std::string out;
    EXPECT_EQ(0, recover("postgres", &out)) << out;
    EXPECT_TRUE(statBecomes("branches_committing", "0"));
    EXPECT_EQ("1", stat("participants_settled"));
    EXPECT_EQ(XA_OK, DTC_XaStart(&xid, kRm, TMNOFLAGS));
    EXPECT_EQ(XA_OK, DTC_XaEnd(&xid, kRm, TMSUCCESS));
    EXPECT_EQ(XA_OK, DTC_XaRollback(&xid, kRm, TMNOFLAGS));
    EXPECT_EQ("1", exec("postgres", "SELECT count(*) FROM t WHERE id = 111"));
}

TEST_F(DtcPgFaults, SeveralRecoversAtOnceApplyEachOutcomeOnce) {
    // Three participants die after voting; two transactions commit, one rolls back.
    std::vector<XID> xids;
    for (int i = 0; i < 3; ++i) {
        XID xid = makeXid("pg-many-recover-" + std::to_string(i));
        std::string cookie = startWithCookie(&xid);
        Child c = enlist(cookie, "postgres", {"INSERT INTO t VALUES (" + std::to_string(120 + i) + ")"});
        ASSERT_TRUE(participants(static_cast<size_t>(i) + 1)); // the earlier ones stay listed, prepared
        ASSERT_EQ(XA_OK, DTC_XaEnd(&xid, kRm, TMSUCCESS));
        ASSERT_EQ(XA_OK, DTC_XaPrepare(&xid, kRm, TMNOFLAGS));
        kill(c.pid, SIGKILL);
        waitExit(c.pid);
        xids.push_back(xid);
    }
    ASSERT_EQ(XA_OK, DTC_XaCommit(&xids[0], kRm, TMNOFLAGS));
    ASSERT_EQ(XA_OK, DTC_XaCommit(&xids[1], kRm, TMNOFLAGS));
    ASSERT_EQ(XA_OK, DTC_XaRollback(&xids[2], kRm, TMNOFLAGS));
    std::vector<Child> runs;
    for (int i = 0; i < 3; ++i) runs.push_back(recoverStart("postgres"));
    std::string all;
    for (Child& run : runs) {
        EXPECT_EQ(0, waitExitWithin(run.pid, 30));
        all += readText(run.out);
    }
    EXPECT_EQ("0", prepared()) << all;
    EXPECT_EQ("2", exec("postgres", "SELECT count(*) FROM t WHERE id BETWEEN 120 AND 122")) << all;
    EXPECT_EQ("0", exec("postgres", "SELECT count(*) FROM t WHERE id = 122")) << all;
    EXPECT_TRUE(statBecomes("branches_committing", "0"));
}

TEST_F(DtcPgFaults, AConnectionLostAfterTheServerCommittedIsAcknowledgedAnyway) {
    CuttingRelay relay;
    relay.trigger = "COMMIT PREPARED";
    ASSERT_TRUE(relay.start(cluster.dir));
    XID xid = makeXid("pg-lost-commit-answer");
    std::string cookie = startWithCookie(&xid);
    Child c = enlistAt(cookie, "host=" + relay.dir + " user=" + cluster.role + " dbname=postgres",
                       {"INSERT INTO t VALUES (131)"});
    ASSERT_TRUE(participants(1));
    ASSERT_EQ(XA_OK, DTC_XaEnd(&xid, kRm, TMSUCCESS));
    ASSERT_EQ(XA_OK, DTC_XaPrepare(&xid, kRm, TMNOFLAGS));
    ASSERT_EQ(XA_OK, DTC_XaCommit(&xid, kRm, TMNOFLAGS));
    // The participant finds its transaction committed through a new
    // connection and acknowledges: nothing stays committing.
    EXPECT_EQ(0, waitExitWithin(c.pid, 15)) << readText(c.out);
    EXPECT_EQ(1, relay.cuts.load());
    EXPECT_TRUE(statBecomes("branches_committing", "0"));
    EXPECT_EQ("1", exec("postgres", "SELECT count(*) FROM t WHERE id = 131"));
    EXPECT_EQ("0", prepared());
    relay.stop();
}

} // namespace
