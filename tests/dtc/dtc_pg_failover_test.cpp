// Two "hosts" as network namespaces, each with dtcd and morvalen, the two dtcd
// sharing one PostgreSQL store (a private cluster reached through its socket
// directory). Whole transactions flow through the active host's service; its
// dtcd is killed mid-load; the other takes over, lists through its own service
// every branch that was acknowledged prepared and not committed, never one
// acknowledged committed, and commits them. Then the active dtcd is stopped
// past its lease: the other takes over, and the old one, thawed, answers and
// writes nothing and exits.
//
// MORVALEN_FAILOVER_ROUNDS sets the number of kills (default 3); each round
// prints its takeover time, and the end the median and the worst.
//
// PostgreSQL participants (dtc-pg-enlist, in a database "app" of the same
// cluster) across a takeover: branches in every phase when the active dtcd
// dies are settled through the new active host, and --recover run against a
// standby fails with one line and decides nothing.
// Needs root, ip and network namespaces; skipped otherwise.
#include <poll.h>
#include <signal.h>

#include <algorithm>
#include <atomic>
#include <cstdlib>
#include <map>
#include <memory>
#include <set>
#include <thread>

#include "MorvalenClient.h"
#include "PgRelay.h"
#include "PgStoreFixture.h"
#include "support/Process.h"

