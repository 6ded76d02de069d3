// Crash and restart, process exit, heuristic resolution through dtcctl, the
// daemon's start-up refusals and clients that send garbage: each against a
// real dtcd that is killed, restarted and probed.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <set>
#include <sstream>
#include <thread>
#include <vector>

#include "DtcHarness.h"
#include "Wire.h"
#include "contract/txdtc.h"

namespace {

constexpr int kRm = 1;

XID preparedBranch(const std::string& name) {
    XID xid = makeXid(name);
    EXPECT_EQ(XA_OK, DTC_XaStart(&xid, kRm, TMNOFLAGS));
    EXPECT_EQ(XA_OK, DTC_XaEnd(&xid, kRm, TMSUCCESS));
    EXPECT_EQ(XA_OK, DTC_XaPrepare(&xid, kRm, TMNOFLAGS));
    return xid;
}

// Polls a call until it answers `want` (at most five seconds); answers the last result.
template <typename F>
int pollFor(int want, F f) {
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
    int rc = f();
    while (rc != want && std::chrono::steady_clock::now() < deadline) {
        std::this_thread::yield();
        rc = f();
    }
    return rc;
}

int rawConnect(const std::string& name) {
    int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    std::memcpy(addr.sun_path + 1, name.c_str() + 1, name.size() - 1);
    socklen_t len = static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + name.size());
    if (connect(fd, reinterpret_cast<sockaddr*>(&addr), len) != 0) {
        close(fd);
        return -1;
    }
    timeval tv{5, 0};
    setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
    return fd;
}

TEST(DtcDurability, KillAfterPrepareAndAfterCommitDecision) {
    Daemon d;
    ASSERT_TRUE(startDaemon(&d));
    useDaemon(d);
    ASSERT_EQ(XA_OK, DTC_XaOpen(kOpenString, kRm, TMNOFLAGS));
    XID a = preparedBranch("durable-a");
    XID b = preparedBranch("durable-b");
    XID c = preparedBranch("durable-c");
    ASSERT_EQ(XA_OK, DTC_XaCommit(&b, kRm, TMNOFLAGS));      // decision on disk before the answer
    XID active = makeXid("durable-active");
    ASSERT_EQ(XA_OK, DTC_XaStart(&active, kRm, TMNOFLAGS));
    ASSERT_EQ(XA_OK, DTC_XaEnd(&active, kRm, TMSUCCESS));
    killDaemon(&d);

    // While it is gone, every call answers XAER_RMFAIL and the rmid stays dead.
    XID fresh = makeXid("durable-fresh");
    XID list[4];
    EXPECT_EQ(XAER_RMFAIL, pollFor(XAER_RMFAIL, [&] { return DTC_XaStart(&fresh, kRm, TMNOFLAGS); }));
    EXPECT_EQ(XAER_RMFAIL, DTC_XaPrepare(&a, kRm, TMNOFLAGS));
    EXPECT_EQ(XAER_RMFAIL, DTC_XaCommit(&a, kRm, TMNOFLAGS));
    EXPECT_EQ(XAER_RMFAIL, DTC_XaRollback(&a, kRm, TMNOFLAGS));
    EXPECT_EQ(XAER_RMFAIL, DTC_XaEnd(&a, kRm, TMSUCCESS));
    EXPECT_EQ(XAER_RMFAIL, DTC_XaForget(&a, kRm, TMNOFLAGS));
    EXPECT_EQ(XAER_RMFAIL, DTC_XaRecover(list, 4, kRm, TMSTARTRSCAN));
    void* object = nullptr;
    EXPECT_EQ(XACT_E_TMNOTAVAILABLE,
              DtcGetTransactionManager(nullptr, nullptr, IID_IXATransLookup, 0, 0, nullptr, &object));
    EXPECT_EQ(XA_OK, DTC_XaClose(kOpenString, kRm, TMNOFLAGS));
    EXPECT_EQ(XAER_RMERR, DTC_XaOpen(kOpenString, kRm, TMNOFLAGS));
    EXPECT_EQ(XAER_PROTO, DTC_XaClose(kOpenString, kRm, TMNOFLAGS));

    // After a restart the prepared branches are back (the committed one and the
    // never prepared one are not) and accept completion.
    ASSERT_TRUE(startDaemon(&d));
    ASSERT_EQ(XA_OK, DTC_XaOpen(kOpenString, kRm, TMNOFLAGS));
    EXPECT_EQ((std::set<std::string>{"durable-a", "durable-c"}), recoverNames(kRm));
    EXPECT_EQ(XAER_NOTA, DTC_XaCommit(&active, kRm, TMONEPHASE));
    EXPECT_EQ(XA_OK, DTC_XaCommit(&a, kRm, TMNOFLAGS));
    EXPECT_EQ(XA_OK, DTC_XaRollback(&c, kRm, TMNOFLAGS));
    EXPECT_EQ(XAER_NOTA, DTC_XaCommit(&b, kRm, TMNOFLAGS));
    // A clean stop and start changes nothing either.
    EXPECT_EQ(0, stopDaemon(&d));
    ASSERT_TRUE(startDaemon(&d));
    EXPECT_EQ(XA_OK, DTC_XaClose(kOpenString, kRm, TMNOFLAGS));
    ASSERT_EQ(XA_OK, DTC_XaOpen(kOpenString, kRm, TMNOFLAGS));
    EXPECT_TRUE(recoverNames(kRm).empty());
    EXPECT_EQ(XA_OK, DTC_XaClose(kOpenString, kRm, TMNOFLAGS));
    EXPECT_EQ(0, stopDaemon(&d));
    removeDaemonFiles(d);
}

