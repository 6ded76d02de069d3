// dtcd with its store in PostgreSQL (--store): branches survive a crash in the
// database, the start-up refusals, a database lost under load, and the lease
// between an active coordinator and its standbys (takeover after a kill, a
// stopped leader that never writes again). Each test has a private cluster.
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>

#include <atomic>
#include <fstream>
#include <list>
#include <set>
#include <thread>

#include "PgStoreFixture.h"

namespace {

using pgtest::kRm;

class DtcPgStore : public pgtest::StoreCluster {
protected:
    void TearDown() override {
        for (Daemon& d : daemons) {
            killDaemon(&d);
            if (!d.dataDir.empty()) removeDaemonFiles(d);
        }
        StoreCluster::TearDown();
    }
    // dtcd arguments for the shared store, with a short lease unless told.
    std::vector<std::string> storeArgs(int leaseMs = 1500) {
        return {"--store", conninfo(), "--lease", std::to_string(leaseMs), "--lease-renew", "200",
                "--standby-poll", "100"};
    }
    // A daemon record the fixture stops and removes at the end.
    Daemon& daemon() { return daemons.emplace_back(); }
    bool start(Daemon* d, int leaseMs = 1500) { return startDaemon(d, storeArgs(leaseMs)); }
    std::string holder() { return sql("SELECT holder FROM dtcd.lease"); }
    std::string pidHolder(const Daemon& d) { return " pid " + std::to_string(d.pid); }
    // Polls until the lease names `d` (ten seconds at most).
    bool holds(const Daemon& d) {
        auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
        while (std::chrono::steady_clock::now() < deadline)
            if (holder().find(pidHolder(d)) != std::string::npos &&
                sql("SELECT lease_until > clock_timestamp() FROM dtcd.lease") == "t")
                return true;
        return false;
    }
    // Opens the XA side on `d`, retrying while the coordinator is not yet listening.
    bool openOn(const Daemon& d) {
        DTC_XaClose(kOpenString, kRm, TMNOFLAGS);
        useDaemon(d);
        auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
        while (std::chrono::steady_clock::now() < deadline) {
            if (DTC_XaOpen(kOpenString, kRm, TMNOFLAGS) == XA_OK) return true;
            poll(nullptr, 0, 20); // the other process's takeover, not a thread of ours
        }
        return false;
    }
    std::list<Daemon> daemons;
};

TEST_F(DtcPgStore, BranchesLiveInThePostgreSQLStoreAcrossCrashAndCleanStop) {
    // A long lease: "at once" below means well before it would run out.
    constexpr int kLongLease = 30000;
    Daemon& a = daemon();
    ASSERT_TRUE(start(&a, kLongLease)) << pgtest::readText(a.stderrPath);
    ASSERT_TRUE(openOn(a));
    ASSERT_EQ(XA_OK, prepareNew("pg-a", kRm));
    ASSERT_EQ(XA_OK, prepareNew("pg-b", kRm));
    ASSERT_EQ(XA_OK, prepareNew("pg-c", kRm));
    XID b = makeXid("pg-b");
    ASSERT_EQ(XA_OK, DTC_XaCommit(&b, kRm, TMNOFLAGS));
    EXPECT_EQ("2", sql("SELECT count(*) FROM dtcd.branches"));
    EXPECT_EQ("1", sql("SELECT value FROM dtcd.meta WHERE key = 'schema_version'"));

    // A crash: the same data directory comes back at once (its own node held
    // the lease, and the directory's lock shows that process is gone).
    killDaemon(&a);
    auto began = std::chrono::steady_clock::now();
    ASSERT_TRUE(start(&a, kLongLease)) << pgtest::readText(a.stderrPath);
    EXPECT_LT(std::chrono::steady_clock::now() - began, std::chrono::milliseconds(kLongLease / 2));
    ASSERT_TRUE(openOn(a));
    EXPECT_EQ((std::set<std::string>{"pg-a", "pg-c"}), recoverNames(kRm));
    XID xa = makeXid("pg-a");
    XID xc = makeXid("pg-c");
    EXPECT_EQ(XA_OK, DTC_XaCommit(&xa, kRm, TMNOFLAGS));
    EXPECT_EQ(XA_OK, DTC_XaRollback(&xc, kRm, TMNOFLAGS));
    EXPECT_EQ("0", sql("SELECT count(*) FROM dtcd.branches"));
    std::string out;
    EXPECT_EQ(0, runCtl(a, {"lease", "--store", conninfo()}, &out));
    EXPECT_NE(std::string::npos, out.find("active  ")) << out;
    EXPECT_NE(std::string::npos, out.find(pidHolder(a))) << out;
    EXPECT_EQ(0, runCtl(a, {"--json", "lease", "--store", conninfo()}, &out));
    EXPECT_NE(std::string::npos, out.find("\"active\":true")) << out;

    // A clean stop gives the lease up: another directory becomes active at once.
    ASSERT_EQ(XA_OK, prepareNew("pg-d", kRm));
    DTC_XaClose(kOpenString, kRm, TMNOFLAGS);
    EXPECT_EQ(0, stopDaemon(&a));
    EXPECT_EQ(0, runCtl(a, {"lease", "--store", conninfo()}, &out));
    EXPECT_NE(std::string::npos, out.find("active  none")) << out;
    Daemon& other = daemon();
    began = std::chrono::steady_clock::now();
    ASSERT_TRUE(start(&other, kLongLease)) << pgtest::readText(other.stderrPath);
    EXPECT_LT(std::chrono::steady_clock::now() - began, std::chrono::milliseconds(kLongLease / 2));
    EXPECT_TRUE(holds(other));
    ASSERT_TRUE(openOn(other));
    EXPECT_EQ((std::set<std::string>{"pg-d"}), recoverNames(kRm));
    DTC_XaClose(kOpenString, kRm, TMNOFLAGS);
}

TEST_F(DtcPgStore, StartUpRefusals) {
    std::string err;
    Daemon& first = daemon();
    ASSERT_TRUE(start(&first)) << pgtest::readText(first.stderrPath);
    ASSERT_EQ(0, stopDaemon(&first));
    // A data directory whose dtcd.id names another store (here an SQLite one).
    Daemon& sqlite = daemon();
    ASSERT_TRUE(startDaemon(&sqlite));
    ASSERT_EQ(0, stopDaemon(&sqlite));
    std::vector<std::string> args = {"--data-dir", sqlite.dataDir};
    for (const std::string& a : storeArgs()) args.push_back(a);
    EXPECT_EQ(1, runDaemonToExit(args, uniqueSocketName(), &err));
    EXPECT_NE(std::string::npos, err.find("belongs to another store than")) << err;
    // Without it the directory takes the store's instance, and keeps it.
    ASSERT_EQ(0, unlink((sqlite.dataDir + "/dtcd.id").c_str()));
    ASSERT_TRUE(start(&sqlite)) << pgtest::readText(sqlite.stderrPath);
    ASSERT_EQ(0, stopDaemon(&sqlite));
    std::string id = pgtest::readText(sqlite.dataDir + "/dtcd.id");
    EXPECT_NE(std::string::npos, id.find(sql("SELECT value FROM dtcd.meta WHERE key = 'instance'"))) << id;
    EXPECT_EQ(id, pgtest::readText(first.dataDir + "/dtcd.id"));
    // A schema of a later version than this dtcd knows.
    sql("UPDATE dtcd.meta SET value = '99' WHERE key = 'schema_version'");
    EXPECT_EQ(1, runDaemonToExit(args, uniqueSocketName(), &err));
    EXPECT_NE(std::string::npos, err.find("schema version 99 is not one this dtcd knows")) << err;
    // A store without the schema while dtcd.id says there was one.
    sql("SET client_min_messages = warning; DROP SCHEMA dtcd CASCADE");
    EXPECT_EQ(1, runDaemonToExit(args, uniqueSocketName(), &err));
    EXPECT_NE(std::string::npos, err.find("holds no dtcd store")) << err;

    std::string dir = makeTempDir();
    EXPECT_EQ(1, runDaemonToExit({"--data-dir", dir + "/d", "--store", "host=" + dir + " connect_timeout=2"},
                                 uniqueSocketName(), &err));
    EXPECT_NE(std::string::npos, err.find("cannot connect to the PostgreSQL store")) << err;
    EXPECT_EQ(1, runDaemonToExit({"--data-dir", dir + "/e", "--new-store", "--store", conninfo()},
                                 uniqueSocketName(), &err));
    EXPECT_NE(std::string::npos, err.find("--new-store applies to the SQLite store only")) << err;
    // A renewal that does not come well within the trusted part of the lease.
    EXPECT_EQ(2, runDaemonToExit({"--data-dir", dir + "/f", "--store", conninfo(), "--lease", "1000", "--lease-renew",
                                  "500"},
                                 uniqueSocketName(), &err));
    EXPECT_EQ(2, runDaemonToExit({"--data-dir", dir + "/f", "--store", ""}, uniqueSocketName(), &err));
    std::filesystem::remove_all(dir);
}

// PostgreSQL stops while prepares flow: dtcd stops with one line, answering
// nothing whose outcome it cannot know; every prepare it acknowledged is in
// the store when both come back.
TEST_F(DtcPgStore, LostDatabaseUnderLoadLosesNoAcknowledgedPrepare) {
    Daemon& a = daemon();
    ASSERT_TRUE(start(&a)) << pgtest::readText(a.stderrPath);
    ASSERT_TRUE(openOn(a));
    constexpr int kThreads = 4;
    std::atomic<int> acknowledged{0};
    std::vector<std::vector<std::string>> acked(kThreads);
    std::vector<std::vector<std::string>> tried(kThreads);
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([&, t] {
            for (int i = 0; i < 100000; ++i) {
                std::string name = "load-" + std::to_string(t) + "-" + std::to_string(i);
                tried[t].push_back(name);
                if (prepareNew(name, kRm) != XA_OK) return;
                acked[t].push_back(name);
                acknowledged++;
            }
        });
    }
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    while (acknowledged < 200 && std::chrono::steady_clock::now() < deadline) poll(nullptr, 0, 5);
    pgtest::stopCluster(&cluster);
    int code = daemonExitCode(&a, 10);
    for (std::thread& t : threads) t.join();
    EXPECT_EQ(1, code);
    std::string err = pgtest::readText(a.stderrPath);
    std::string last = err.substr(err.rfind('\n', err.size() - 2) + 1);
    EXPECT_NE(std::string::npos, last.find("stopping without answering")) << err;
    DTC_XaClose(kOpenString, kRm, TMNOFLAGS);

