// The command-line tools as a script uses them: morvalenctl's exit codes for
// each kind of XA answer (the service over the DTC doubles, scripted), and an
// XID passed from one tool's output to another (morvalenctl recover to dtcctl
// resolve, dtcctl list to morvalenctl commit) against the real dtcd.
#include <gtest/gtest.h>

#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <sstream>
#include <string>

#include "support/Process.h"

namespace {

using testsupport::ChildProcess;
constexpr uint16_t kPort = 1439;

struct Outcome {
    int code = -1;
    std::string output;
};

Outcome run(const std::string& program, const std::vector<std::string>& args, const std::vector<std::string>& env = {}) {
    Outcome r;
    ChildProcess child;
    if (!testsupport::startProcess(&child, testsupport::binPath(program), args, env)) return r;
    testsupport::ExitStatus status;
    if (!testsupport::waitForExit(&child, 20000, &status)) return r;
    r.output = testsupport::readOutput(child);
    r.code = status.exited ? status.code : -1;
    return r;
}

Outcome ctl(const std::vector<std::string>& args) { return run("morvalenctl", args); }

bool startService(ChildProcess* service, const std::vector<std::string>& env) {
    std::vector<std::string> all = env;
    all.push_back("NOTIFY_SOCKET");
    return testsupport::startProcess(service, testsupport::binPath("morvalen"), {}, all) &&
           testsupport::waitForTcpPort(kPort, 10000);
}

// The first line of text that starts with prefix, without its line end; "" when none.
std::string lineStartingWith(const std::string& text, const std::string& prefix) {
    std::istringstream lines(text);
    std::string line;
    while (std::getline(lines, line)) {
        if (line.rfind(prefix, 0) == 0) return line;
    }
    return "";
}

}  // namespace

TEST(Tools, MorvalenctlExitsZeroOnlyForSuccess) {
    ChildProcess service;
    ASSERT_TRUE(startService(&service, {"LD_LIBRARY_PATH=" + testsupport::libDir() + "/doubles",
                                        "MORVALEN_DOUBLE_SCRIPT=DTC_XaPrepare=100,DTC_XaCommit=7,DTC_XaRollback=4,"
                                        "DTC_XaForget=-4"}))
        << testsupport::readOutput(service);
    Outcome start = ctl({"start", "exit-1:b"});
    EXPECT_EQ(start.code, 0) << start.output;
    EXPECT_EQ(ctl({"end", "exit-1:b"}).code, 0);
    Outcome prepare = ctl({"prepare", "exit-1:b"});
    EXPECT_EQ(prepare.code, 3) << prepare.output;  // rolled back, not prepared
    EXPECT_EQ(prepare.output, "prepare: XA_RBROLLBACK (100)\n");
    EXPECT_EQ(ctl({"commit", "exit-1:b"}).code, 4);    // XA_HEURCOM
    EXPECT_EQ(ctl({"rollback", "exit-1:b"}).code, 5);  // XA_RETRY
    EXPECT_EQ(ctl({"forget", "exit-1:b"}).code, 1);    // XAER_NOTA
    EXPECT_EQ(ctl({"query", "exit-1:b"}).code, 1);     // the commit ended the record
    // A cycle whose prepare is rolled back rolls back and says so.
    Outcome cycle = ctl({"cycle", "exit-2"});
    EXPECT_EQ(cycle.code, 3) << cycle.output;
    EXPECT_NE(cycle.output.find("rollback: XA_RETRY (4)\n"), std::string::npos) << cycle.output;
    // Usage and exchange failures.
    EXPECT_EQ(ctl({"prepare"}).code, 2);
    EXPECT_EQ(ctl({"--port", "1", "prepare", "exit-3"}).code, 2);
    Outcome help = ctl({"--help"});
    EXPECT_EQ(help.code, 0);
    EXPECT_NE(help.output.find("3 the branch was rolled back"), std::string::npos) << help.output;
}

TEST(Tools, AnXidPrintedByOneToolIsTakenByTheOther) {
    testsupport::TempDir data;
    std::string socket = "@morvalen-tools-e2e-" + std::to_string(getpid());
    ChildProcess dtcd;
    ASSERT_TRUE(testsupport::startDtcd(&dtcd, data.path, socket));
    ChildProcess service;
    ASSERT_TRUE(startService(&service, {"DTCD_SOCKET=" + socket, "LD_LIBRARY_PATH=" + testsupport::libDir()}));
    std::vector<std::string> dtcctlEnv = {"DTCD_SOCKET=" + socket};

    // Started in morvalenctl's own spelling, queried in recover's.
    EXPECT_EQ(ctl({"start", "tools-1:b1"}).code, 0);
    EXPECT_EQ(ctl({"query", "19798:0x746f6f6c732d31:0x6231"}).code, 0);
    EXPECT_EQ(ctl({"end", "0x746f6f6c732d31:0x6231"}).code, 0);
    EXPECT_EQ(ctl({"prepare", "tools-1:b1"}).code, 0);

    // recover's line, as printed, to dtcctl resolve.
    Outcome recover = ctl({"recover"});
    ASSERT_EQ(recover.code, 0) << recover.output;
    std::string fromRecover = lineStartingWith(recover.output, "19798:0x");
    EXPECT_EQ(fromRecover, "19798:0x746f6f6c732d31:0x6231") << recover.output;
    Outcome resolve = run("dtcctl", {"resolve", fromRecover, "commit"}, dtcctlEnv);
    EXPECT_EQ(resolve.code, 0) << resolve.output;
    EXPECT_EQ(resolve.output, "19798:746f6f6c732d31:6231 heuristically committed\n");

    // dtcctl list's spelling to morvalenctl: the heuristic outcome, then forget.
    Outcome list = run("dtcctl", {"list"}, dtcctlEnv);
    std::string fromList = lineStartingWith(list.output, "19798:");
    fromList = fromList.substr(0, fromList.find(' '));
    EXPECT_EQ(fromList, "19798:746f6f6c732d31:6231") << list.output;
    Outcome commit = ctl({"commit", fromList});
    EXPECT_EQ(commit.code, 4) << commit.output;
    EXPECT_EQ(commit.output, "commit: XA_HEURCOM (7)\n");
    EXPECT_EQ(ctl({"forget", fromList}).code, 0);
    // And dtcctl takes morvalenctl's text spelling (default format 19798).
    Outcome unknown = run("dtcctl", {"resolve", "tools-1:b1", "abort"}, dtcctlEnv);
    EXPECT_EQ(unknown.code, 1);
    EXPECT_EQ(unknown.output, "dtcctl: no such branch: tools-1:b1\n");
    Outcome garbage = run("dtcctl", {"resolve", "19798:0xzz:", "abort"}, dtcctlEnv);
    EXPECT_EQ(garbage.output, "dtcctl: not an XID: 19798:0xzz:\n");
}
