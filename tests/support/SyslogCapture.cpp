// Capturing the system log of a child process through a private /dev/log.
#include "support/SyslogCapture.h"

#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <regex>

#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

namespace testsupport {
namespace {

using Clock = std::chrono::steady_clock;

// Run by sh inside the new mount namespace: $1 is the capture directory, the
// rest is the command. /dev becomes a tmpfs with the common device nodes bound
// from the real /dev, and /dev/log becomes the capture socket.
constexpr const char* kNamespaceScript = R"(set -e
d=$1; shift
mount --make-rprivate /
mkdir -p "$d/olddev"
mount --rbind /dev "$d/olddev"
mount -t tmpfs -o mode=755 morvalen-dev /dev
for n in null zero full random urandom tty ptmx; do
  if [ -e "$d/olddev/$n" ]; then : > "/dev/$n"; mount --bind "$d/olddev/$n" "/dev/$n"; fi
done
for n in pts shm mqueue; do
  if [ -d "$d/olddev/$n" ]; then mkdir "/dev/$n"; mount --rbind "$d/olddev/$n" "/dev/$n"; fi
done
ln -s /proc/self/fd /dev/fd; ln -s fd/0 /dev/stdin; ln -s fd/1 /dev/stdout; ln -s fd/2 /dev/stderr
: > /dev/log
mount --bind "$d/log" /dev/log
exec "$@"
)";

// The full path of a program found on PATH, or empty.
std::string findOnPath(const std::string& name) {
    const char* path = getenv("PATH");
    std::string dirs = path != nullptr ? path : "/usr/bin:/bin";
    size_t start = 0;
    while (start <= dirs.size()) {
        size_t end = dirs.find(':', start);
        if (end == std::string::npos) {
            end = dirs.size();
        }
        std::string candidate = dirs.substr(start, end - start) + "/" + name;
        if (end > start && access(candidate.c_str(), X_OK) == 0) {
            return candidate;
        }
        start = end + 1;
    }
    return "";
}

void readLoop(SyslogCapture* capture) {
    std::vector<char> buffer(65536);
    while (!capture->stopping.load()) {
        pollfd waiting{capture->fd, POLLIN, 0};
        // A short poll so that the destructor's flag is seen promptly.
        if (poll(&waiting, 1, 20) <= 0) {
            continue;
        }
        ssize_t got = recv(capture->fd, buffer.data(), buffer.size(), MSG_DONTWAIT);
        if (got <= 0) {
            continue;
        }
        SyslogEntry entry = parseSyslogDatagram(std::string(buffer.data(), static_cast<size_t>(got)));
        std::lock_guard<std::mutex> hold(capture->mutex);
        capture->entries.push_back(std::move(entry));
    }
}

}  // namespace

SyslogCapture::SyslogCapture() {
    if (dir.path.empty()) {
        return;
    }
    std::string socketPath = dir.path + "/log";
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    if (socketPath.size() >= sizeof address.sun_path) {
        return;
    }
    memcpy(address.sun_path, socketPath.c_str(), socketPath.size() + 1);
    fd = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (fd < 0) {
        return;
    }
    int bufferBytes = 4 * 1024 * 1024;
    setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &bufferBytes, sizeof bufferBytes);
    if (bind(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0) {
        return;
    }
    reader = std::thread(readLoop, this);
    ready = true;
}

SyslogCapture::~SyslogCapture() {
    stopping.store(true);
    if (reader.joinable()) {
        reader.join();
    }
    if (fd >= 0) {
        close(fd);
    }
}

bool syslogCaptureSupported() {
    static const bool supported = [] {
        if (geteuid() != 0 || findOnPath("unshare").empty()) {
            return false;
        }
        ChildProcess probe;
        if (!startProcess(&probe, findOnPath("unshare"), {"-m", "--", "true"})) {
            return false;
        }
        ExitStatus status;
        return waitForExit(&probe, 10000, &status) && status.exited && status.code == 0;
    }();
    return supported;
}

SyslogEntry parseSyslogDatagram(const std::string& datagram) {
    static const std::regex shape(R"(^<(\d+)>[A-Z][a-z]{2} [ \d]\d \d\d:\d\d:\d\d ([^\[:]+)(\[(\d+)\])?: ([\s\S]*)$)");
    SyslogEntry entry;
    entry.raw = datagram;
    std::smatch match;
    if (!std::regex_match(datagram, match, shape)) {
        entry.text = datagram;
        return entry;
    }
    int priority = std::stoi(match[1].str());
    entry.facility = priority / 8;
    entry.level = priority % 8;
    entry.ident = match[2].str();
    entry.pid = match[4].matched ? std::stoi(match[4].str()) : 0;
    entry.text = match[5].str();
    return entry;
}

bool startProcessWithSyslogCapture(ChildProcess* child, const SyslogCapture& capture, const std::string& program,
                                   const std::vector<std::string>& args,
                                   const std::vector<std::string>& environment) {
    std::string unshare = findOnPath("unshare");
    if (!capture.ready || unshare.empty()) {
        return false;
    }
    std::vector<std::string> wrapped{"-m", "--", "sh", "-c", kNamespaceScript, "syslog-capture", capture.dir.path,
                                     program};
    wrapped.insert(wrapped.end(), args.begin(), args.end());
    return startProcess(child, unshare, wrapped, environment);
}

std::vector<SyslogEntry> syslogEntries(SyslogCapture& capture) {
    std::lock_guard<std::mutex> hold(capture.mutex);
    return capture.entries;
}

bool syslogWaitFor(SyslogCapture& capture, const std::string& text, int timeoutMs) {
    auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
    for (;;) {
        {
            std::lock_guard<std::mutex> hold(capture.mutex);
            for (const SyslogEntry& entry : capture.entries) {
                if (entry.text.find(text) != std::string::npos) {
                    return true;
                }
            }
        }
        if (Clock::now() >= deadline) {
            return false;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
}

}  // namespace testsupport
