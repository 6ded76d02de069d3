// The PostgreSQL participant against a real dtcd and a private PostgreSQL
// cluster (initdb into a temporary directory, Unix socket only, started and
// stopped here): XA branches driven through libmsdtcprx.so, their cookie
// handed to build/bin/dtc-pg-enlist, the outcome checked in the database.
// Also through the wire: the real morvalen (port 1439; this binary runs in a
// network namespace of its own) hands out the cookie and runs the branch.
// Skipped where the PostgreSQL server binaries are not installed.
#include <gtest/gtest.h>
#include <libpq-fe.h>
#include <pwd.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include "DtcHarness.h"
#include "MorvalenClient.h"
#include "Wire.h"
#include "support/Process.h"
#include "contract/txdtc.h"

namespace {

constexpr int kRm = 1;

std::string pgBin() {
    for (const char* dir : {"/usr/lib/postgresql/15/bin", "/usr/lib/postgresql/16/bin", "/usr/lib/postgresql/17/bin"})
        if (std::filesystem::exists(std::string(dir) + "/initdb")) return dir;
    return "";
}

// Runs a program (as `user` when we are root, since PostgreSQL refuses root);
// answers its pid. Output goes to `out`.
pid_t spawnAs(const std::vector<std::string>& args, const std::string& out, const passwd* user) {
    pid_t pid = fork();
    if (pid != 0) return pid;
    if (user != nullptr && (setgid(user->pw_gid) != 0 || setuid(user->pw_uid) != 0)) _exit(126);
    FILE* f = std::freopen(out.c_str(), "w", stdout);
    if (f != nullptr) dup2(fileno(f), 2);
    std::vector<char*> argv;
    for (const std::string& a : args) argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);
    execv(argv[0], argv.data());
    _exit(127);
}