namespace {

using namespace morvalen;
using testsupport::ChildProcess;

constexpr uint16_t kPort = 1439;
constexpr int kThreads = 4;
constexpr int kBoundMs = 15000;

bool shell(const std::string& command) { return std::system((command + " >/dev/null 2>&1").c_str()) == 0; }

std::string ipPath() {
    for (const char* p : {"/usr/sbin/ip", "/sbin/ip", "/usr/bin/ip", "/bin/ip"})
        if (access(p, X_OK) == 0) return p;
    return "";
}

struct Host {
    std::string ns;        // network namespace
    std::string address;   // its service's address, seen from the test
    std::string dataDir;   // dtcd's data directory
    std::unique_ptr<ChildProcess> dtcd;
    std::unique_ptr<ChildProcess> service;
};

XID roundXid(int round, int thread, int i) {
    XID xid{};
    std::string gtrid = "fo-" + std::to_string(round) + "-" + std::to_string(thread) + "-" + std::to_string(i);
    EXPECT_EQ(0, xidMake(kDefaultFormatId, gtrid.data(), gtrid.size(), "b", 1, &xid));
    return xid;
}

std::string gtridOf(const XID& xid) { return std::string(xid.data, static_cast<size_t>(xid.gtrid_length)); }

// Every XID the service lists (a whole scan); false when it cannot answer.
bool recoverAll(const std::string& address, std::vector<XID>* out) {
    MorvalenConnection c;
    if (clientConnect(&c, address.c_str(), kPort, 3000) != 0) return false;
    int32_t flags = TMSTARTRSCAN;
    bool ok = true;
    for (;;) {
        MorvalenRecoverList list;
        int32_t result = 0;
        if (clientRecover(&c, flags, &result, &list) != 0 || result < 0) {
            ok = false;
            break;
        }
        out->insert(out->end(), list.xids, list.xids + list.count);
        if (result < kMaxRecoverPerReply) break;
        flags = TMNOFLAGS;
    }
    int32_t result = 0;
    MorvalenRecoverList ignored;
    if (ok) (void)clientRecover(&c, TMENDRSCAN, &result, &ignored);
    clientClose(&c);
    return ok;
}

// One client's transactions until told to stop or refused. Every fourth is
// left prepared, as a transaction manager that crashed would leave it; the
// others are committed. outcome[i]: 1 prepared (acknowledged) and left so, 3
// its commit sent (the answer may be lost), 2 its commit acknowledged.
void load(const std::string& address, int round, int thread, const std::atomic<bool>& stop,
          std::atomic<int>* prepared, std::vector<int>* outcome) {
    MorvalenConnection c;
    if (clientConnect(&c, address.c_str(), kPort, 5000) != 0) return;
    for (int i = 0; !stop; ++i) {
        XID xid = roundXid(round, thread, i);
        outcome->push_back(0);
        int32_t r = -1;
        if (clientStart(&c, &xid, TMNOFLAGS, &r, nullptr) != 0) break;
        if (r == XAER_RMFAIL) {
            // The service had not reached its coordinator yet (or lost it):
            // nothing was started; the next branch tries again.
            poll(nullptr, 0, 10);
            continue;
        }
        if (r != XA_OK) break;
        if (clientEnd(&c, &xid, TMSUCCESS, &r) != 0 || r != XA_OK) break;
        if (clientPrepare(&c, &xid, TMNOFLAGS, &r) != 0 || r != XA_OK) break;
        outcome->back() = 1;
        (*prepared)++;
        if (i % 4 == 3) continue;
        outcome->back() = 3;
        if (clientCommit(&c, &xid, TMNOFLAGS, &r) != 0 || r != XA_OK) break;
        outcome->back() = 2;
    }
    clientClose(&c);
}

// A relay that is stopped (its threads joined) however the test ends.
struct Relay {
    pgtest::CuttingRelay relay;
    bool started = false;
    ~Relay() {
        if (started) relay.stop();
    }
};

size_t lineCount(const std::string& text) { return static_cast<size_t>(std::count(text.begin(), text.end(), '\n')); }

size_t occurrences(const std::string& text, const std::string& word) {
    size_t n = 0;
    for (size_t at = text.find(word); at != std::string::npos; at = text.find(word, at + 1)) n++;
    return n;
}

class DtcPgFailover : public pgtest::StoreCluster {
protected:
    DtcPgFailover() { maxPrepared = 10; } // for the participants' database
    void SetUp() override {
        if (geteuid() != 0 || ipPath().empty()) GTEST_SKIP() << "needs root and ip for network namespaces";
        std::string probe = "morvalen-probe-" + std::to_string(getpid());
        if (!shell("ip netns add " + probe)) GTEST_SKIP() << "network namespaces are not available here";
        shell("ip netns del " + probe);
        StoreCluster::SetUp();
        if (IsSkipped() || HasFatalFailure()) return;
        for (int k = 0; k < 2; ++k) {
            Host& h = hosts[k];
            std::string tag = std::to_string(getpid() % 100000) + std::to_string(k);
            h.ns = "morvalen-fo-" + tag;
            std::string outside = "fo" + tag + "o";
            std::string inside = "fo" + tag + "i";
            std::string net = "10.231." + std::to_string(getpid() % 100 + k * 100);
            h.address = net + ".2";
            h.dataDir = makeTempDir() + "/data";
            ASSERT_TRUE(shell("ip netns add " + h.ns + " && ip -n " + h.ns + " link set lo up && ip link add " +
                              outside + " type veth peer name " + inside + " && ip link set " + inside +
                              " netns " + h.ns + " && ip addr add " + net + ".1/24 dev " + outside +
                              " && ip link set " + outside + " up && ip -n " + h.ns + " addr add " + h.address +
                              "/24 dev " + inside + " && ip -n " + h.ns + " link set " + inside + " up"))
                << "cannot set up " << h.ns;
        }
    }
    void TearDown() override {
        for (Host& h : hosts) {
            h.service.reset();
            h.dtcd.reset();
            if (!h.ns.empty()) shell("ip netns del " + h.ns);
            if (!h.dataDir.empty()) std::filesystem::remove_all(std::filesystem::path(h.dataDir).parent_path());
        }
        StoreCluster::TearDown();
    }
    // Starts the host's dtcd and waits until it is active or standing by.
    bool startDtcd(Host& h, const std::string& expect) {
        h.dtcd = std::make_unique<ChildProcess>();
        return testsupport::startProcess(h.dtcd.get(), ipPath(),
                                         {"netns", "exec", h.ns, testsupport::binPath("dtcd"), "--data-dir", h.dataDir,
                                          "--store", conninfo(), "--lease", "4000", "--lease-renew", "500",
                                          "--standby-poll", "100"},
                                         {"DTCD_SOCKET=@dtcd", "NOTIFY_SOCKET"}) &&
               testsupport::waitForOutput(*h.dtcd, expect, kBoundMs);
    }
    bool startService(Host& h) {
        h.service = std::make_unique<ChildProcess>();
        if (!testsupport::startProcess(h.service.get(), ipPath(), {"netns", "exec", h.ns, testsupport::binPath("morvalen")},
                                       {"DTCD_SOCKET=@dtcd", "LD_LIBRARY_PATH=" + testsupport::libDir(),
                                        "NOTIFY_SOCKET"}))
            return false;
        auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(kBoundMs);
        while (std::chrono::steady_clock::now() < deadline) {
            MorvalenConnection c;
            if (clientConnect(&c, h.address.c_str(), kPort, 1000) == 0) {
                clientClose(&c);
                return true;
            }
            poll(nullptr, 0, 20); // the service's start-up, another process
        }
        return false;
    }
    // Polls the host's service until a recover succeeds (its dtcd is active).
    bool serves(const Host& h, std::vector<XID>* listed) {
        auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(kBoundMs);
        while (std::chrono::steady_clock::now() < deadline) {
            listed->clear();
            if (recoverAll(h.address, listed)) return true;
            poll(nullptr, 0, 10); // the other process's takeover
        }
        return false;
    }
    // Runs a program of the build in the host's namespace (so that it reaches
    // that host's dtcd) to its end; answers its exit code (-1 when it did not
    // end in time or was killed) and its output.
    int runOn(const Host& h, const std::string& program, const std::vector<std::string>& args, std::string* out) {
        ChildProcess p;
        std::vector<std::string> all = {"netns", "exec", h.ns, testsupport::binPath(program)};
        all.insert(all.end(), args.begin(), args.end());
        if (!testsupport::startProcess(&p, ipPath(), all,
                                       {"DTCD_SOCKET=@dtcd", "LD_LIBRARY_PATH=" + testsupport::libDir()}))
            return -1;
        testsupport::ExitStatus status;
        bool ended = testsupport::waitForExit(&p, kBoundMs, &status);
        *out = testsupport::readOutput(p);
        return ended && status.exited ? status.code : -1;
    }
    int recoverOn(const Host& h, std::string* out) {
        return runOn(h, "dtc-pg-enlist", {"--recover", "--conninfo", conninfo("app")}, out);
    }
    // What dtcctl list shows on the host (a header line, then a line per
    // branch and per participant).
    std::string listOn(const Host& h) {
        std::string out;
        EXPECT_EQ(0, runOn(h, "dtcctl", {"list"}, &out)) << out;
        return out;
    }
    // One counter of dtcctl stats on the host ("" when it cannot answer).
    std::string statOn(const Host& h, const std::string& name) {
        std::string out;
        if (runOn(h, "dtcctl", {"--json", "stats"}, &out) != 0) return "";
        size_t at = out.find("\"" + name + "\":");
        if (at == std::string::npos) return "";
        at += name.size() + 3;
        return out.substr(at, out.find_first_of(",}", at) - at);
    }
    // dtc-pg-enlist in the host's namespace, inserting `row` into app's t
    // through `target` (the database, or a relay in front of it).
    std::unique_ptr<ChildProcess> enlistOn(const Host& h, const MorvalenCookie& cookie, const std::string& target,
                                           int row) {
        auto p = std::make_unique<ChildProcess>();
        EXPECT_TRUE(testsupport::startProcess(
            p.get(), ipPath(),
            {"netns", "exec", h.ns, testsupport::binPath("dtc-pg-enlist"), "--cookie",
             dtcwire::hexEncode(cookie.bytes, static_cast<size_t>(std::max(0, cookie.length))), "--conninfo", target,
             "--sql", "INSERT INTO t VALUES (" + std::to_string(row) + ")"},
            {"DTCD_SOCKET=@dtcd", "LD_LIBRARY_PATH=" + testsupport::libDir()}));
        return p;
    }
    // The app database, host A's dtcd active and B's a standby, A's service,
    // and B's too when asked.
    void startPair(bool serviceOnB) {
        makeApp();
        ASSERT_TRUE(startDtcd(hosts[0], "dtcd: active:")) << testsupport::readOutput(*hosts[0].dtcd);
        ASSERT_TRUE(startDtcd(hosts[1], "dtcd: standby:")) << testsupport::readOutput(*hosts[1].dtcd);
        ASSERT_TRUE(startService(hosts[0]));
        if (serviceOnB) {
            ASSERT_TRUE(startService(hosts[1]));
        }
    }
    // Through host h's service: a branch whose participant inserts `row` into
    // app, ended and prepared; then the participant is killed, so that
    // nothing holds its prepared transaction. The connection stays open.
    void prepareWithDeadParticipant(const Host& h, MorvalenConnection* c, XID xid, int row) {
        ASSERT_EQ(0, clientConnect(c, h.address.c_str(), kPort, 5000));
        MorvalenCookie cookie;
        int32_t r = -1;
        ASSERT_EQ(0, clientStart(c, &xid, TMNOFLAGS, &r, &cookie));
        ASSERT_EQ(XA_OK, r);
        std::unique_ptr<ChildProcess> participant = enlistOn(h, cookie, conninfo("app"), row);
        ASSERT_TRUE(testsupport::waitForOutput(*participant, "enlisted", kBoundMs)) << testsupport::readOutput(*participant);
        ASSERT_EQ(0, clientEnd(c, &xid, TMSUCCESS, &r));
        ASSERT_EQ(XA_OK, r);
        ASSERT_EQ(0, clientPrepare(c, &xid, TMNOFLAGS, &r));
        ASSERT_EQ(XA_OK, r);
        ASSERT_TRUE(testsupport::sendSignal(*participant, SIGKILL));
        testsupport::ExitStatus status;
        ASSERT_TRUE(testsupport::waitForExit(participant.get(), kBoundMs, &status));
    }
    std::string appPrepared() { return sql("SELECT count(*) FROM pg_prepared_xacts", "app"); }
    std::string appRow(int row) { return sql("SELECT count(*) FROM t WHERE id = " + std::to_string(row), "app"); }
    void makeApp() {
        sql("CREATE DATABASE app");
        sql("CREATE TABLE t(id int)", "app");
    }
    Host hosts[2];
};

TEST_F(DtcPgFailover, KilledCoordinatorIsReplacedWithoutLosingOrResurrectingBranches) {
    ASSERT_TRUE(startDtcd(hosts[0], "dtcd: active:")) << testsupport::readOutput(*hosts[0].dtcd);
    ASSERT_TRUE(startDtcd(hosts[1], "dtcd: standby:")) << testsupport::readOutput(*hosts[1].dtcd);
    ASSERT_TRUE(startService(hosts[0]));
    ASSERT_TRUE(startService(hosts[1]));
    // The standby's service finds no coordinator.
    MorvalenConnection probe;
    ASSERT_EQ(0, clientConnect(&probe, hosts[1].address.c_str(), kPort, 3000));
    MorvalenRecoverList none;
    int32_t result = 0;
    ASSERT_EQ(0, clientRecover(&probe, TMSTARTRSCAN | TMENDRSCAN, &result, &none));
    EXPECT_EQ(XAER_RMFAIL, result);
    clientClose(&probe);

    int rounds = 3;
    if (const char* env = std::getenv("MORVALEN_FAILOVER_ROUNDS")) rounds = std::max(1, std::atoi(env));
    std::vector<int64_t> takeoverMs;
    int active = 0;
    for (int round = 0; round < rounds; ++round) {
        Host& from = hosts[active];
        Host& to = hosts[1 - active];
        std::atomic<bool> stop{false};
        std::atomic<int> prepared{0};
        std::vector<std::vector<int>> outcomes(kThreads);
        std::vector<std::thread> threads;
        for (int t = 0; t < kThreads; ++t)
            threads.emplace_back(load, from.address, round, t, std::cref(stop), &prepared, &outcomes[t]);
        auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(kBoundMs);
        while (prepared < 400 && std::chrono::steady_clock::now() < deadline) poll(nullptr, 0, 5);
        bool loaded = prepared.load() >= 1;
        bool killedIt = testsupport::sendSignal(*from.dtcd, SIGKILL);
        auto killed = std::chrono::steady_clock::now();
        stop = true;
        for (std::thread& t : threads) t.join(); // before any assertion can leave the test
        ASSERT_TRUE(loaded) << "no load went through " << from.ns << "; its dtcd said: "
                            << testsupport::readOutput(*from.dtcd)
                            << "; its service said: " << testsupport::readOutput(*from.service);
        ASSERT_TRUE(killedIt);

        std::vector<XID> listed;
        ASSERT_TRUE(serves(to, &listed)) << testsupport::readOutput(*to.dtcd);
        int64_t ms = std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - killed)
                         .count();
        takeoverMs.push_back(ms);
        std::printf("round %d: %d prepares acknowledged, %zu branches in doubt, takeover %lld ms\n", round,
                    prepared.load(), listed.size(), static_cast<long long>(ms));

        std::map<std::string, int> outcome;
        for (int t = 0; t < kThreads; ++t)
            for (size_t i = 0; i < outcomes[t].size(); ++i)
                outcome[gtridOf(roundXid(round, t, static_cast<int>(i)))] = outcomes[t][i];
        std::set<std::string> seen;
        for (const XID& xid : listed) {
            std::string g = gtridOf(xid);
            seen.insert(g);
            ASSERT_EQ(1u, outcome.count(g)) << g << " was never sent in this round";
            EXPECT_NE(2, outcome[g]) << g << " was acknowledged committed, yet is in doubt again";
        }
        for (const auto& [g, o] : outcome) {
            if (o == 1) {
                EXPECT_EQ(1u, seen.count(g)) << g << " was acknowledged prepared, yet is lost";
            }
        }
        // The new active service commits them all.
        MorvalenConnection c;
        ASSERT_EQ(0, clientConnect(&c, to.address.c_str(), kPort, 5000));
        for (const XID& xid : listed) {
            int32_t r = -1;
            ASSERT_EQ(0, clientCommit(&c, &xid, TMNOFLAGS, &r));
            EXPECT_EQ(XA_OK, r) << gtridOf(xid);
        }
        clientClose(&c);
        EXPECT_EQ("0", sql("SELECT count(*) FROM dtcd.branches"));

        // The killed host's dtcd comes back as the standby.
        testsupport::ExitStatus status;
        ASSERT_TRUE(testsupport::waitForExit(from.dtcd.get(), kBoundMs, &status));
        ASSERT_TRUE(startDtcd(from, "dtcd: standby:")) << testsupport::readOutput(*from.dtcd);
        active = 1 - active;
    }
    std::vector<int64_t> sorted = takeoverMs;
    std::sort(sorted.begin(), sorted.end());
    std::printf("takeover over %zu rounds: median %lld ms, worst %lld ms (lease 4000 ms, poll 100 ms)\n",
                sorted.size(), static_cast<long long>(sorted[sorted.size() / 2]),
                static_cast<long long>(sorted.back()));
    RecordProperty("takeover_median_ms", std::to_string(sorted[sorted.size() / 2]));
    RecordProperty("takeover_worst_ms", std::to_string(sorted.back()));