TEST(DtcDurability, KillDuringConcurrentPreparesLosesNoAnsweredPrepare) {
    Daemon d;
    ASSERT_TRUE(startDaemon(&d));
    useDaemon(d);
    ASSERT_EQ(XA_OK, DTC_XaOpen(kOpenString, kRm, TMNOFLAGS));
    constexpr int kThreads = 16;
    constexpr int kPerThread = 50;
    std::atomic<int> answered{0};
    std::mutex mu;
    std::set<std::string> prepared; // guarded by mu
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([&, t] {
            for (int i = 0; i < kPerThread; ++i) {
                std::string name = "batch-" + std::to_string(t) + "-" + std::to_string(i);
                XID xid = makeXid(name);
                if (DTC_XaStart(&xid, kRm, TMNOFLAGS) != XA_OK) return;
                if (DTC_XaEnd(&xid, kRm, TMSUCCESS) != XA_OK) return;
                int rc = DTC_XaPrepare(&xid, kRm, TMNOFLAGS);
                if (rc != XA_OK) {
                    EXPECT_EQ(XAER_RMFAIL, rc);
                    return;
                }
                std::lock_guard lock(mu);
                prepared.insert(name);
                answered++;
            }
        });
    }
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    while (answered.load() < 100 && std::chrono::steady_clock::now() < deadline) std::this_thread::yield();
    killDaemon(&d); // prepares are in flight now
    for (auto& thread : threads) thread.join();
    ASSERT_GE(prepared.size(), 100u);
    EXPECT_EQ(XA_OK, DTC_XaClose(kOpenString, kRm, TMNOFLAGS));
    ASSERT_TRUE(startDaemon(&d));
    ASSERT_EQ(XA_OK, DTC_XaOpen(kOpenString, kRm, TMNOFLAGS));
    std::set<std::string> recovered = recoverNames(kRm);
    for (const std::string& name : prepared) EXPECT_EQ(1u, recovered.count(name)) << name;
    // Those in flight at the kill may or may not have made it; every one listed commits.
    for (const std::string& name : recovered) {
        XID xid = makeXid(name);
        EXPECT_EQ(XA_OK, DTC_XaCommit(&xid, kRm, TMNOFLAGS)) << name;
    }
    EXPECT_TRUE(recoverNames(kRm).empty());
    EXPECT_EQ(XA_OK, DTC_XaClose(kOpenString, kRm, TMNOFLAGS));
    stopDaemon(&d);
    removeDaemonFiles(d);
}

