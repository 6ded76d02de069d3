// The PostgreSQL participant's faults, against a real dtcd and a private
// PostgreSQL cluster (PgFixture.h): statements that end the transaction
// themselves, a reply to PREPARE TRANSACTION that never arrives, a cookie
// whose transaction already rolled back, and what --recover may and may not
// touch.
#include <gtest/gtest.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>

#include <atomic>
#include <condition_variable>
#include <cstring>
#include <mutex>

#include "PgFixture.h"

namespace {

using namespace pgtest;

// A relay between libpq clients and the cluster's Unix socket that acts once
// the server has answered a PREPARE TRANSACTION: it cuts the connection (the
// server has prepared, the client never hears it), or, holding, keeps the
// answer back until the test lets it go (the participant has prepared and
// not voted yet).
struct CuttingRelay {
    std::string dir;              // holds .s.PGSQL.5432
    std::string target;           // the server's socket file
    bool hold = false;            // hold the answer instead of cutting
    int listener = -1;
    std::atomic<bool> stopping{false};
    std::atomic<int> cuts{0};
    std::thread acceptor;
    std::mutex mu;
    std::condition_variable cv;
    bool holding = false;         // an answer is held back (under mu)
    bool released = false;        // the test let it go (under mu)
    std::vector<std::thread> relays;

    // Waits (ten seconds at most) until an answer to PREPARE TRANSACTION is held.
    bool waitHeld() {
        std::unique_lock lock(mu);
        return cv.wait_for(lock, std::chrono::seconds(10), [&] { return holding; });
    }
    void release() {
        std::lock_guard lock(mu);
        released = true;
        cv.notify_all();
    }

    bool start(const std::string& clusterDir) {
        dir = makeTempDir();
        target = clusterDir + "/.s.PGSQL.5432";
        listener = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_un addr{};
        addr.sun_family = AF_UNIX;
        std::string path = dir + "/.s.PGSQL.5432";
        std::snprintf(addr.sun_path, sizeof addr.sun_path, "%s", path.c_str());
        if (bind(listener, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 || listen(listener, 8) != 0)
            return false;
        acceptor = std::thread([this] {
            for (;;) {
                int client = accept4(listener, nullptr, nullptr, SOCK_CLOEXEC);
                if (client < 0) return; // the listener was shut down
                std::lock_guard lock(mu);
                relays.emplace_back([this, client] { relay(client); });
            }
        });
        return true;
    }
    void relay(int client) {
        int server = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_un addr{};
        addr.sun_family = AF_UNIX;
        std::snprintf(addr.sun_path, sizeof addr.sun_path, "%s", target.c_str());
        bool cutNext = false; // the client sent PREPARE TRANSACTION: cut at the answer
        if (connect(server, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0) {
            char buffer[65536];
            for (;;) {
                pollfd fds[2] = {{client, POLLIN, 0}, {server, POLLIN, 0}};
                if (poll(fds, 2, 200) < 0 || stopping) break;
                if ((fds[0].revents & (POLLIN | POLLHUP)) != 0) {
                    ssize_t n = recv(client, buffer, sizeof buffer, 0);
                    if (n <= 0) break;
                    if (std::string_view(buffer, static_cast<size_t>(n)).find("PREPARE TRANSACTION") !=
                        std::string_view::npos)
                        cutNext = true;
                    if (send(server, buffer, static_cast<size_t>(n), MSG_NOSIGNAL) != n) break;
                }
                if ((fds[1].revents & (POLLIN | POLLHUP)) != 0) {
                    ssize_t n = recv(server, buffer, sizeof buffer, 0);
                    if (n <= 0) break;
                    if (cutNext && hold) {
                        std::unique_lock lock(mu);
                        holding = true;
                        cv.notify_all();
                        cv.wait(lock, [&] { return released || stopping.load(); });
                        cutNext = false;
                    } else if (cutNext) {
                        cuts++;
                        break;
                    }
                    if (send(client, buffer, static_cast<size_t>(n), MSG_NOSIGNAL) != n) break;
                }
            }
        }
        close(server);
        close(client);
    }
    void stop() {
        {
            std::lock_guard lock(mu);
            stopping = true;
            cv.notify_all();
        }
        if (listener >= 0) shutdown(listener, SHUT_RDWR);
        if (acceptor.joinable()) acceptor.join();
        for (std::thread& t : relays) t.join();
        if (listener >= 0) close(listener);
        std::filesystem::remove_all(dir);
    }
};

class DtcPgFaults : public DtcPostgres {
protected:
    // Waits up to `seconds` for a child; kills it (and answers -2) when it is still running then.
    int waitExitWithin(pid_t pid, int seconds) {
        auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(seconds);
        int status = 0;
        while (std::chrono::steady_clock::now() < deadline) {
            if (waitpid(pid, &status, WNOHANG) == pid) return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
            std::this_thread::sleep_for(std::chrono::milliseconds(20)); // a process of its own, not a thread of ours
        }
        kill(pid, SIGKILL);
        waitpid(pid, &status, 0);
        return -2;
    }
    std::string stat(const std::string& name) {
        std::string out;
        runCtl(daemon, {"--json", "stats"}, &out);
        size_t at = out.find("\"" + name + "\":");
        if (at == std::string::npos) return "";
        at += name.size() + 3;
        return out.substr(at, out.find_first_of(",}", at) - at);
    }
    bool statBecomes(const std::string& name, const std::string& want) {
        auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
        while (std::chrono::steady_clock::now() < deadline)
            if (stat(name) == want) return true;
        ADD_FAILURE() << name << " is " << stat(name) << ", not " << want;
        return false;
    }
};

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
    ASSERT_EQ(XA_OK, DTC_XaEnd(&xid, kRm, TMSUCCESS));
    int prepareResult = 0;
    std::thread preparer([&] { prepareResult = DTC_XaPrepare(&xid, kRm, TMNOFLAGS); });
    ASSERT_TRUE(relay.waitHeld());
    EXPECT_EQ("1", prepared());
    std::string out;
    EXPECT_EQ(0, recover("postgres", &out));
    EXPECT_EQ(std::string::npos, out.find(" aborted")) << out;
    EXPECT_EQ("1", prepared()) << out;
    relay.release();
    preparer.join();
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

} // namespace
