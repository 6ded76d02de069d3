// The PostgreSQL participant against a real dtcd and a private PostgreSQL
// cluster (PgFixture.h): XA branches driven through libmsdtcprx.so, their cookie
// handed to build/bin/dtc-pg-enlist, the outcome checked in the database.
// Also through the wire: the real morvalen (port 1439; this binary runs in a
// network namespace of its own) hands out the cookie and runs the branch.
// Skipped where the PostgreSQL server binaries are not installed.
#include <gtest/gtest.h>

#include "MorvalenClient.h"
#include "PgFixture.h"
#include "support/Process.h"

namespace {

using namespace pgtest;

TEST_F(DtcPostgres, CommitRollbackFailuresReadOnlyAndTwoDatabases) {
    XID x1 = makeXid("pg-commit");
    Child c1 = branch(&x1, "postgres", {"INSERT INTO t VALUES (1)"});
    ASSERT_EQ(XA_OK, DTC_XaEnd(&x1, kRm, TMSUCCESS));
    ASSERT_EQ(XA_OK, DTC_XaPrepare(&x1, kRm, TMNOFLAGS));
    EXPECT_EQ("1", prepared());
    ASSERT_EQ(XA_OK, DTC_XaCommit(&x1, kRm, TMNOFLAGS));
    EXPECT_EQ(0, waitExit(c1.pid));
    EXPECT_EQ("enlisted\ncommitted\n", readText(c1.out));
    EXPECT_EQ("1", exec("postgres", "SELECT count(*) FROM t WHERE id = 1"));

    XID x2 = makeXid("pg-rollback");
    Child c2 = branch(&x2, "postgres", {"INSERT INTO t VALUES (2)"});
    ASSERT_EQ(XA_OK, DTC_XaEnd(&x2, kRm, TMSUCCESS));
    ASSERT_EQ(XA_OK, DTC_XaPrepare(&x2, kRm, TMNOFLAGS));
    ASSERT_EQ(XA_OK, DTC_XaRollback(&x2, kRm, TMNOFLAGS));
    EXPECT_EQ(1, waitExit(c2.pid));
    EXPECT_EQ("enlisted\naborted\n", readText(c2.out));
    EXPECT_EQ("0", exec("postgres", "SELECT count(*) FROM t WHERE id = 2"));

    // A failing statement: the participant aborts the transaction.
    XID x3b = makeXid("pg-bad-statement-2");
    std::string cookie = startWithCookie(&x3b);
    Child c3b = enlist(cookie, "postgres", {"INSERT INTO t VALUES (3)", "INSERT INTO nosuch VALUES (1)"});
    EXPECT_EQ(1, waitExit(c3b.pid));
    EXPECT_NE(std::string::npos, readText(c3b.out).find("nosuch"));
    int ended = DTC_XaEnd(&x3b, kRm, TMSUCCESS);
    EXPECT_TRUE(ended == XA_OK || ended == XA_RBROLLBACK) << ended;
    EXPECT_EQ(XA_RBROLLBACK, DTC_XaPrepare(&x3b, kRm, TMNOFLAGS));
    EXPECT_EQ("0", exec("postgres", "SELECT count(*) FROM t WHERE id = 3"));

    // A deferred constraint that fails at PREPARE TRANSACTION: a no vote.
    XID x4 = makeXid("pg-deferred");
    Child c4 = branch(&x4, "postgres", {"INSERT INTO d VALUES (7), (7)"});
    ASSERT_EQ(XA_OK, DTC_XaEnd(&x4, kRm, TMSUCCESS));
    EXPECT_EQ(XA_RBROLLBACK, DTC_XaPrepare(&x4, kRm, TMNOFLAGS));
    EXPECT_EQ(1, waitExit(c4.pid));
    EXPECT_EQ("0", exec("postgres", "SELECT count(*) FROM d"));

    // Read-only: XA_RDONLY, the participant is done.
    XID x5 = makeXid("pg-read-only");
    Child c5 = branch(&x5, "postgres", {"SELECT count(*) FROM t"});
    ASSERT_EQ(XA_OK, DTC_XaEnd(&x5, kRm, TMSUCCESS));
    EXPECT_EQ(XA_RDONLY, DTC_XaPrepare(&x5, kRm, TMNOFLAGS));
    EXPECT_EQ(0, waitExit(c5.pid)) << readText(c5.out);

    // Two participants in two databases.
    XID x6 = makeXid("pg-two");
    std::string cookie6 = startWithCookie(&x6);
    Child a = enlist(cookie6, "postgres", {"INSERT INTO t VALUES (6)"});
    Child b = enlist(cookie6, "second", {"INSERT INTO t VALUES (6)"});
    ASSERT_TRUE(participants(2));
    ASSERT_EQ(XA_OK, DTC_XaEnd(&x6, kRm, TMSUCCESS));
    ASSERT_EQ(XA_OK, DTC_XaPrepare(&x6, kRm, TMNOFLAGS));
    ASSERT_EQ(XA_OK, DTC_XaCommit(&x6, kRm, TMNOFLAGS));
    EXPECT_EQ(0, waitExit(a.pid));
    EXPECT_EQ(0, waitExit(b.pid));
    EXPECT_EQ("1", exec("postgres", "SELECT count(*) FROM t WHERE id = 6"));
    EXPECT_EQ("1", exec("second", "SELECT count(*) FROM t WHERE id = 6"));
    EXPECT_EQ("0", prepared());

    // A server without prepared transactions: refused before enlisting.
    stopCluster(&cluster);
    ASSERT_TRUE(startCluster(&cluster, 0));
    XID x7 = makeXid("pg-disabled");
    std::string cookie7 = startWithCookie(&x7);
    Child c7 = enlist(cookie7, "postgres", {"INSERT INTO t VALUES (7)"});
    EXPECT_EQ(2, waitExit(c7.pid));
    EXPECT_NE(std::string::npos, readText(c7.out).find("max_prepared_transactions")) << readText(c7.out);
    ASSERT_EQ(XA_OK, DTC_XaEnd(&x7, kRm, TMSUCCESS));
    EXPECT_EQ(XA_OK, DTC_XaCommit(&x7, kRm, TMONEPHASE)); // nobody enlisted
}

TEST_F(DtcPostgres, CrashedParticipantOrCoordinatorIsRecovered) {
    // The participant is killed after it voted; the decision is taken; --recover applies it.
    XID x1 = makeXid("pg-crash-participant");
    Child c1 = branch(&x1, "postgres", {"INSERT INTO t VALUES (11)"});
    ASSERT_EQ(XA_OK, DTC_XaEnd(&x1, kRm, TMSUCCESS));
    ASSERT_EQ(XA_OK, DTC_XaPrepare(&x1, kRm, TMNOFLAGS)) << readText(c1.out);
    kill(c1.pid, SIGKILL);
    waitExit(c1.pid);
    ASSERT_EQ(XA_OK, DTC_XaCommit(&x1, kRm, TMNOFLAGS));
    EXPECT_EQ("1", prepared());
    std::string out = cluster.dir + "/recover1.out";
    EXPECT_EQ(0, waitExit(spawnAs({std::string(getenv("MORVALEN_BIN_DIR")) + "/dtc-pg-enlist", "--recover",
                                   "--conninfo", conninfo("postgres")},
                                  out, nullptr)));
    EXPECT_NE(std::string::npos, readText(out).find(" committed")) << readText(out);
    EXPECT_EQ("1", exec("postgres", "SELECT count(*) FROM t WHERE id = 11"));
    EXPECT_EQ("0", prepared());

    // dtcd is killed after the prepared record; the participant loses it and
    // leaves; after the restart the manager rolls back, --recover applies it.
    XID x2 = makeXid("pg-crash-dtcd");
    Child c2 = branch(&x2, "postgres", {"INSERT INTO t VALUES (12)"});
    ASSERT_EQ(XA_OK, DTC_XaEnd(&x2, kRm, TMSUCCESS));
    ASSERT_EQ(XA_OK, DTC_XaPrepare(&x2, kRm, TMNOFLAGS));
    killDaemon(&daemon);
    EXPECT_EQ(2, waitExit(c2.pid)) << readText(c2.out);
    EXPECT_NE(std::string::npos, readText(c2.out).find("--recover"));
    ASSERT_TRUE(startDaemon(&daemon));
    EXPECT_EQ(XA_OK, DTC_XaClose(kOpenString, kRm, TMNOFLAGS));
    ASSERT_EQ(XA_OK, DTC_XaOpen(kOpenString, kRm, TMNOFLAGS));
    ASSERT_EQ(XA_OK, DTC_XaRollback(&x2, kRm, TMNOFLAGS));
    out = cluster.dir + "/recover2.out";
    EXPECT_EQ(0, waitExit(spawnAs({std::string(getenv("MORVALEN_BIN_DIR")) + "/dtc-pg-enlist", "--recover",
                                   "--conninfo", conninfo("postgres")},
                                  out, nullptr)));
    EXPECT_NE(std::string::npos, readText(out).find(" aborted")) << readText(out);
    EXPECT_EQ("0", exec("postgres", "SELECT count(*) FROM t WHERE id = 12"));
    EXPECT_EQ("0", prepared());
}

// The service on port 1439, bound to this test's dtcd. The library directory
// is named on LD_LIBRARY_PATH because under AddressSanitizer dlopen runs from
// the sanitizer's interceptor, which has no RUNPATH.
bool startService(testsupport::ChildProcess* service, const std::string& dtcdSocket) {
    std::string libs = std::string(getenv("MORVALEN_BIN_DIR")) + "/../lib";
    return testsupport::startProcess(service, testsupport::binPath("morvalen"), {},
                                     {"DTCD_SOCKET=" + dtcdSocket, "LD_LIBRARY_PATH=" + libs, "NOTIFY_SOCKET"}) &&
           testsupport::waitForTcpPort(1439, 10000);
}

void killService(testsupport::ChildProcess* service) {
    testsupport::sendSignal(*service, SIGKILL);
    testsupport::ExitStatus status;
    EXPECT_TRUE(testsupport::waitForExit(service, 10000, &status));
}

struct WireClient {
    morvalen::MorvalenConnection c;
    WireClient() { EXPECT_EQ(morvalen::clientConnect(&c, "127.0.0.1", 1439, 10000), morvalen::kClientOk); }
    ~WireClient() { morvalen::clientClose(&c); }
    int32_t start(const XID& x, std::string* cookieHex) {
        int32_t r = 0;
        morvalen::MorvalenCookie cookie;
        EXPECT_EQ(morvalen::clientStart(&c, &x, TMNOFLAGS, &r, &cookie), morvalen::kClientOk);
        if (cookie.length > 0) *cookieHex = dtcwire::hexEncode(cookie.bytes, static_cast<size_t>(cookie.length));
        return r;
    }
    int32_t end(const XID& x) {
        int32_t r = 0;
        EXPECT_EQ(morvalen::clientEnd(&c, &x, TMSUCCESS, &r), morvalen::kClientOk);
        return r;
    }
    int32_t prepare(const XID& x) {
        int32_t r = 0;
        EXPECT_EQ(morvalen::clientPrepare(&c, &x, TMNOFLAGS, &r), morvalen::kClientOk);
        return r;
    }
    int32_t commit(const XID& x) {
        int32_t r = 0;
        EXPECT_EQ(morvalen::clientCommit(&c, &x, TMNOFLAGS, &r), morvalen::kClientOk);
        return r;
    }
    int32_t rollback(const XID& x) {
        int32_t r = 0;
        EXPECT_EQ(morvalen::clientRollback(&c, &x, TMNOFLAGS, &r), morvalen::kClientOk);
        return r;
    }
    int32_t recoverCount() {
        int32_t r = 0;
        morvalen::MorvalenRecoverList list;
        EXPECT_EQ(morvalen::clientRecover(&c, TMSTARTRSCAN | TMENDRSCAN, &r, &list), morvalen::kClientOk);
        return r;
    }
};

TEST_F(DtcPostgres, ThroughTheWireCommitRollbackAndAServiceKilledAfterPrepare) {
    DTC_XaClose(kOpenString, kRm, TMNOFLAGS); // the service is the transaction manager's side here
    testsupport::ChildProcess service;
    ASSERT_TRUE(startService(&service, daemon.socket)) << testsupport::readOutput(service);
    XID x3 = makeXid("wire-service-killed");
    Child c3;
    {
        WireClient client;
        XID x1 = makeXid("wire-commit");
        std::string cookie;
        ASSERT_EQ(XA_OK, client.start(x1, &cookie));
        ASSERT_FALSE(cookie.empty());
        Child c1 = enlist(cookie, "postgres", {"INSERT INTO t VALUES (21)"});
        ASSERT_TRUE(participants(1));
        EXPECT_EQ(XA_OK, client.end(x1));
        EXPECT_EQ(XA_OK, client.prepare(x1));
        EXPECT_EQ(XA_OK, client.commit(x1));
        EXPECT_EQ(0, waitExit(c1.pid)) << readText(c1.out);
        EXPECT_EQ("1", exec("postgres", "SELECT count(*) FROM t WHERE id = 21"));

        XID x2 = makeXid("wire-rollback");
        ASSERT_EQ(XA_OK, client.start(x2, &cookie));
        Child c2 = enlist(cookie, "postgres", {"INSERT INTO t VALUES (22)"});
        ASSERT_TRUE(participants(1));
        EXPECT_EQ(XA_OK, client.end(x2));
        EXPECT_EQ(XA_OK, client.prepare(x2));
        EXPECT_EQ(XA_OK, client.rollback(x2));
        EXPECT_EQ(1, waitExit(c2.pid)) << readText(c2.out);
        EXPECT_EQ("0", exec("postgres", "SELECT count(*) FROM t WHERE id = 22"));

        // Prepared, then the service dies; the participant stays prepared.
        ASSERT_EQ(XA_OK, client.start(x3, &cookie));
        c3 = enlist(cookie, "postgres", {"INSERT INTO t VALUES (23)"});
        ASSERT_TRUE(participants(1));
        EXPECT_EQ(XA_OK, client.end(x3));
        EXPECT_EQ(XA_OK, client.prepare(x3));
    }
    killService(&service);
    EXPECT_EQ("1", prepared());
    // A new service finds it through recover and commits it; phase two reaches the participant.
    testsupport::ChildProcess again;
    ASSERT_TRUE(startService(&again, daemon.socket)) << testsupport::readOutput(again);
    {
        WireClient next;
        EXPECT_EQ(1, next.recoverCount());
        EXPECT_EQ(XA_OK, next.commit(x3));
    }
    EXPECT_EQ(0, waitExit(c3.pid)) << readText(c3.out);
    EXPECT_EQ("1", exec("postgres", "SELECT count(*) FROM t WHERE id = 23"));
    EXPECT_EQ("0", prepared());
    killService(&again);
}

} // namespace