TEST(DtcDurability, ClientExitRollsBackItsUnpreparedBranches) {
    Daemon d;
    ASSERT_TRUE(startDaemon(&d));
    useDaemon(d);
    pid_t child = fork();
    if (child == 0) {
        // A service that dies without closing: one idle, one prepared, one associated branch.
        XID idle = makeXid("exit-idle");
        XID prepared = makeXid("exit-prepared");
        XID active = makeXid("exit-active");
        bool ok = DTC_XaOpen(kOpenString, kRm, TMNOFLAGS) == XA_OK &&
                  DTC_XaStart(&idle, kRm, TMNOFLAGS) == XA_OK && DTC_XaEnd(&idle, kRm, TMSUCCESS) == XA_OK &&
                  DTC_XaStart(&prepared, kRm, TMNOFLAGS) == XA_OK &&
                  DTC_XaEnd(&prepared, kRm, TMSUCCESS) == XA_OK && DTC_XaPrepare(&prepared, kRm, TMNOFLAGS) == XA_OK &&
                  DTC_XaStart(&active, kRm, TMNOFLAGS) == XA_OK;
        _exit(ok ? 0 : 1);
    }
    int status = 0;
    ASSERT_EQ(child, waitpid(child, &status, 0));
    ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
    ASSERT_EQ(XA_OK, DTC_XaOpen(kOpenString, kRm, TMNOFLAGS));
    XID idle = makeXid("exit-idle");
    XID active = makeXid("exit-active");
    XID prepared = makeXid("exit-prepared");
    // dtcd sees the child's end of stream on its own schedule: a two-phase
    // commit probes without changing anything (XAER_PROTO while it lives).
    EXPECT_EQ(XAER_NOTA, pollFor(XAER_NOTA, [&] { return DTC_XaCommit(&idle, kRm, TMNOFLAGS); }));
    EXPECT_EQ(XAER_NOTA, DTC_XaCommit(&active, kRm, TMNOFLAGS));
    EXPECT_EQ((std::set<std::string>{"exit-prepared"}), recoverNames(kRm));
    EXPECT_EQ(XA_OK, DTC_XaCommit(&prepared, kRm, TMNOFLAGS));
    EXPECT_EQ(XA_OK, DTC_XaClose(kOpenString, kRm, TMNOFLAGS));
    stopDaemon(&d);
    removeDaemonFiles(d);
}

TEST(DtcDurability, HeuristicResolutionThroughDtcctl) {
    Daemon d;
    ASSERT_TRUE(startDaemon(&d));
    useDaemon(d);
    ASSERT_EQ(XA_OK, DTC_XaOpen(kOpenString, kRm, TMNOFLAGS));
    XID a = preparedBranch("heur-a");
    XID b = preparedBranch("heur-b");
    XID live = makeXid("heur-live");
    ASSERT_EQ(XA_OK, DTC_XaStart(&live, kRm, TMNOFLAGS));
    std::string out;
    std::string aText = dtcwire::xidText(a);
    ASSERT_EQ(0, runCtl(d, {"list"}, &out));
    EXPECT_NE(std::string::npos, out.find(aText));
    EXPECT_NE(std::string::npos, out.find("prepared"));
    EXPECT_NE(std::string::npos, out.find("active"));
    EXPECT_NE(std::string::npos, out.find("7592BBA9-26B4-421A-AE43-6E27A5BFD134"));
    ASSERT_EQ(0, runCtl(d, {"--json", "list"}, &out));
    EXPECT_EQ('[', out[0]);
    EXPECT_NE(std::string::npos, out.find("\"xid\":\"" + aText + "\""));

    ASSERT_EQ(0, runCtl(d, {"resolve", aText, "commit"}, &out)) << out;
    ASSERT_EQ(0, runCtl(d, {"resolve", dtcwire::xidText(b), "abort", "--guid", "7592bba9-26b4-421a-ae43-6e27a5bfd134"},
                        &out))
        << out;
    EXPECT_EQ(1, runCtl(d, {"resolve", aText, "abort"}, &out));           // no longer in doubt
    EXPECT_NE(std::string::npos, out.find("not prepared"));
    EXPECT_EQ(1, runCtl(d, {"resolve", dtcwire::xidText(live), "commit"}, &out));
    EXPECT_EQ(1, runCtl(d, {"resolve", "42:00:00", "commit"}, &out));     // unknown
    EXPECT_NE(std::string::npos, out.find("no such branch"));
    EXPECT_EQ(1, runCtl(d, {"resolve", "nonsense", "commit"}, &out));
    EXPECT_EQ(1, runCtl(d, {"resolve", aText, "maybe"}, &out));
    EXPECT_EQ(2, runCtl(d, {"frobnicate"}, &out));

    // The outcome survives a crash; the TM's later calls learn it; forget removes it.
    killDaemon(&d);
    ASSERT_TRUE(startDaemon(&d));
    EXPECT_EQ(XA_OK, DTC_XaClose(kOpenString, kRm, TMNOFLAGS));
    ASSERT_EQ(XA_OK, DTC_XaOpen(kOpenString, kRm, TMNOFLAGS));
    EXPECT_EQ((std::set<std::string>{"heur-a", "heur-b"}), recoverNames(kRm));
    EXPECT_EQ(XA_HEURCOM, DTC_XaCommit(&a, kRm, TMNOFLAGS));
    EXPECT_EQ(XA_HEURCOM, DTC_XaRollback(&a, kRm, TMNOFLAGS));
    EXPECT_EQ(XA_HEURRB, DTC_XaCommit(&b, kRm, TMNOFLAGS));
    EXPECT_EQ(XAER_PROTO, DTC_XaPrepare(&a, kRm, TMNOFLAGS));
    EXPECT_EQ(XA_OK, DTC_XaForget(&a, kRm, TMNOFLAGS));
    EXPECT_EQ(XA_OK, DTC_XaForget(&b, kRm, TMNOFLAGS));
    EXPECT_EQ(XAER_NOTA, DTC_XaForget(&a, kRm, TMNOFLAGS));
    EXPECT_TRUE(recoverNames(kRm).empty());
    ASSERT_EQ(0, runCtl(d, {"stats"}, &out));
    EXPECT_NE(std::string::npos, out.find("heuristic_resolutions"));
    ASSERT_EQ(0, runCtl(d, {"--json", "stats"}, &out));
    EXPECT_NE(std::string::npos, out.find("\"forgets\":2"));
    EXPECT_EQ(XA_OK, DTC_XaClose(kOpenString, kRm, TMNOFLAGS));
    stopDaemon(&d);
    EXPECT_EQ(1, runCtl(d, {"stats"}, &out));                            // daemon gone
    EXPECT_NE(std::string::npos, out.find("cannot reach dtcd"));
    removeDaemonFiles(d);
}

