// A private PostgreSQL cluster (initdb into a temporary directory, Unix
// socket only, started and stopped here) beside a real dtcd, for the tests of
// the PostgreSQL participant: the fixture starts both, opens the XA side
// through libmsdtcprx.so and runs build/bin/dtc-pg-enlist as a child.
// Tests are skipped where the PostgreSQL server binaries are not installed.
#pragma once

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
#include "Wire.h"
#include "contract/txdtc.h"

namespace pgtest {

constexpr int kRm = 1;

inline std::string pgBin() {
    for (const char* dir : {"/usr/lib/postgresql/15/bin", "/usr/lib/postgresql/16/bin", "/usr/lib/postgresql/17/bin"})
        if (std::filesystem::exists(std::string(dir) + "/initdb")) return dir;
    return "";
}

// Runs a program (as `user` when we are root, since PostgreSQL refuses root);
// answers its pid. Output goes to `out`.
inline pid_t spawnAs(const std::vector<std::string>& args, const std::string& out, const passwd* user) {
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

inline int waitExit(pid_t pid) {
    int status = 0;
    waitpid(pid, &status, 0);
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

inline std::string readText(const std::string& path) {
    std::ifstream in(path);
    return std::string((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
}

struct Cluster {
    std::string dir;         // data and socket
    pid_t pid = -1;          // the postmaster
    const passwd* user = nullptr;
    std::string role;        // superuser role name
};

inline bool startCluster(Cluster* c, int maxPrepared) {
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

// Makes a cluster in a new temporary directory (as the postgres user when
// running as root) and starts it; skips the calling test when PostgreSQL or,
// under root, its user is missing.
inline void makeCluster(Cluster* c, int maxPrepared) {
    if (pgBin().empty()) GTEST_SKIP() << "PostgreSQL server binaries not installed";
    c->dir = makeTempDir();
    if (geteuid() == 0) {
        c->user = getpwnam("postgres");
        if (c->user == nullptr) GTEST_SKIP() << "running as root without a postgres user";
        ASSERT_EQ(0, chown(c->dir.c_str(), c->user->pw_uid, c->user->pw_gid));
        c->role = "postgres";
    } else {
        c->role = getpwuid(geteuid())->pw_name;
    }
    std::string out = c->dir + "/initdb.log";
    ASSERT_EQ(0, waitExit(spawnAs({pgBin() + "/initdb", "-D", c->dir + "/data", "-A", "trust", "-U", c->role,
                                   "--no-sync"},
                                  out, c->user)))
        << readText(out);
    ASSERT_TRUE(startCluster(c, maxPrepared)) << readText(c->dir + "/server.log");
}

inline void stopCluster(Cluster* c) {
    if (c->pid <= 0) return;
    kill(c->pid, SIGINT); // fast shutdown
    waitExit(c->pid);
    c->pid = -1;
}

class DtcPostgres : public ::testing::Test {
protected:
    void SetUp() override {
        makeCluster(&cluster, 10);
        if (IsSkipped() || HasFatalFailure()) return;
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
        return enlistAt(cookie, conninfo(db), sql);
    }
    // Runs dtc-pg-enlist against a connection string of the test's choice.
    Child enlistAt(const std::string& cookie, const std::string& target, const std::vector<std::string>& sql) {
        Child c;
        c.out = cluster.dir + "/enlist-" + std::to_string(counter++) + ".out";
        std::vector<std::string> args = {std::string(getenv("MORVALEN_BIN_DIR")) + "/dtc-pg-enlist", "--cookie", cookie,
                                         "--conninfo", target};
        for (const auto& s : sql) {
            args.emplace_back("--sql");
            args.push_back(s);
        }
        c.pid = spawnAs(args, c.out, nullptr);
        return c;
    }
    // Runs dtc-pg-enlist --recover on `db` to its end; its output in *out.
    Child recoverStart(const std::string& db) {
        Child c;
        c.out = cluster.dir + "/recover-" + std::to_string(counter++) + ".out";
        c.pid = spawnAs({std::string(getenv("MORVALEN_BIN_DIR")) + "/dtc-pg-enlist", "--recover", "--conninfo",
                         conninfo(db)},
                        c.out, nullptr);
        return c;
    }
    // A run of --recover; -2 when it has not ended within a minute (its own
    // waits are bounded by seconds), so a stuck run fails with its output.
    int recover(const std::string& db, std::string* out) {
        Child c = recoverStart(db);
        int code = waitExitWithin(c.pid, 60);
        *out = readText(c.out);
        return code;
    }
    // Polls `sql` in `db` until it answers `want` (ten seconds at most).
    bool becomes(const std::string& db, const std::string& sql, const std::string& want) {
        auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
        while (std::chrono::steady_clock::now() < deadline)
            if (exec(db, sql) == want) return true;
        ADD_FAILURE() << sql << " never answered " << want;
        return false;
    }
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
    // Waits (thirty seconds at most: a participant starting on a loaded machine
    // may take several) until dtcd lists `n` participants.
    bool participants(size_t n) {
        auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
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

} // namespace pgtest