    // The active dtcd is stopped past its lease while a prepare waits on it.
    Host& stopped = hosts[active];
    Host& next = hosts[1 - active];
    MorvalenConnection c;
    ASSERT_EQ(0, clientConnect(&c, stopped.address.c_str(), kPort, 20000));
    XID stale = roundXid(rounds, 0, 0);
    int32_t r = -1;
    ASSERT_EQ(0, clientStart(&c, &stale, TMNOFLAGS, &r, nullptr));
    ASSERT_EQ(XA_OK, r);
    ASSERT_EQ(0, clientEnd(&c, &stale, TMSUCCESS, &r));
    ASSERT_EQ(XA_OK, r);
    std::string epoch = sql("SELECT epoch FROM dtcd.lease");
    ASSERT_TRUE(testsupport::sendSignal(*stopped.dtcd, SIGSTOP));
    std::atomic<int32_t> staleResult{XA_OK};
    std::thread asker([&] {
        int32_t answer = -1;
        if (clientPrepare(&c, &stale, TMNOFLAGS, &answer) != 0) answer = XAER_RMFAIL;
        staleResult = answer;
    });
    std::vector<XID> listed;
    bool tookOver = serves(next, &listed);
    bool thawed = testsupport::sendSignal(*stopped.dtcd, SIGCONT);
    testsupport::ExitStatus status;
    bool exited = testsupport::waitForExit(stopped.dtcd.get(), kBoundMs, &status);
    if (!exited) testsupport::sendSignal(*stopped.dtcd, SIGKILL); // so that the asker's call ends
    asker.join(); // before any assertion can leave the test
    ASSERT_TRUE(tookOver) << testsupport::readOutput(*next.dtcd);
    ASSERT_TRUE(thawed);
    ASSERT_TRUE(exited) << testsupport::readOutput(*stopped.dtcd);
    EXPECT_TRUE(status.exited && status.code == 1);
    clientClose(&c);
    EXPECT_NE(XA_OK, staleResult.load());
    EXPECT_EQ("0", sql("SELECT count(*) FROM dtcd.branches"));
    EXPECT_EQ(std::to_string(std::stoll(epoch) + 1), sql("SELECT epoch FROM dtcd.lease"));
    listed.clear();
    ASSERT_TRUE(recoverAll(next.address, &listed));
    EXPECT_TRUE(listed.empty());
}

