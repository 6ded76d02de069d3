// See DtcHarness.h.
#include "DtcHarness.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <random>
#include <sstream>

#include "support/Dtcd.h"

char kOpenString[] = "TM=Morvalen,RmRecoveryGuid=7592BBA9-26B4-421A-AE43-6E27A5BFD134";

namespace {

std::atomic<int> counter{0};

std::string binDir() {
    const char* dir = getenv("MORVALEN_BIN_DIR");
    return dir != nullptr ? dir : "";
}

std::string readFile(const std::string& path) {
    std::ifstream in(path);
    std::stringstream s;
    s << in.rdbuf();
    return s.str();
}

pid_t spawn(const std::string& program, const std::vector<std::string>& args, const std::string& socket,
            const std::string& notifySocket, const std::string& outPath, bool mergeOut) {
    pid_t pid = fork();
    if (pid != 0) return pid;
    setenv("DTCD_SOCKET", socket.c_str(), 1);
    if (notifySocket.empty())
        unsetenv("NOTIFY_SOCKET");
    else
        setenv("NOTIFY_SOCKET", notifySocket.c_str(), 1);
    int fd = open(outPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    if (fd >= 0) {
        dup2(fd, 2);
        if (mergeOut) dup2(fd, 1);
        close(fd);
    }
    std::vector<char*> argv;
    argv.push_back(const_cast<char*>(program.c_str()));
    for (const std::string& a : args) argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);
    execv(program.c_str(), argv.data());
    _exit(127);
}

} // namespace

std::string uniqueSocketName() {
    // The process id alone may come back (ids wrap) while a daemon of an
    // earlier test that timed out still holds its name: a random part per
    // process keeps such a leftover from failing later tests.
    static const unsigned salt = std::random_device{}();
    return "@dtcd-test-" + std::to_string(getpid()) + "-" + std::to_string(salt) + "-" +
           std::to_string(counter.fetch_add(1));
}

std::string makeTempDir() {
    const char* base = getenv("TMPDIR");
    std::string pattern = std::string(base != nullptr ? base : "/tmp") + "/dtc-test-XXXXXX";
    std::vector<char> buffer(pattern.begin(), pattern.end());
    buffer.push_back('\0');
    char* made = mkdtemp(buffer.data());
    return made != nullptr ? made : "";
}

bool startDaemon(Daemon* d, const std::vector<std::string>& extraArgs) {
    if (d->socket.empty()) d->socket = uniqueSocketName();
    if (d->dataDir.empty()) d->dataDir = makeTempDir() + "/data";
    d->stderrPath = d->dataDir + ".stderr";
    std::vector<std::string> args = {"--data-dir", d->dataDir};
    args.insert(args.end(), extraArgs.begin(), extraArgs.end());
    bool ready = testsupport::dtcdStartReady(d->socket, 10000, [&](const std::string& notifySocket) {
        d->pid = spawn(binDir() + "/dtcd", args, d->socket, notifySocket, d->stderrPath, false);
        return d->pid;
    });
    int status = 0;
    if (!ready && d->pid > 0 && waitpid(d->pid, &status, WNOHANG) == d->pid) {
        d->pid = -1;  // it exited: nothing to stop
    }
    return ready;
}

// The variables are set only around the spawn, which copies them.
bool startDaemonWithFlushFault(Daemon* d, const std::string& trigger) {
    const char* binDir = std::getenv("MORVALEN_BIN_DIR");
    if (binDir == nullptr) return false;
    setenv("LD_PRELOAD", (std::string(binDir) + "/../lib/libdtc_flush_fault.so").c_str(), 1);
    setenv("FLUSH_FAULT_FILE", trigger.c_str(), 1);
    // Under AddressSanitizer the preloaded library comes before the
    // sanitizer's runtime, which it would otherwise refuse.
    const char* asan = std::getenv("ASAN_OPTIONS");
    std::string asanBefore = asan != nullptr ? asan : "";
    setenv("ASAN_OPTIONS", (asanBefore + (asanBefore.empty() ? "" : ":") + "verify_asan_link_order=0").c_str(), 1);
    bool started = startDaemon(d);
    unsetenv("LD_PRELOAD");
    unsetenv("FLUSH_FAULT_FILE");
    if (asan != nullptr) {
        setenv("ASAN_OPTIONS", asanBefore.c_str(), 1);
    } else {
        unsetenv("ASAN_OPTIONS");
    }
    return started;
}

