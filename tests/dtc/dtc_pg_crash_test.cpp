// The crash and race matrix of the PostgreSQL participant, against a real
// dtcd and a private PostgreSQL cluster (PgFixture.h). For each victim (dtcd,
// the participant, PostgreSQL) and each moment (after enlisting, after
// PREPARE TRANSACTION before the vote, after the vote, after the commit
// decision (COMMIT PREPARED racing its acknowledgement), and after COMMIT
// PREPARED before the participant hears its answer), the victim is
// killed (-9; PostgreSQL by an immediate stop) while a --recover runs beside
// it, brought back, the transaction manager finishes what it holds, and
// --recover runs until nothing is left. Then:
//  - the participant's row exists exactly when the manager's commit
//    answered XA_OK,
//  - no prepared transaction is left in the database,
//  - dtcd holds no branch.
// One round runs here; MORVALEN_PG_MATRIX_ROUNDS=N (read at start) repeats
// it for a long run (docs/participants.md has the figures of one).
#include <gtest/gtest.h>

#include <cstdlib>
#include <sstream>

#include "PgFixture.h"
#include "PgRelay.h"

namespace {

using namespace pgtest;

enum Victim { kDtcd, kParticipant, kPostgres };
enum Moment { kEnlisted, kPrepareHeld, kVoted, kDecided, kCommitHeld };

const char* victimName(Victim v) { return v == kDtcd ? "dtcd" : v == kParticipant ? "participant" : "postgres"; }
const char* momentName(Moment m) {
    return m == kEnlisted ? "enlisted" : m == kPrepareHeld ? "prepare-held" : m == kVoted ? "voted" : m == kDecided ? "decided" : "commit-held";
}

class DtcPgCrash : public DtcPostgres {
protected:
    void kill(Victim v, pid_t participant) {
        switch (v) {
        case kDtcd: killDaemon(&daemon); break;
        case kParticipant: ::kill(participant, SIGKILL); break;
        case kPostgres:
            ::kill(cluster.pid, SIGQUIT); // immediate shutdown: no checkpoint, crash recovery at the next start
            waitExit(cluster.pid);
            cluster.pid = -1;
            break;
        }
    }
    void revive(Victim v) {
        if (v == kDtcd) {
            ASSERT_TRUE(startDaemon(&daemon));
            DTC_XaClose(kOpenString, kRm, TMNOFLAGS);
            ASSERT_EQ(XA_OK, DTC_XaOpen(kOpenString, kRm, TMNOFLAGS));
        } else if (v == kPostgres) {
            ASSERT_TRUE(startCluster(&cluster, 10)) << readText(cluster.dir + "/server.log");
        }
    }
    bool dtcdEmpty() {
        std::string out;
        runCtl(daemon, {"list"}, &out);
        return std::count(out.begin(), out.end(), '\n') <= 1;
    }
    // One case; answers a one-line summary ("" when the invariant held).
    std::string runCase(Victim victim, Moment moment, int round) {
        std::string name = std::string(victimName(victim)) + "/" + momentName(moment) + "/" + std::to_string(round);
        int row = ++rowId;
        XID xid = makeXid("crash-" + name);
        std::string cookie = startWithCookie(&xid);
        CuttingRelay relay;
        relay.hold = true;
        std::string target = conninfo("postgres");
        if (moment == kCommitHeld) relay.trigger = "COMMIT PREPARED";
        bool relayed = moment == kPrepareHeld || moment == kCommitHeld;
        if (relayed) {
            EXPECT_TRUE(relay.start(cluster.dir));
            target = "host=" + relay.dir + " user=" + cluster.role + " dbname=postgres";
        }
        Child c = enlistAt(cookie, target, {"INSERT INTO t VALUES (" + std::to_string(row) + ")"});
        EXPECT_TRUE(participants(1)) << name;
        bool committed = false; // the manager's commit answered XA_OK
        bool ended = false;
        int prepareResult = XAER_NOTA;
        std::thread preparer;
        if (moment != kEnlisted) {
            ended = true;
            EXPECT_EQ(XA_OK, DTC_XaEnd(&xid, kRm, TMSUCCESS)) << name;
            if (moment == kPrepareHeld) {
                preparer = std::thread([&] { prepareResult = DTC_XaPrepare(&xid, kRm, TMNOFLAGS); });
                EXPECT_TRUE(relay.waitHeld()) << name;
            } else {
                prepareResult = DTC_XaPrepare(&xid, kRm, TMNOFLAGS);
                EXPECT_EQ(XA_OK, prepareResult) << name;
            }
        }
        if (moment == kDecided || moment == kCommitHeld) committed = DTC_XaCommit(&xid, kRm, TMNOFLAGS) == XA_OK;
        // The server has run COMMIT PREPARED; the participant has not heard it.
        if (moment == kCommitHeld) {
            EXPECT_TRUE(relay.waitHeld()) << name;
        }
        Child racing = recoverStart("postgres"); // --recover races the crash
        kill(victim, c.pid);
        if (relayed) relay.release();
        if (preparer.joinable()) preparer.join();
        revive(victim);
        // The manager finishes what it holds: ends and prepares what it had
        // not, commits what is prepared (recovered after dtcd's restart), and
        // rolls back the rest.
        if (!ended) {
            DTC_XaEnd(&xid, kRm, TMSUCCESS);
            prepareResult = DTC_XaPrepare(&xid, kRm, TMNOFLAGS);
        }
        if (!committed) {
            if (prepareResult == XA_OK) {
                int r = DTC_XaCommit(&xid, kRm, TMNOFLAGS);
                committed = r == XA_OK;
                if (r != XA_OK && r != XAER_NOTA) DTC_XaRollback(&xid, kRm, TMNOFLAGS);
            } else {
                DTC_XaRollback(&xid, kRm, TMNOFLAGS);
            }
        }
        std::ostringstream problems;
        int exited = waitExitWithin(c.pid, 20);
        if (exited == -2) problems << " participant hung;";
        if (waitExitWithin(racing.pid, 30) == -2) problems << " racing --recover hung;";
        if (relayed) relay.stop();
        std::string out;
        for (int i = 0; i < 4 && (prepared() != "0" || !dtcdEmpty()); ++i) recover("postgres", &out);
        std::string rows = exec("postgres", "SELECT count(*) FROM t WHERE id = " + std::to_string(row));
        if (rows != (committed ? "1" : "0")) problems << " row " << rows << " but commit " << (committed ? "answered" : "not answered") << ";";
        if (prepared() != "0") problems << " prepared transactions left;";
        if (!dtcdEmpty()) problems << " a branch left in dtcd;";
        std::string p = problems.str();
        return p.empty() ? "" : name + ":" + p + " (participant exit " + std::to_string(exited) + ", " + readText(c.out) + ")";
    }
    int rowId = 1000;
};

TEST_F(DtcPgCrash, EveryCrashAndRaceKeepsTheParticipantAtomic) {
    const char* env = std::getenv("MORVALEN_PG_MATRIX_ROUNDS");
    int rounds = env != nullptr ? std::max(1, std::atoi(env)) : 1;
    int cases = 0;
    int failures = 0;
    for (int round = 0; round < rounds; ++round) {
        for (Victim v : {kDtcd, kParticipant, kPostgres}) {
            for (Moment m : {kEnlisted, kPrepareHeld, kVoted, kDecided, kCommitHeld}) {
                std::string problem = runCase(v, m, round);
                cases++;
                if (!problem.empty()) {
                    failures++;
                    ADD_FAILURE() << problem;
                }
            }
        }
    }
    std::printf("crash matrix: %d cases, %d broke the invariant\n", cases, failures);
}

// dtcd stops during the final delete: the participant has committed and
// acknowledged, and the flush of the delete that follows fails, which ends
// dtcd at that very write. Whether the delete reached the disk or not, the
// restart and --recover leave the work committed and nothing behind.
TEST_F(DtcPgCrash, DtcdStoppedDuringTheFinalDeleteSettlesAfterRecovery) {
    std::string trigger = makeTempDir() + "/fail-flushes";
    stopDaemon(&daemon);
    ASSERT_TRUE(startDaemonWithFlushFault(&daemon, trigger));
    DTC_XaClose(kOpenString, kRm, TMNOFLAGS);
    ASSERT_EQ(XA_OK, DTC_XaOpen(kOpenString, kRm, TMNOFLAGS));
    XID xid = makeXid("crash-final-delete");
    std::string cookie = startWithCookie(&xid);
    CuttingRelay relay;
    relay.hold = true;
    relay.trigger = "COMMIT PREPARED";
    ASSERT_TRUE(relay.start(cluster.dir));
    Child c = enlistAt(cookie, "host=" + relay.dir + " user=" + cluster.role + " dbname=postgres",
                       {"INSERT INTO t VALUES (77)"});
    ASSERT_TRUE(participants(1));
    ASSERT_EQ(XA_OK, DTC_XaEnd(&xid, kRm, TMSUCCESS));
    ASSERT_EQ(XA_OK, DTC_XaPrepare(&xid, kRm, TMNOFLAGS));
    ASSERT_EQ(XA_OK, DTC_XaCommit(&xid, kRm, TMNOFLAGS)); // the decision is durable
    ASSERT_TRUE(relay.waitHeld()); // the server has committed; the participant has not heard it
    std::ofstream(trigger).put('x'); // the next flush, the delete's, fails
    relay.release();
    EXPECT_EQ(0, waitExitWithin(c.pid, 20)) << readText(c.out); // it acknowledged: committed
    EXPECT_NE(std::string::npos, readText(c.out).find("committed")) << readText(c.out);
    ASSERT_EQ(1, daemonExitCode(&daemon)) << readText(daemon.stderrPath); // stopped at the failed delete
    relay.stop();
    std::remove(trigger.c_str());
    ASSERT_TRUE(startDaemon(&daemon));
    DTC_XaClose(kOpenString, kRm, TMNOFLAGS);
    ASSERT_EQ(XA_OK, DTC_XaOpen(kOpenString, kRm, TMNOFLAGS));
    std::string out;
    for (int i = 0; i < 4 && !dtcdEmpty(); ++i) recover("postgres", &out);
    EXPECT_TRUE(dtcdEmpty()) << out;
    EXPECT_EQ("1", exec("postgres", "SELECT count(*) FROM t WHERE id = 77"));
    EXPECT_EQ("0", prepared());
    EXPECT_EQ(XAER_NOTA, DTC_XaCommit(&xid, kRm, TMNOFLAGS));
}

} // namespace