int waitExit(pid_t pid) {
    int status = 0;
    waitpid(pid, &status, 0);
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

std::string readText(const std::string& path) {
    std::ifstream in(path);
    return std::string((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
}

struct Cluster {
    std::string dir;         // data and socket
    pid_t pid = -1;          // the postmaster
    const passwd* user = nullptr;
    std::string role;        // superuser role name
};

bool startCluster(Cluster* c, int maxPrepared) {
    std::string log = c->dir + "/server.log";
    c->pid = spawnAs({pgBin() + "/postgres", "-D", c->dir + "/data", "-k", c->dir, "-c", "listen_addresses=",
                      "-c", "max_prepared_transactions=" + std::to_string(maxPrepared), "-c", "fsync=off"},
                     log, c->user);
    std::string conninfo = "host=" + c->dir + " user=" + c->role + " dbname=postgres connect_timeout=2";
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
    while (std::chrono::steady_clock::now() < deadline) {
        if (PQping(conninfo.c_str()) == PQPING_OK) return true;
        int status = 0;
        if (waitpid(c->pid, &status, WNOHANG) == c->pid) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(50)); // the server's own start-up, not a thread of ours
    }
    return false;
}

void stopCluster(Cluster* c) {
    if (c->pid <= 0) return;
    kill(c->pid, SIGINT); // fast shutdown
    waitExit(c->pid);
    c->pid = -1;
}

class DtcPostgres : public ::testing::Test {
protected:
    void SetUp() override {
        if (pgBin().empty()) GTEST_SKIP() << "PostgreSQL server binaries not installed";
        cluster.dir = makeTempDir();
        if (geteuid() == 0) {
            cluster.user = getpwnam("postgres");
            if (cluster.user == nullptr) GTEST_SKIP() << "running as root without a postgres user";
            ASSERT_EQ(0, chown(cluster.dir.c_str(), cluster.user->pw_uid, cluster.user->pw_gid));
            cluster.role = "postgres";
        } else {
            cluster.role = getpwuid(geteuid())->pw_name;
        }
        std::string out = cluster.dir + "/initdb.log";
        ASSERT_EQ(0, waitExit(spawnAs({pgBin() + "/initdb", "-D", cluster.dir + "/data", "-A", "trust", "-U",
                                       cluster.role, "--no-sync"},
                                      out, cluster.user)))
            << readText(out);
        ASSERT_TRUE(startCluster(&cluster, 10)) << readText(cluster.dir + "/server.log");
        exec("postgres", "CREATE TABLE t(id int)");
        exec("postgres", "CREATE TABLE d(id int UNIQUE DEFERRABLE INITIALLY DEFERRED)");
        exec("postgres", "CREATE DATABASE second");
        exec("second", "CREATE TABLE t(id int)");
        ASSERT_TRUE(startDaemon(&daemon));
        useDaemon(daemon);
        ASSERT_EQ(XA_OK, DTC_XaOpen(kOpenString, kRm, TMNOFLAGS));
    }
    void TearDown() override {
        DTC_XaClose(kOpenString, kRm, TMNOFLAGS);
        stopDaemon(&daemon);
        removeDaemonFiles(daemon);
        stopCluster(&cluster);
        if (!cluster.dir.empty()) std::filesystem::remove_all(cluster.dir);
    }
    std::string conninfo(const std::string& db) { return "host=" + cluster.dir + " user=" + cluster.role + " dbname=" + db; }
    // Runs SQL directly; answers the first value of the first row (or "").
    std::string exec(const std::string& db, const std::string& sql) {
        PGconn* conn = PQconnectdb(conninfo(db).c_str());
        PGresult* r = PQexec(conn, sql.c_str());
        EXPECT_TRUE(PQresultStatus(r) == PGRES_COMMAND_OK || PQresultStatus(r) == PGRES_TUPLES_OK)
            << sql << ": " << PQerrorMessage(conn);
        std::string value = PQresultStatus(r) == PGRES_TUPLES_OK && PQntuples(r) > 0 ? PQgetvalue(r, 0, 0) : "";
        PQclear(r);
        PQfinish(conn);
        return value;
    }
    std::string prepared() { return exec("postgres", "SELECT count(*) FROM pg_prepared_xacts"); }
    // Starts a branch, ends nothing yet; answers its cookie in hex.
    std::string startWithCookie(XID* xid) {
        EXPECT_EQ(XA_OK, DTC_XaStart(xid, kRm, TMNOFLAGS));
        void* object = nullptr;
        EXPECT_EQ(S_OK, DtcGetTransactionManager(nullptr, nullptr, IID_IXATransLookup, 0, 0, nullptr, &object));
        auto* lookup = static_cast<IXATransLookup*>(object);
        ITransaction* tx = nullptr;
        EXPECT_EQ(S_OK, lookup->Lookup(&tx));
        ITransactionExportFactory* factory = nullptr;
        EXPECT_EQ(S_OK, lookup->QueryInterface(IID_ITransactionExportFactory, reinterpret_cast<void**>(&factory)));
        ITransactionImportWhereabouts* where = nullptr;
        EXPECT_EQ(S_OK, lookup->QueryInterface(IID_ITransactionImportWhereabouts, reinterpret_cast<void**>(&where)));
        BYTE whereabouts[64];
        ULONG used = 0;
        EXPECT_EQ(S_OK, where->GetWhereabouts(sizeof whereabouts, whereabouts, &used));
        ITransactionExport* exporter = nullptr;
        EXPECT_EQ(S_OK, factory->Create(used, whereabouts, &exporter));
        ULONG size = 0;
        EXPECT_EQ(S_OK, exporter->Export(tx, &size));
        BYTE cookie[128];
        EXPECT_EQ(S_OK, exporter->GetTransactionCookie(tx, sizeof cookie, cookie, &used));
        exporter->Release();
        factory->Release();
        where->Release();
        tx->Release();
        lookup->Release();
        return dtcwire::hexEncode(cookie, used);
    }
    struct Child {
        pid_t pid = -1;
        std::string out;
    };
    Child enlist(const std::string& cookie, const std::string& db, const std::vector<std::string>& sql) {
        Child c;
        c.out = cluster.dir + "/enlist-" + std::to_string(counter++) + ".out";
        std::vector<std::string> args = {std::string(getenv("MORVALEN_BIN_DIR")) + "/dtc-pg-enlist", "--cookie", cookie,
                                         "--conninfo", conninfo(db)};
        for (const auto& s : sql) {
            args.emplace_back("--sql");
            args.push_back(s);
        }
        c.pid = spawnAs(args, c.out, nullptr);
        return c;
    }
    // Waits (ten seconds at most) until dtcd lists `n` participants.
    bool participants(size_t n) {
        auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
        std::string out;
        while (std::chrono::steady_clock::now() < deadline) {
            runCtl(daemon, {"list"}, &out);
            size_t count = 0;
            for (size_t pos = out.find("participant"); pos != std::string::npos; pos = out.find("participant", pos + 1))
                count++;
            if (count == n) return true;
        }
        ADD_FAILURE() << out;
        return false;
    }
    // One branch with one participant running `sql` in `db`, ended.
    Child branch(XID* xid, const std::string& db, const std::vector<std::string>& sql, bool waitEnlisted = true) {
        std::string cookie = startWithCookie(xid);
        Child c = enlist(cookie, db, sql);
        if (waitEnlisted) {
            EXPECT_TRUE(participants(1));
        }
        return c;
    }
    Cluster cluster;
    Daemon daemon;
    int counter = 0;
};

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
