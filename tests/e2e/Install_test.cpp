// Install (-i) and removal (-u) as the operator runs them, in a private mount
// namespace: a tmpfs over /etc/systemd/system holds the units, a tmpfs over
// /run decides whether the service manager "runs" (/run/systemd/system), and
// the manager itself is a mock of org.freedesktop.systemd1 on a private
// dbus-daemon, reached through DBUS_SYSTEM_BUS_ADDRESS. Nothing on the host
// is touched.
#include <gtest/gtest.h>

#include <climits>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include <sched.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <unistd.h>

#include "support/Process.h"

namespace {

using testsupport::ChildProcess;

constexpr int kBoundMs = 30000;
const std::string kUnit = "/etc/systemd/system/Morvalen.service";
const std::string kLink = "/etc/systemd/system/multi-user.target.wants/Morvalen.service";

std::string readFile(const std::string& path) {
    std::ifstream in(path);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
}

bool exists(const std::string& path) {
    struct stat info;
    return lstat(path.c_str(), &info) == 0;
}

// Moves the test process into a mount namespace of its own with empty unit
// and runtime directories; the manager "runs" when managerRunning. False (with
// the reason) where namespaces or mounts are not allowed.
bool enterPrivateManagerDirectories(bool managerRunning, std::string* why) {
    if (!exists("/etc/systemd/system")) {
        *why = "no /etc/systemd/system on this machine";
        return false;
    }
    if (unshare(CLONE_NEWNS) != 0) {
        *why = std::string("unshare(CLONE_NEWNS): ") + strerror(errno);
        return false;
    }
    if (mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0 ||
        mount("tmpfs", "/etc/systemd/system", "tmpfs", 0, "mode=0755") != 0 ||
        mount("tmpfs", "/run", "tmpfs", 0, "mode=0755") != 0) {
        *why = std::string("mount: ") + strerror(errno);
        return false;
    }
    if (managerRunning) std::filesystem::create_directories("/run/systemd/system");
    return true;
}

#define ENTER_NAMESPACE(running)                                                  \
    do {                                                                          \
        std::string why;                                                          \
        if (!enterPrivateManagerDirectories(running, &why)) GTEST_SKIP() << why; \
    } while (0)

struct Outcome {
    std::string output;
    int code = -1;
};

// Runs a program to its end; its output and exit code.
Outcome run(const std::string& program, const std::vector<std::string>& args, const std::vector<std::string>& env = {}) {
    Outcome result;
    ChildProcess child;
    if (!testsupport::startProcess(&child, program, args, env)) return result;
    testsupport::ExitStatus status;
    if (!testsupport::waitForExit(&child, kBoundMs, &status)) {
        result.output = "<still running> " + testsupport::readOutput(child);
        return result;
    }
    if (status.exited) result.code = status.code;
    result.output = testsupport::readOutput(child);
    return result;
}

Outcome morvalen(const std::string& option, const std::vector<std::string>& env = {}) {
    return run(testsupport::binPath("morvalen"), {option}, env);
}

std::string canonical(const std::string& path) {
    char resolved[PATH_MAX];
    return realpath(path.c_str(), resolved) != nullptr ? resolved : path;
}

std::string expectedUnit(const std::string& execStart) {
    return "[Unit]\n"
           "Description=Orvanthe\n"
           "Wants=dtcd.service\n"
           "After=dtcd.service\n"
           "\n[Service]\n"
           "Type=notify\n"
           "ExecStart=" + execStart + "\n"
           "StandardOutput=null\n"
           "Restart=no\n"
           "\n[Install]\n"
           "WantedBy=multi-user.target\n";
}

// A private bus with the mock manager on it.
struct MockManager {
    testsupport::TempDir dir;
    ChildProcess daemon;
    ChildProcess mock;
    std::string address;  // for DBUS_SYSTEM_BUS_ADDRESS
    std::string record;   // the mock's call record

