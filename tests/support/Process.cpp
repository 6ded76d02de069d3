// Child processes for end-to-end tests: posix_spawn with the output in a
// temporary file, bounded polling waits, kill on destruction.
#include "support/Process.h"

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <thread>

#include <arpa/inet.h>
#include <dirent.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include "support/Dtcd.h"

extern char** environ;

namespace testsupport {
namespace {

using Clock = std::chrono::steady_clock;
constexpr auto kPollStep = std::chrono::milliseconds(5);

std::string fromEnvironment(const char* name) {
    const char* value = getenv(name);
    return value != nullptr ? value : "";
}

std::string tempRoot() {
    std::string root = fromEnvironment("TMPDIR");
    return root.empty() ? "/tmp" : root;
}

// The test's environment with the given entries added, replaced or removed.
std::vector<std::string> mergedEnvironment(const std::vector<std::string>& changes) {
    std::vector<std::string> merged;
    for (char** entry = environ; *entry != nullptr; ++entry) {
        merged.emplace_back(*entry);
    }
    for (const std::string& change : changes) {
        std::string name = change.substr(0, change.find('='));
        for (auto it = merged.begin(); it != merged.end();) {
            if (it->compare(0, name.size() + 1, name + "=") == 0) {
                it = merged.erase(it);
            } else {
                ++it;
            }
        }
        if (change.find('=') != std::string::npos) {
            merged.push_back(change);
        }
    }
    return merged;
}

std::vector<char*> pointers(std::vector<std::string>& strings) {
    std::vector<char*> result;
    for (std::string& s : strings) {
        result.push_back(s.data());
    }
    result.push_back(nullptr);
    return result;
}

// waitpid without blocking; true when the child has been reaped now.
bool reapIfExited(ChildProcess* child) {
    if (child->reaped) {
        return true;
    }
    if (child->pid <= 0) {
        return false;
    }
    int raw = 0;
    pid_t done = waitpid(child->pid, &raw, WNOHANG);
    if (done != child->pid) {
        return false;
    }
    child->reaped = true;
    child->status.exited = WIFEXITED(raw);
    child->status.code = WIFEXITED(raw) ? WEXITSTATUS(raw) : -1;
    child->status.signal = WIFSIGNALED(raw) ? WTERMSIG(raw) : 0;
    return true;
}

// True while the child has not exited (a zombie counts as exited; it is
// left for waitForExit to reap).
bool isRunning(const ChildProcess& child) {
    if (child.pid <= 0 || child.reaped) {
        return false;
    }
    siginfo_t info{};
    if (waitid(P_PID, static_cast<id_t>(child.pid), &info, WEXITED | WNOHANG | WNOWAIT) != 0) {
        return false;
    }
    return info.si_pid == 0;
}

}  // namespace

std::string binPath(const std::string& name) {
    std::string dir = fromEnvironment("MORVALEN_BIN_DIR");
    return dir.empty() ? name : dir + "/" + name;
}

std::string libDir() {
    // The coordinator's tests are given the programs' directory only; the
    // libraries are built beside it.
    std::string dir = fromEnvironment("MORVALEN_LIB_DIR");
    std::string bin = fromEnvironment("MORVALEN_BIN_DIR");
    return !dir.empty() || bin.empty() ? dir : bin + "/../lib";
}

std::string sourceDir() {
    return fromEnvironment("MORVALEN_SOURCE_DIR");
}

TempDir::TempDir() {
    std::string pattern = tempRoot() + "/morvalen-test-XXXXXX";
    if (mkdtemp(pattern.data()) != nullptr) {
        path = pattern;
    }
}

TempDir::~TempDir() {
    if (!path.empty()) {
        std::error_code ignored;
        std::filesystem::remove_all(path, ignored);
    }
}

ChildProcess::~ChildProcess() {
    if (pid > 0 && !reaped) {
        kill(-pid, SIGKILL);  // its whole process group
        kill(pid, SIGKILL);
        int raw = 0;
        while (waitpid(pid, &raw, 0) < 0 && errno == EINTR) {
        }
    }
    if (!outputPath.empty()) {
        unlink(outputPath.c_str());
    }
}

bool startProcess(ChildProcess* child, const std::string& program, const std::vector<std::string>& args,
                  const std::vector<std::string>& environment) {
    std::string outputPath = tempRoot() + "/morvalen-output-XXXXXX";
    int output = mkostemp(outputPath.data(), O_CLOEXEC);
    if (output < 0) {
        fprintf(stderr, "startProcess: cannot create an output file: %s\n", strerror(errno));
        return false;
    }
    std::vector<std::string> argStrings{program};
    argStrings.insert(argStrings.end(), args.begin(), args.end());
    std::vector<std::string> envStrings = mergedEnvironment(environment);
    std::vector<char*> argv = pointers(argStrings);
    std::vector<char*> envp = pointers(envStrings);

    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_adddup2(&actions, output, 1);
    posix_spawn_file_actions_adddup2(&actions, output, 2);
    posix_spawnattr_t attributes;
    posix_spawnattr_init(&attributes);
    posix_spawnattr_setpgroup(&attributes, 0);
    // The test runner may block or ignore signals; the child starts clean.
    sigset_t none;
    sigemptyset(&none);
    sigset_t all;
    sigfillset(&all);
    posix_spawnattr_setsigmask(&attributes, &none);
    posix_spawnattr_setsigdefault(&attributes, &all);
    posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETPGROUP | POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF);