int daemonExitCode(Daemon* d, int seconds) {
    for (int i = 0; i < seconds * 100; ++i) {
        int status = 0;
        if (waitpid(d->pid, &status, WNOHANG) == d->pid) {
            d->pid = -1;
            return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
        }
        usleep(10000); // another process, not a thread of ours
    }
    return -2;
}

std::set<std::string> recoverNames(int rmid) {
    std::set<std::string> names;
    XID list[8];
    int flags = TMSTARTRSCAN;
    for (;;) {
        int n = DTC_XaRecover(list, 8, rmid, flags);
        if (n < 0) return {"<recover failed: " + std::to_string(n) + ">"};
        for (int i = 0; i < n; ++i) names.insert(std::string(list[i].data, static_cast<size_t>(list[i].gtrid_length)));
        if (n < 8) break;
        flags = TMNOFLAGS;
    }
    return names;
}

int prepareNew(const std::string& gtrid, int rmid) {
    XID xid = makeXid(gtrid);
    int rc = DTC_XaStart(&xid, rmid, TMNOFLAGS);
    if (rc == XA_OK) rc = DTC_XaEnd(&xid, rmid, TMSUCCESS);
    if (rc == XA_OK) rc = DTC_XaPrepare(&xid, rmid, TMNOFLAGS);
    return rc;
}

int runDaemonToExit(const std::vector<std::string>& args, const std::string& socket, std::string* err) {
    std::string out = makeTempDir() + "/stderr";
    pid_t pid = spawn(binDir() + "/dtcd", args, socket, "", out, false);
    int status = 0;
    // One that is still running after ten seconds did not refuse: stop it.
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (waitpid(pid, &status, WNOHANG) == 0) {
        if (std::chrono::steady_clock::now() > deadline) {
            kill(pid, SIGKILL);
            waitpid(pid, &status, 0);
            break;
        }
        poll(nullptr, 0, 10);
    }
    *err = readFile(out);
    std::error_code ec;
    std::filesystem::remove_all(std::filesystem::path(out).parent_path(), ec);
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

int stopDaemon(Daemon* d) {
    if (d->pid <= 0) return -1;
    kill(d->pid, SIGTERM);
    int status = 0;
    waitpid(d->pid, &status, 0);
    d->pid = -1;
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

void killDaemon(Daemon* d) {
    if (d->pid <= 0) return;
    kill(d->pid, SIGKILL);
    int status = 0;
    waitpid(d->pid, &status, 0);
    d->pid = -1;
}

int runCtl(const Daemon& d, const std::vector<std::string>& args, std::string* out) {
    std::string path = makeTempDir() + "/out";
    pid_t pid = spawn(binDir() + "/dtcctl", args, d.socket, "", path, true);
    int status = 0;
    waitpid(pid, &status, 0);
    *out = readFile(path);
    std::error_code ec;
    std::filesystem::remove_all(std::filesystem::path(path).parent_path(), ec);
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

void removeDaemonFiles(const Daemon& d) {
    std::error_code ec;
    std::filesystem::path dir(d.dataDir);
    std::filesystem::remove_all(dir.parent_path(), ec);
}

void useDaemon(const Daemon& d) { setenv("DTCD_SOCKET", d.socket.c_str(), 1); }

XID makeXid(const std::string& gtrid, const std::string& bqual) {
    XID xid{};
    xid.formatID = 42;
    xid.gtrid_length = static_cast<int32_t>(gtrid.size());
    xid.bqual_length = static_cast<int32_t>(bqual.size());
    std::memcpy(xid.data, gtrid.data(), gtrid.size());
    std::memcpy(xid.data + gtrid.size(), bqual.data(), bqual.size());
    return xid;
}