    ASSERT_TRUE(pgtest::startCluster(&cluster, 0));
    ASSERT_TRUE(start(&a)) << pgtest::readText(a.stderrPath);
    ASSERT_TRUE(openOn(a));
    std::set<std::string> stored = recoverNames(kRm);
    int ackedCount = 0;
    for (int t = 0; t < kThreads; ++t) {
        for (const std::string& name : acked[t]) EXPECT_EQ(1u, stored.count(name)) << name << " was acknowledged";
        ackedCount += static_cast<int>(acked[t].size());
    }
    std::set<std::string> all;
    for (auto& list : tried) all.insert(list.begin(), list.end());
    for (const std::string& name : stored) EXPECT_EQ(1u, all.count(name)) << name;
    EXPECT_GE(ackedCount, 1);
    // The ones whose answer was lost are in doubt, never beyond what was tried.
    EXPECT_LE(stored.size(), static_cast<size_t>(ackedCount + kThreads));
    DTC_XaClose(kOpenString, kRm, TMNOFLAGS);
}

TEST_F(DtcPgStore, StandbyTakesOverAndAStoppedLeaderNeverWritesAgain) {
    // Two coordinators of one "host" (one socket name): the standby does not
    // listen, so the socket stays the leader's until it dies.
    Daemon& a = daemon();
    ASSERT_TRUE(start(&a)) << pgtest::readText(a.stderrPath);
    Daemon& b = daemon();
    b.socket = a.socket;
    ASSERT_TRUE(start(&b)) << pgtest::readText(b.stderrPath);
    EXPECT_TRUE(holds(a));
    ASSERT_TRUE(openOn(a));
    ASSERT_EQ(XA_OK, prepareNew("fo-1", kRm));
    std::string epoch = sql("SELECT epoch FROM dtcd.lease");
    killDaemon(&a);
    ASSERT_TRUE(holds(b)) << pgtest::readText(b.stderrPath); // the takeover time is measured in bench/xa
    EXPECT_EQ(std::to_string(std::stoll(epoch) + 1), sql("SELECT epoch FROM dtcd.lease"));
    ASSERT_TRUE(openOn(b));
    EXPECT_EQ((std::set<std::string>{"fo-1"}), recoverNames(kRm));
    XID fo1 = makeXid("fo-1");
    EXPECT_EQ(XA_OK, DTC_XaCommit(&fo1, kRm, TMNOFLAGS));
    EXPECT_EQ("0", sql("SELECT count(*) FROM dtcd.branches"));

    // b is stopped past its lease with a prepare on its way; c takes over; b,
    // thawed, neither answers nor writes, and exits.
    Daemon& c = daemon();
    ASSERT_TRUE(start(&c)) << pgtest::readText(c.stderrPath);
    XID stale = makeXid("fo-stale");
    ASSERT_EQ(XA_OK, DTC_XaStart(&stale, kRm, TMNOFLAGS));
    ASSERT_EQ(XA_OK, DTC_XaEnd(&stale, kRm, TMSUCCESS));
    ASSERT_EQ(0, kill(b.pid, SIGSTOP));
    std::atomic<int> staleResult{1};
    std::thread asker([&] { staleResult = DTC_XaPrepare(&stale, kRm, TMNOFLAGS); });
    bool tookOver = holds(c);
    int thawed = kill(b.pid, SIGCONT);
    int code = daemonExitCode(&b, 10);
    if (code == -2) kill(b.pid, SIGKILL); // so that the asker's call ends
    asker.join(); // before any assertion can leave the test
    ASSERT_TRUE(tookOver) << pgtest::readText(c.stderrPath);
    ASSERT_EQ(0, thawed);
    EXPECT_EQ(1, code);
    EXPECT_NE(XA_OK, staleResult.load());
    EXPECT_EQ("0", sql("SELECT count(*) FROM dtcd.branches"));
    EXPECT_TRUE(holds(c));
    std::string err = pgtest::readText(b.stderrPath);
    EXPECT_TRUE(err.find("not renewed in time") != std::string::npos ||
                err.find("lost the lease") != std::string::npos)
        << err;
    DTC_XaClose(kOpenString, kRm, TMNOFLAGS);
    // c serves (on its own socket) with everything the store holds: nothing.
    ASSERT_TRUE(openOn(c));
    EXPECT_TRUE(recoverNames(kRm).empty());
    DTC_XaClose(kOpenString, kRm, TMNOFLAGS);
}

} // namespace