    std::string env() const { return "DBUS_SYSTEM_BUS_ADDRESS=" + address; }
    std::string calls() const { return readFile(record); }
};

// Starts dbus-daemon with a configuration of its own, then the mock with args.
bool startMockManager(MockManager* m, const std::vector<std::string>& mockArgs) {
    if (m->dir.path.empty()) return false;
    std::string socketPath = m->dir.path + "/bus";
    std::string config = m->dir.path + "/bus.conf";
    std::ofstream(config) << "<!DOCTYPE busconfig PUBLIC \"-//freedesktop//DTD D-Bus Bus Configuration 1.0//EN\"\n"
                             " \"http://www.freedesktop.org/standards/dbus/1.0/busconfig.dtd\">\n"
                             "<busconfig>\n"
                             "  <type>custom</type>\n"
                             "  <listen>unix:path=" << socketPath << "</listen>\n"
                             "  <auth>EXTERNAL</auth>\n"
                             "  <policy context=\"default\">\n"
                             "    <allow user=\"*\"/>\n"
                             "    <allow own=\"*\"/>\n"
                             "    <allow send_destination=\"*\"/>\n"
                             "    <allow receive_sender=\"*\"/>\n"
                             "  </policy>\n"
                             "</busconfig>\n";
    if (!testsupport::startProcess(&m->daemon, "/usr/bin/dbus-daemon",
                                   {"--config-file=" + config, "--nofork", "--nopidfile", "--nosyslog"}))
        return false;
    // The socket appears once the daemon listens; poll with a bound.
    for (int waited = 0; !exists(socketPath); waited += 10) {
        if (waited > kBoundMs) return false;
        usleep(10 * 1000);
    }
    m->address = "unix:path=" + socketPath;
    m->record = m->dir.path + "/calls";
    std::vector<std::string> args = mockArgs;
    args.push_back("--record=" + m->record);
    if (!testsupport::startProcess(&m->mock, testsupport::binPath("mock-systemd1"), args, {m->env()})) return false;
    return testsupport::waitForOutput(m->mock, "ready", kBoundMs);
}

#define START_MOCK(m, ...)                                                                  \
    do {                                                                                    \
        if (access("/usr/bin/dbus-daemon", X_OK) != 0) GTEST_SKIP() << "no dbus-daemon";  \
        ASSERT_TRUE(startMockManager(&(m), __VA_ARGS__)) << testsupport::readOutput((m).mock); \
    } while (0)

TEST(Install, InstallWritesAnEnabledUnitOnceAndRemovalUndoesIt) {
    ENTER_NAMESPACE(false);
    Outcome installed = morvalen("-I");
    EXPECT_EQ(installed.output, "Orvanthe installed.\n");
    EXPECT_EQ(installed.code, 0);
    EXPECT_EQ(readFile(kUnit), expectedUnit(canonical(testsupport::binPath("morvalen"))));
    struct stat info;
    ASSERT_EQ(stat(kUnit.c_str(), &info), 0);
    EXPECT_EQ(info.st_mode & 07777, 0644u);
    char target[PATH_MAX] = {};
    ASSERT_GT(readlink(kLink.c_str(), target, sizeof target - 1), 0);
    EXPECT_STREQ(target, kUnit.c_str());

    // A second install changes nothing.
    std::string before = readFile(kUnit);
    Outcome again = morvalen("/i");
    EXPECT_EQ(again.output, "CreateService failed - File exists (0x11)\n");
    EXPECT_EQ(again.code, 0);
    EXPECT_EQ(readFile(kUnit), before);

    Outcome removed = morvalen("/U");
    EXPECT_EQ(removed.output, "Orvanthe removed.\n") << "no manager runs: nothing to stop";
    EXPECT_FALSE(exists(kUnit));
    EXPECT_FALSE(exists(kLink));

    Outcome missing = morvalen("-u");
    EXPECT_EQ(missing.output, "OpenService failed - No such file or directory (0x2)\n");
    EXPECT_EQ(missing.code, 0);
}

// A copy of morvalen in a directory of the given name (with the libraries it
// links found through LD_LIBRARY_PATH); its canonical path.
std::string copyMorvalenInto(const testsupport::TempDir& dir, const std::string& name) {
    std::string directory = canonical(dir.path) + "/" + name;
    std::filesystem::create_directories(directory);
    std::string copy = directory + "/morvalen";
    std::filesystem::copy_file(testsupport::binPath("morvalen"), copy);
    return copy;
}

TEST(Install, ExecStartQuotesAPathWithBlanksAndRefusesOneTheManagerWouldNotRun) {
    ENTER_NAMESPACE(false);
    testsupport::TempDir dir;
    ASSERT_FALSE(dir.path.empty());
    std::vector<std::string> env = {"LD_LIBRARY_PATH=" + testsupport::libDir()};
    std::string awkward = copyMorvalenInto(dir, "my  dir %i $x");
    Outcome installed = run(awkward, {"-i"}, env);
    ASSERT_EQ(installed.output, "Orvanthe installed.\n");
    std::string execStart = "\"" + canonical(dir.path) + "/my  dir %%i $x/morvalen\"";
    EXPECT_EQ(readFile(kUnit), expectedUnit(execStart));

    // systemd's own parser agrees, where it is installed: the command resolves
    // to the copy (it checks that the file exists and is executable).
    if (access("/usr/bin/systemd-analyze", X_OK) == 0) {
        Outcome verified = run("/usr/bin/systemd-analyze", {"verify", "--man=no", kUnit});
        EXPECT_EQ(verified.code, 0) << verified.output;
    }
    ASSERT_EQ(morvalen("-u").output, "Orvanthe removed.\n");

    // Quotes, backslashes and control characters it refuses in an executable's
    // name, however escaped: such a unit would never start.
    for (const char* name : {"quote\"d", "back\\slash", "apo's", "tab\there"}) {
        Outcome refused = run(copyMorvalenInto(dir, name), {"-i"}, env);
        EXPECT_EQ(refused.output, "Unable to install Orvanthe - Invalid argument (0x16)\n") << name;
        EXPECT_FALSE(exists(kUnit)) << name;
    }
}

TEST(Install, OnlyAnAdministratorMayInstallOrRemove) {
    ENTER_NAMESPACE(false);
    // A user namespace without a mapping runs us as the overflow user, not root.
    if (run("/usr/bin/unshare", {"--user", "true"}).code != 0) GTEST_SKIP() << "no user namespaces";
    std::string program = testsupport::binPath("morvalen");
    Outcome install = run("/usr/bin/unshare", {"--user", program, "-i"});
    EXPECT_EQ(install.output, "OpenSCManager failed - Permission denied (0xd)\n");
    EXPECT_EQ(install.code, 0);
    EXPECT_FALSE(exists(kUnit));
    Outcome remove = run("/usr/bin/unshare", {"--user", program, "-u"});
    EXPECT_EQ(remove.output, "OpenSCManager failed - Permission denied (0xd)\n");

    // Root, but the unit directory cannot be written.
    ASSERT_EQ(mount(nullptr, "/etc/systemd/system", nullptr, MS_REMOUNT | MS_RDONLY, nullptr), 0);
    EXPECT_EQ(morvalen("-i").output, "OpenSCManager failed - Read-only file system (0x1e)\n");
    EXPECT_EQ(morvalen("-u").output, "OpenSCManager failed - Read-only file system (0x1e)\n");
}

TEST(Install, ARunningManagerIsReloadedAndAFailedReloadUndoesTheInstall) {
    ENTER_NAMESPACE(true);
    {
        MockManager manager;
        START_MOCK(manager, {"--state=none"});
        EXPECT_EQ(morvalen("-i", {manager.env()}).output, "Orvanthe installed.\n");
        EXPECT_EQ(manager.calls(), "Reload\n") << "never started, only reloaded";
        Outcome removed = morvalen("-u", {manager.env()});
        EXPECT_EQ(removed.output, "Orvanthe removed.\n") << "a unit the manager does not hold is not stopped";
        EXPECT_EQ(manager.calls(), "Reload\nGetUnit Morvalen.service\nReload\n");
    }
    {
        MockManager manager;
        START_MOCK(manager, {"--state=none", "--deny=Reload"});
        EXPECT_EQ(morvalen("-i", {manager.env()}).output, "CreateService failed - Permission denied (0xd)\n");
        EXPECT_FALSE(exists(kUnit));
        EXPECT_FALSE(exists(kLink));
    }
    // The manager should run but cannot be reached: no bus, or no manager on it.
    Outcome noBus = morvalen("-i", {"DBUS_SYSTEM_BUS_ADDRESS=unix:path=/run/no-such-bus"});
    EXPECT_EQ(noBus.output, "OpenSCManager failed - No such file or directory (0x2)\n");
    EXPECT_EQ(morvalen("-u", {"DBUS_SYSTEM_BUS_ADDRESS=unix:path=/run/no-such-bus"}).output,
              "OpenSCManager failed - No such file or directory (0x2)\n");
    EXPECT_FALSE(exists(kUnit));
}

// Installs with no manager running, then lets it "run" for the removal.
void installOffline() {
    std::filesystem::remove_all("/run/systemd");
    ASSERT_EQ(morvalen("-i").output, "Orvanthe installed.\n");
    std::filesystem::create_directories("/run/systemd/system");
}

TEST(Install, RemovalStopsARunningServicePrintingADotPerFurtherSecond) {
    ENTER_NAMESPACE(false);
    installOffline();
    MockManager manager;
    START_MOCK(manager, {"--state=active", "--stop-polls=2"});
    Outcome removed = morvalen("-u", {manager.env()});
    EXPECT_EQ(removed.output, "Stopping Orvanthe...\nOrvanthe stopped.\nOrvanthe removed.\n") << manager.calls();
    EXPECT_EQ(removed.code, 0);
    std::string calls = manager.calls();
    EXPECT_NE(calls.find("ActiveState active\n"), std::string::npos) << calls;
    EXPECT_NE(calls.find("StopUnit Morvalen.service replace\n"), std::string::npos) << calls;
    EXPECT_LT(calls.find("StopUnit"), calls.find("ActiveState inactive")) << calls;
    EXPECT_EQ(calls.substr(calls.size() - 7), "Reload\n") << "reloaded after the unit is gone";
    EXPECT_FALSE(exists(kUnit));
    EXPECT_FALSE(exists(kLink));
}

TEST(Install, RemovalOfAnInactiveOrUnstoppableServiceStopsNothing) {
    ENTER_NAMESPACE(false);
    installOffline();
    {
        MockManager manager;
        START_MOCK(manager, {"--state=inactive"});
        EXPECT_EQ(morvalen("-u", {manager.env()}).output, "Orvanthe removed.\n");
        EXPECT_EQ(manager.calls().find("StopUnit"), std::string::npos) << manager.calls();
    }
    installOffline();
    {
        // The stop cannot be queued: nothing is printed, removal goes on.
        MockManager manager;
        START_MOCK(manager, {"--state=active", "--deny=StopUnit"});
        EXPECT_EQ(morvalen("-u", {manager.env()}).output, "Orvanthe removed.\n");
        EXPECT_FALSE(exists(kUnit));
    }
}

TEST(Install, RemovalGivesUpOnAServiceThatNeverStopsAfterItsStopTimeOutAndAMargin) {
    ENTER_NAMESPACE(false);
    installOffline();
    MockManager manager;
    // A 1 s stop time-out: the wait ends after 1 + 5 seconds.
    START_MOCK(manager, {"--state=active", "--stop-polls=-1", "--timeout-usec=1000000"});
    Outcome removed = morvalen("-u", {manager.env()});
    EXPECT_EQ(removed.output, "Stopping Orvanthe......\nOrvanthe failed to stop.\nOrvanthe removed.\n");
    EXPECT_EQ(removed.code, 0);
    EXPECT_FALSE(exists(kUnit));
}

}  // namespace