// Five branches on the active host, each with a participant inserting its own
// row, are caught in different phases when that host's dtcd is killed:
//  - voted yes, then committed through the new active host's service;
//  - voted yes, then rolled back there;
//  - voted yes, the participant killed, then committed on the old host: the
//    new host inherits a commit decision with a prepared transaction behind it;
//  - committed on the old host, COMMIT PREPARED done but its answer held
//    back, so the participant has not acknowledged;
//  - PREPARE TRANSACTION done but its answer held back, so the vote (and the
//    manager's prepare) is still in flight: never prepared in dtcd.
// Every participant still running ends with a clear exit; the new host lists
// exactly the two branches left prepared; --recover against the old host,
// back as a standby, fails with one line and changes nothing; --recover
// against the new active host settles the rest: exactly the committed rows
// exist, nothing stays prepared, and dtcd holds no branch.
TEST_F(DtcPgFailover, ParticipantsAreSettledThroughTheHostThatTookOver) {
    startPair(true);
    if (HasFatalFailure()) return;
    Host& a = hosts[0];
    Host& b = hosts[1];

    enum Phase { kCommitOnB, kRollbackOnB, kCommitOnA, kCommitHeld, kPrepareHeld };
    struct Case {
        Case(const char* n, Phase p, bool outcome) : name(n), phase(p), committed(outcome) {}
        const char* name;
        Phase phase;
        bool committed; // the outcome its row must show in the end
        int row = 0;
        XID xid{};
        MorvalenConnection c;
        Relay relay;
        std::unique_ptr<ChildProcess> participant;
    };
    // The held prepare comes last: in the service's default completion mode
    // a prepare holds the bridge lock until the vote, and the next start's
    // cookie export would wait for it.
    Case cases[] = {{"commit-on-b", kCommitOnB, true},
                    {"rollback-on-b", kRollbackOnB, false},
                    {"commit-on-a", kCommitOnA, true},
                    {"commit-held", kCommitHeld, true},
                    {"prepare-held", kPrepareHeld, false}};
    std::atomic<int32_t> heldPrepare{XA_OK};
    std::thread preparer;
    // However the test leaves: the held answers go, then the manager's
    // prepare that waits for one ends.
    std::shared_ptr<void> joinPreparer(nullptr, [&](void*) {
        for (Case& k : cases)
            if (k.relay.started) k.relay.relay.release();
        if (preparer.joinable()) preparer.join();
    });
    int row = 0;
    for (Case& k : cases) {
        k.row = ++row;
        k.xid = roundXid(100, k.row, 0);
        ASSERT_EQ(0, clientConnect(&k.c, a.address.c_str(), kPort, 5000)) << k.name;
        MorvalenCookie cookie;
        int32_t r = -1;
        ASSERT_EQ(0, clientStart(&k.c, &k.xid, TMNOFLAGS, &r, &cookie)) << k.name;
        ASSERT_EQ(XA_OK, r) << k.name;
        ASSERT_GT(cookie.length, 0) << k.name;
        std::string target = conninfo("app");
        if (k.phase == kPrepareHeld || k.phase == kCommitHeld) {
            k.relay.relay.hold = true;
            if (k.phase == kCommitHeld) k.relay.relay.trigger = "COMMIT PREPARED";
            ASSERT_TRUE(k.relay.relay.start(cluster.dir)) << k.name;
            k.relay.started = true;
            target = "host=" + k.relay.relay.dir + " user=" + cluster.role + " dbname=app";
        }
        k.participant = enlistOn(a, cookie, target, k.row);
        ASSERT_TRUE(testsupport::waitForOutput(*k.participant, "enlisted", kBoundMs))
            << k.name << ": " << testsupport::readOutput(*k.participant);
        ASSERT_EQ(0, clientEnd(&k.c, &k.xid, TMSUCCESS, &r)) << k.name;
        ASSERT_EQ(XA_OK, r) << k.name;
        if (k.phase == kPrepareHeld) {
            // The manager's prepare waits for the vote, which the relay holds back.
            preparer = std::thread([&heldPrepare, &k] {
                int32_t answer = -1;
                if (clientPrepare(&k.c, &k.xid, TMNOFLAGS, &answer) != 0) answer = XAER_RMFAIL;
                heldPrepare = answer;
            });
            ASSERT_TRUE(k.relay.relay.waitHeld()) << k.name << ": " << testsupport::readOutput(*k.participant);
            continue;
        }
        ASSERT_EQ(0, clientPrepare(&k.c, &k.xid, TMNOFLAGS, &r)) << k.name;
        ASSERT_EQ(XA_OK, r) << k.name << ": " << testsupport::readOutput(*k.participant);
        if (k.phase == kCommitOnA) {
            ASSERT_TRUE(testsupport::sendSignal(*k.participant, SIGKILL)) << k.name;
            testsupport::ExitStatus status;
            ASSERT_TRUE(testsupport::waitForExit(k.participant.get(), kBoundMs, &status)) << k.name;
        }
        if (k.phase == kCommitOnA || k.phase == kCommitHeld) {
            ASSERT_EQ(0, clientCommit(&k.c, &k.xid, TMNOFLAGS, &r)) << k.name;
            ASSERT_EQ(XA_OK, r) << k.name;
        }
        if (k.phase == kCommitHeld) {
            ASSERT_TRUE(k.relay.relay.waitHeld()) << k.name << ": " << testsupport::readOutput(*k.participant);
        }
    }

    ASSERT_TRUE(testsupport::sendSignal(*a.dtcd, SIGKILL));
    joinPreparer.reset(); // the dead coordinator's connection ends the manager's prepare
    EXPECT_NE(XA_OK, heldPrepare.load());
    for (Case& k : cases) clientClose(&k.c);

    // Every participant still running ends by itself: the one that applied
    // a commit says so; the others, prepared with no outcome, name --recover.
    for (Case& k : cases) {
        if (k.phase == kCommitOnA) continue; // killed before
        testsupport::ExitStatus status;
        ASSERT_TRUE(testsupport::waitForExit(k.participant.get(), kBoundMs, &status))
            << k.name << " still waits: " << testsupport::readOutput(*k.participant);
        std::string said = testsupport::readOutput(*k.participant);
        if (k.phase == kCommitHeld) {
            EXPECT_TRUE(status.exited && status.code == 0) << k.name << ": " << said;
            EXPECT_NE(std::string::npos, said.find("committed")) << k.name << ": " << said;
        } else {
            EXPECT_TRUE(status.exited && status.code == 2) << k.name << ": " << said;
            EXPECT_NE(std::string::npos, said.find("lost the coordinator after preparing")) << k.name << ": " << said;
            EXPECT_NE(std::string::npos, said.find("--recover")) << k.name << ": " << said;
        }
    }
    EXPECT_EQ("4", appPrepared()); // all but the one that applied its commit

    // The new active host lists the two prepared branches, not the one whose
    // vote never arrived (presumed abort) nor the committed ones.
    std::vector<XID> listed;
    ASSERT_TRUE(serves(b, &listed)) << testsupport::readOutput(*b.dtcd);
    std::set<std::string> inDoubt;
    for (const XID& xid : listed) inDoubt.insert(gtridOf(xid));
    EXPECT_EQ((std::set<std::string>{gtridOf(cases[0].xid), gtridOf(cases[1].xid)}), inDoubt);

    // The old host is back as a standby: --recover there reaches no
    // coordinator and leaves everything as it was.
    testsupport::ExitStatus status;
    ASSERT_TRUE(testsupport::waitForExit(a.dtcd.get(), kBoundMs, &status));
    ASSERT_TRUE(startDtcd(a, "dtcd: standby:")) << testsupport::readOutput(*a.dtcd);
    std::string before = listOn(b);
    std::string out;
    EXPECT_EQ(2, recoverOn(a, &out)) << out;
    EXPECT_EQ(1u, lineCount(out)) << out;
    EXPECT_EQ(0u, out.rfind("dtc-pg-enlist: ", 0)) << out;
    EXPECT_EQ("4", appPrepared());
    EXPECT_EQ(lineCount(before), lineCount(listOn(b))) << before;

    // The transaction manager finishes what it holds through the new host.
    MorvalenConnection c;
    ASSERT_EQ(0, clientConnect(&c, b.address.c_str(), kPort, 5000));
    int32_t r = -1;
    ASSERT_EQ(0, clientCommit(&c, &cases[0].xid, TMNOFLAGS, &r));
    EXPECT_EQ(XA_OK, r);
    ASSERT_EQ(0, clientRollback(&c, &cases[1].xid, TMNOFLAGS, &r));
    EXPECT_EQ(XA_OK, r);
    ASSERT_EQ(0, clientCommit(&c, &cases[4].xid, TMNOFLAGS, &r));
    EXPECT_EQ(XAER_NOTA, r); // never prepared: rolled back with its host
    clientClose(&c);

    EXPECT_EQ(0, recoverOn(b, &out)) << out;
    EXPECT_EQ(2u, occurrences(out, " committed")) << out;
    EXPECT_EQ(2u, occurrences(out, " aborted")) << out;
    EXPECT_EQ(0u, occurrences(out, "in-doubt")) << out;
    for (const Case& k : cases) EXPECT_EQ(k.committed ? "1" : "0", appRow(k.row)) << k.name;
    EXPECT_EQ("0", appPrepared());
    std::string left = listOn(b);
    EXPECT_EQ(1u, lineCount(left)) << left;
    EXPECT_EQ("0", sql("SELECT count(*) FROM dtcd.branches"));
}