TEST(DtcDurability, DtcctlShowsTheTransactionBehindACookie) {
    Daemon d;
    ASSERT_TRUE(startDaemon(&d));
    useDaemon(d);
    ASSERT_EQ(XA_OK, DTC_XaOpen(kOpenString, kRm, TMNOFLAGS));
    XID a = makeXid("cookie-ctl");
    ASSERT_EQ(XA_OK, DTC_XaStart(&a, kRm, TMNOFLAGS));
    IXATransLookup* lookup = nullptr;
    ITransactionImportWhereabouts* where = nullptr;
    ITransactionExportFactory* factory = nullptr;
    ASSERT_EQ(S_OK, DtcGetTransactionManager(nullptr, nullptr, IID_IXATransLookup, 0, 0, nullptr,
                                             reinterpret_cast<void**>(&lookup)));
    ASSERT_EQ(S_OK, DtcGetTransactionManager(nullptr, nullptr, IID_ITransactionImportWhereabouts, 0, 0, nullptr,
                                             reinterpret_cast<void**>(&where)));
    ASSERT_EQ(S_OK, DtcGetTransactionManager(nullptr, nullptr, IID_ITransactionExportFactory, 0, 0, nullptr,
                                             reinterpret_cast<void**>(&factory)));
    BYTE whereabouts[64];
    ULONG used = 0;
    ASSERT_EQ(S_OK, where->GetWhereabouts(sizeof whereabouts, whereabouts, &used));
    ITransactionExport* exporter = nullptr;
    ASSERT_EQ(S_OK, factory->Create(used, whereabouts, &exporter));
    ITransaction* tx = nullptr;
    ASSERT_EQ(S_OK, lookup->Lookup(&tx));
    ULONG size = 0;
    ASSERT_EQ(S_OK, exporter->Export(tx, &size));
    std::vector<BYTE> cookie(size);
    ASSERT_EQ(S_OK, exporter->GetTransactionCookie(tx, size, cookie.data(), &used));
    for (IUnknown* p : std::initializer_list<IUnknown*>{tx, exporter, factory, where, lookup}) p->Release();
    std::string hex = dtcwire::hexEncode(cookie.data(), cookie.size());
    std::string out;
    ASSERT_EQ(0, runCtl(d, {"cookie", hex}, &out)) << out;
    EXPECT_NE(std::string::npos, out.find(dtcwire::xidText(a)));
    EXPECT_NE(std::string::npos, out.find("active"));
    ASSERT_EQ(0, runCtl(d, {"--json", "cookie", hex}, &out));
    EXPECT_NE(std::string::npos, out.find("\"state\":\"active\""));
    hex[hex.size() - 1] = hex.back() == '0' ? '1' : '0';
    EXPECT_EQ(1, runCtl(d, {"cookie", hex}, &out));
    EXPECT_EQ(1, runCtl(d, {"cookie", "abc"}, &out));
    EXPECT_EQ(1, runCtl(d, {"cookie", "00112233"}, &out));
    EXPECT_EQ(XA_OK, DTC_XaEnd(&a, kRm, TMSUCCESS));
    EXPECT_EQ(XA_OK, DTC_XaClose(kOpenString, kRm, TMNOFLAGS));
    stopDaemon(&d);
    removeDaemonFiles(d);
}