    pid_t pid = -1;
    int error = posix_spawn(&pid, program.c_str(), &actions, &attributes, argv.data(), envp.data());
    posix_spawn_file_actions_destroy(&actions);
    posix_spawnattr_destroy(&attributes);
    close(output);
    if (error != 0) {
        fprintf(stderr, "startProcess: cannot start %s: %s\n", program.c_str(), strerror(error));
        unlink(outputPath.c_str());
        return false;
    }
    child->pid = pid;
    child->outputPath = outputPath;
    child->reaped = false;
    child->status = ExitStatus{};
    return true;
}

std::string readOutput(const ChildProcess& child) {
    std::ifstream file(child.outputPath, std::ios::binary);
    std::ostringstream content;
    content << file.rdbuf();
    return content.str();
}

bool waitForOutput(const ChildProcess& child, const std::string& text, int timeoutMs) {
    auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
    for (;;) {
        if (readOutput(child).find(text) != std::string::npos) {
            return true;
        }
        // One more look after the child is gone: its last line may have come
        // just before it exited.
        if (!isRunning(child)) {
            return readOutput(child).find(text) != std::string::npos;
        }
        if (Clock::now() >= deadline) {
            return false;
        }
        std::this_thread::sleep_for(kPollStep);
    }
}

bool sendSignal(const ChildProcess& child, int signal) {
    if (child.pid <= 0 || child.reaped) {
        return false;
    }
    return kill(child.pid, signal) == 0;
}

bool waitForExit(ChildProcess* child, int timeoutMs, ExitStatus* status) {
    auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
    for (;;) {
        if (reapIfExited(child)) {
            *status = child->status;
            return true;
        }
        if (child->pid <= 0 || Clock::now() >= deadline) {
            return false;
        }
        std::this_thread::sleep_for(kPollStep);
    }
}

bool startDtcd(ChildProcess* child, const std::string& dataDir, const std::string& socket,
               const std::vector<std::string>& extraArgs, int timeoutMs) {
    std::vector<std::string> args = {"--data-dir", dataDir};
    args.insert(args.end(), extraArgs.begin(), extraArgs.end());
    return dtcdStartReady(socket, timeoutMs, [&](const std::string& notifySocket) {
        bool started = startProcess(child, binPath("dtcd"), args,
                                    {"DTCD_SOCKET=" + socket, "NOTIFY_SOCKET=" + notifySocket});
        return started ? child->pid : -1;
    });
}

bool waitForTcpPort(uint16_t port, int timeoutMs) {
    auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
    for (;;) {
        int s = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        if (s >= 0) {
            sockaddr_in address{};
            address.sin_family = AF_INET;
            address.sin_port = htons(port);
            address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
            bool connected = connect(s, reinterpret_cast<const sockaddr*>(&address), sizeof address) == 0;
            close(s);
            if (connected) {
                return true;
            }
        }
        if (Clock::now() >= deadline) {
            return false;
        }
        std::this_thread::sleep_for(kPollStep);
    }
}

int threadsOf(pid_t pid) {
    std::ifstream status("/proc/" + std::to_string(pid) + "/status");
    std::string line;
    while (std::getline(status, line)) {
        if (line.rfind("Threads:", 0) == 0) {
            return std::stoi(line.substr(8));
        }
    }
    return -1;
}

int descriptorsOf(pid_t pid) {
    DIR* dir = ::opendir(("/proc/" + std::to_string(pid) + "/fd").c_str());
    if (dir == nullptr) {
        return -1;
    }
    int n = 0;
    while (dirent* entry = ::readdir(dir)) {
        n += entry->d_name[0] != '.' ? 1 : 0;
    }
    ::closedir(dir);
    return n;
}

// Polls (bounded) until the process is back to at most the given threads and
// descriptors.
bool backTo(pid_t pid, int threads, int descriptors) {
    for (int i = 0; i < 1000; ++i) {
        if (threadsOf(pid) <= threads && descriptorsOf(pid) <= descriptors) {
            return true;
        }
        ::usleep(10000);
    }
    return false;
}

}  // namespace testsupport