// --recover against a standby reaches no coordinator: one line, exit code 2,
// and the prepared transaction and the active host's decision stay as they
// were, for the --recover against the active host that settles them.
TEST_F(DtcPgFailover, RecoverAgainstAStandbyFailsAndDecidesNothing) {
    startPair(false);
    if (HasFatalFailure()) return;
    Host& a = hosts[0];
    Host& b = hosts[1];
    // The participant dies prepared: nothing holds its prepared transaction
    // any more, so any --recover that reached a coordinator could settle it.
    MorvalenConnection c;
    XID xid = roundXid(200, 0, 0);
    prepareWithDeadParticipant(a, &c, xid, 7);
    if (HasFatalFailure()) return;
    int32_t r = -1;
    ASSERT_EQ(0, clientCommit(&c, &xid, TMNOFLAGS, &r));
    ASSERT_EQ(XA_OK, r);
    clientClose(&c);

    std::string before = listOn(a);
    ASSERT_EQ(3u, lineCount(before)) << before; // the branch, committing, and its participant
    std::string out;
    EXPECT_EQ(2, recoverOn(b, &out)) << out;
    EXPECT_EQ(1u, lineCount(out)) << out;
    EXPECT_EQ(0u, out.rfind("dtc-pg-enlist: ", 0)) << out;
    EXPECT_EQ("1", appPrepared());
    EXPECT_EQ("0", appRow(7));
    EXPECT_EQ(lineCount(before), lineCount(listOn(a)));

    EXPECT_EQ(0, recoverOn(a, &out)) << out;
    EXPECT_EQ(1u, occurrences(out, " committed")) << out;
    EXPECT_EQ("1", appRow(7));
    EXPECT_EQ("0", appPrepared());
    std::string left = listOn(a);
    EXPECT_EQ(1u, lineCount(left)) << left;
}