TEST(DtcDaemon, RefusesUnusableDataDirectoryAndTakenSocket) {
    std::string dir = makeTempDir();
    std::string file = dir + "/plain-file";
    std::ofstream(file) << "x";
    std::string err;
    EXPECT_EQ(1, runDaemonToExit({"--data-dir", file}, uniqueSocketName(), &err));
    EXPECT_NE(std::string::npos, err.find("not a directory")) << err;
    EXPECT_EQ(1, runDaemonToExit({"--data-dir", dir + "/missing/deeper"}, uniqueSocketName(), &err));
    EXPECT_NE(std::string::npos, err.find("cannot create data directory")) << err;
    EXPECT_EQ(2, runDaemonToExit({}, uniqueSocketName(), &err));
    EXPECT_NE(std::string::npos, err.find("usage"));

    Daemon d;
    ASSERT_TRUE(startDaemon(&d));
    // Same socket, another directory: the socket is taken.
    EXPECT_EQ(1, runDaemonToExit({"--data-dir", dir + "/other"}, d.socket, &err));
    EXPECT_NE(std::string::npos, err.find("already in use")) << err;
    EXPECT_EQ(1, std::count(err.begin(), err.end(), '\n')) << err; // one line
    // Same directory, another socket: the directory is taken.
    EXPECT_EQ(1, runDaemonToExit({"--data-dir", d.dataDir}, uniqueSocketName(), &err));
    EXPECT_NE(std::string::npos, err.find("in use by another dtcd")) << err;
    EXPECT_EQ(0, stopDaemon(&d));
    removeDaemonFiles(d);
    std::filesystem::remove_all(dir);
}

TEST(DtcDaemon, GarbageAndCutFramesCloseOnlyThatClient) {
    Daemon d;
    ASSERT_TRUE(startDaemon(&d));
    useDaemon(d);
    ASSERT_EQ(XA_OK, DTC_XaOpen(kOpenString, kRm, TMNOFLAGS));
    char buffer[64];
    // A frame longer than allowed closes the connection.
    int fd = rawConnect(d.socket);
    ASSERT_GE(fd, 0);
    uint32_t huge[3] = {0xFFFFFFF0u, 1, 3};
    ASSERT_EQ(12, send(fd, huge, sizeof huge, MSG_NOSIGNAL));
    EXPECT_EQ(0, recv(fd, buffer, sizeof buffer, 0));
    close(fd);
    // A frame shorter than its header closes it too.
    fd = rawConnect(d.socket);
    uint32_t tiny[2] = {2, 0};
    ASSERT_EQ(8, send(fd, tiny, sizeof tiny, MSG_NOSIGNAL));
    EXPECT_EQ(0, recv(fd, buffer, sizeof buffer, 0));
    close(fd);
    // Unknown operation, a short body, a start before open: answered, not fatal.
    fd = rawConnect(d.socket);
    for (uint16_t op : {uint16_t{999}, uint16_t{dtcwire::kOpStart}, uint16_t{dtcwire::kOpImport}}) {
        std::string frame = dtcwire::requestFrame(7, op, "xy");
        ASSERT_EQ(static_cast<ssize_t>(frame.size()), send(fd, frame.data(), frame.size(), MSG_NOSIGNAL));
        ASSERT_EQ(12, recv(fd, buffer, 12, MSG_WAITALL));
        int32_t result;
        std::memcpy(&result, buffer + 8, 4);
        EXPECT_LT(result, 0);
    }
    // Half a frame, then gone.
    std::string frame = dtcwire::requestFrame(8, dtcwire::kOpHello, "");
    ASSERT_EQ(5, send(fd, frame.data(), 5, MSG_NOSIGNAL));
    close(fd);
    // Everyone else is still served.
    XID a = makeXid("after-garbage");
    EXPECT_EQ(XA_OK, DTC_XaStart(&a, kRm, TMNOFLAGS));
    EXPECT_EQ(XA_OK, DTC_XaEnd(&a, kRm, TMSUCCESS));
    EXPECT_EQ(XA_OK, DTC_XaCommit(&a, kRm, TMONEPHASE));

    // A peer of another uid is refused.
    if (getuid() == 0) {
        pid_t child = fork();
        if (child == 0) {
            if (setuid(65534) != 0) _exit(2);
            int c = rawConnect(d.socket);
            if (c < 0) _exit(0); // refused at connect is fine too
            std::string hello = dtcwire::requestFrame(1, dtcwire::kOpHello, "");
            send(c, hello.data(), hello.size(), MSG_NOSIGNAL);
            char reply[64];
            _exit(recv(c, reply, sizeof reply, 0) <= 0 ? 0 : 1); // closed (or reset): refused
        }
        int status = 0;
        waitpid(child, &status, 0);
        EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
    }
    EXPECT_EQ(XA_OK, DTC_XaClose(kOpenString, kRm, TMNOFLAGS));
    stopDaemon(&d);
    removeDaemonFiles(d);
}