// A --recover that waits on the active dtcd for an undecided outcome when
// that dtcd dies ends by itself, reports the transaction in doubt and
// decides nothing; once the other host has taken over and the manager has
// committed there, --recover against it commits the work.
TEST_F(DtcPgFailover, RecoverWaitingOnTheDeadCoordinatorEndsAndTheNewHostSettles) {
    startPair(true);
    if (HasFatalFailure()) return;
    Host& a = hosts[0];
    Host& b = hosts[1];
    MorvalenConnection c;
    XID xid = roundXid(300, 0, 0);
    prepareWithDeadParticipant(a, &c, xid, 9);
    if (HasFatalFailure()) return;
    clientClose(&c);
    testsupport::ExitStatus status;
    int32_t r = -1;

    // --recover on the active host reenlists and waits: nothing is decided.
    ChildProcess waiting;
    ASSERT_TRUE(testsupport::startProcess(&waiting, ipPath(),
                                          {"netns", "exec", a.ns, testsupport::binPath("dtc-pg-enlist"), "--recover",
                                           "--conninfo", conninfo("app")},
                                          {"DTCD_SOCKET=@dtcd", "LD_LIBRARY_PATH=" + testsupport::libDir()}));
    auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(kBoundMs);
    while (statOn(a, "reenlists") != "1" && std::chrono::steady_clock::now() < deadline) poll(nullptr, 0, 20);
    ASSERT_EQ("1", statOn(a, "reenlists")) << testsupport::readOutput(waiting);
    ASSERT_TRUE(testsupport::sendSignal(*a.dtcd, SIGKILL));
    ASSERT_TRUE(testsupport::waitForExit(&waiting, kBoundMs, &status)) << testsupport::readOutput(waiting);
    std::string out = testsupport::readOutput(waiting);
    EXPECT_TRUE(status.exited && status.code == 0) << out;
    EXPECT_EQ(1u, lineCount(out)) << out;
    EXPECT_EQ(1u, occurrences(out, " in-doubt (lost dtcd")) << out;
    EXPECT_EQ("1", appPrepared());
    EXPECT_EQ("0", appRow(9));

    std::vector<XID> listed;
    ASSERT_TRUE(serves(b, &listed)) << testsupport::readOutput(*b.dtcd);
    ASSERT_EQ(1u, listed.size());
    ASSERT_EQ(0, clientConnect(&c, b.address.c_str(), kPort, 5000));
    ASSERT_EQ(0, clientCommit(&c, &listed[0], TMNOFLAGS, &r));
    EXPECT_EQ(XA_OK, r);
    clientClose(&c);
    EXPECT_EQ(0, recoverOn(b, &out)) << out;
    EXPECT_EQ(1u, occurrences(out, " committed")) << out;
    EXPECT_EQ("1", appRow(9));
    EXPECT_EQ("0", appPrepared());
    std::string left = listOn(b);
    EXPECT_EQ(1u, lineCount(left)) << left;
}

} // namespace