// CPU time (user + system, in clock ticks) a process has used so far.
long cpuTicksOf(pid_t pid) {
    std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
    std::string text((std::istreambuf_iterator<char>(stat)), std::istreambuf_iterator<char>());
    size_t at = text.rfind(')');
    if (at == std::string::npos) return -1;
    std::istringstream fields(text.substr(at + 2));
    std::string field;
    long utime = 0, stime = 0;
    for (int i = 3; i <= 15 && fields >> field; ++i) {
        if (i == 14) utime = std::stol(field);
        if (i == 15) stime = std::stol(field);
    }
    return utime + stime;
}

TEST(DtcDaemon, OutOfDescriptorsItPausesAcceptingInsteadOfSpinning) {
    Daemon d;
    ASSERT_TRUE(startDaemon(&d));
    // Leave the daemon a few descriptors more than it holds now, then queue
    // more clients than it can take: the listening socket stays readable.
    int open = 0;
    for (const auto& entry : std::filesystem::directory_iterator("/proc/" + std::to_string(d.pid) + "/fd")) {
        (void)entry;
        ++open;
    }
    rlimit before{};
    ASSERT_EQ(0, prlimit(d.pid, RLIMIT_NOFILE, nullptr, &before));
    rlimit low{static_cast<rlim_t>(open + 3), before.rlim_max};  // the soft limit only, so it can be raised again
    ASSERT_EQ(0, prlimit(d.pid, RLIMIT_NOFILE, &low, nullptr));
    std::vector<int> clients;
    for (int i = 0; i < 10; ++i) {
        int fd = rawConnect(d.socket);
        if (fd >= 0) clients.push_back(fd);
    }
    ASSERT_GE(clients.size(), 6u);
    // Over a second of that, the daemon uses a small part of a second of CPU.
    long start = cpuTicksOf(d.pid);
    auto until = std::chrono::steady_clock::now() + std::chrono::seconds(1);
    while (std::chrono::steady_clock::now() < until) std::this_thread::sleep_for(std::chrono::milliseconds(50));
    long used = cpuTicksOf(d.pid) - start;
    EXPECT_LT(used, sysconf(_SC_CLK_TCK) / 3) << used << " ticks";
    for (int fd : clients) close(fd);
    ASSERT_EQ(0, prlimit(d.pid, RLIMIT_NOFILE, &before, nullptr));
    // Accepting resumes: a new client is served.
    useDaemon(d);
    EXPECT_EQ(XA_OK, pollFor(XA_OK, [] { return DTC_XaOpen(kOpenString, kRm, TMNOFLAGS); }));
    EXPECT_EQ(XA_OK, DTC_XaClose(kOpenString, kRm, TMNOFLAGS));
    std::ifstream err(d.stderrPath);
    std::string text((std::istreambuf_iterator<char>(err)), std::istreambuf_iterator<char>());
    EXPECT_NE(text.find("pausing new connections"), std::string::npos) << text;
    stopDaemon(&d);
    removeDaemonFiles(d);
}

} // namespace
