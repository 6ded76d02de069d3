// dtcd: the transaction coordinator daemon. Parses the command line, claims
// the data directory (a lock file keeps a second daemon out), opens the store,
// reloads the prepared and heuristic branches, binds the socket named by
// DTCD_SOCKET (default the abstract name @dtcd), tells systemd it is ready and
// runs the event loop until SIGTERM or SIGINT.
#include <fcntl.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/signalfd.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <systemd/sd-daemon.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "Metrics.h"
#include "Server.h"

namespace {

const char kUsage[] =
    "usage: dtcd --data-dir DIR [--new-store] [--prepare-timeout MS] [--no-group-commit] [--metrics-listen ADDR]\n"
    "            [--store CONNINFO [--lease MS] [--lease-renew MS] [--standby-poll MS]]\n"
    "  --data-dir DIR      where the branch store lives (created if missing)\n"
    "  --store CONNINFO    keep the store in PostgreSQL (a libpq connection string or postgresql:// URI);\n"
    "                      dtcd processes sharing it elect one active coordinator, the others stand by\n"
    "  --lease MS          how long the active coordinator's lease lasts without renewal (default 10000)\n"
    "  --lease-renew MS    how often the active coordinator renews it (default 2000)\n"
    "  --standby-poll MS   how often a standby tries to take the lease (default 1000)\n"
    "  --new-store         set the existing store aside and start with an empty one\n"
    "  --prepare-timeout MS  phase one with enlisted resource managers gives up after MS (default 30000)\n"
    "  --no-group-commit   one database transaction per write (for measurements)\n"
    "  --metrics-listen ADDR  serve Prometheus metrics at http://ADDR/metrics (ADDR: IP:PORT, e.g. 127.0.0.1:9440)\n"
    "  DTCD_SOCKET         socket to listen on (default @dtcd, '@' = abstract name)";

struct Options {
    std::string dataDir;      // --data-dir
    bool groupCommit = true;  // cleared by --no-group-commit
    bool newStore = false;    // --new-store
    int64_t prepareTimeoutMs = 30000; // --prepare-timeout
    std::string metricsListen; // --metrics-listen, empty for no metrics endpoint
    std::string storeUrl;      // --store, empty for the SQLite store in the data directory
    int64_t leaseMs = 10000;   // --lease
    int64_t renewMs = 2000;    // --lease-renew
    int64_t pollMs = 1000;     // --standby-poll
};

// A whole number of milliseconds in [low, high].
bool parseMs(const char* text, int64_t low, int64_t high, int64_t* out) {
    char* end = nullptr;
    long long ms = std::strtoll(text, &end, 10);
    if (end == text || *end != '\0' || ms < low || ms > high) return false;
    *out = ms;
    return true;
}

bool parseOptions(int argc, char** argv, Options* options) {
    for (int i = 1; i < argc; ++i) {
        std::string arg = argv[i];
        if (arg == "--data-dir" && i + 1 < argc) {
            options->dataDir = argv[++i];
        } else if (arg.rfind("--data-dir=", 0) == 0) {
            options->dataDir = arg.substr(11);
        } else if (arg == "--prepare-timeout" && i + 1 < argc) {
            char* end = nullptr;
            long long ms = std::strtoll(argv[++i], &end, 10);
            if (end == argv[i] || *end != '\0' || ms < 1 || ms > 86400000) return false;
            options->prepareTimeoutMs = ms;
        } else if (arg == "--metrics-listen" && i + 1 < argc) {
            options->metricsListen = argv[++i];
        } else if (arg.rfind("--metrics-listen=", 0) == 0) {
            options->metricsListen = arg.substr(17);
        } else if (arg == "--store" && i + 1 < argc) {
            options->storeUrl = argv[++i];
            if (options->storeUrl.empty()) return false;
        } else if (arg.rfind("--store=", 0) == 0) {
            options->storeUrl = arg.substr(8);
            if (options->storeUrl.empty()) return false;
        } else if (arg == "--lease" && i + 1 < argc) {
            if (!parseMs(argv[++i], 500, 600000, &options->leaseMs)) return false;
        } else if (arg == "--lease-renew" && i + 1 < argc) {
            if (!parseMs(argv[++i], 50, 300000, &options->renewMs)) return false;
        } else if (arg == "--standby-poll" && i + 1 < argc) {
            if (!parseMs(argv[++i], 10, 60000, &options->pollMs)) return false;
        } else if (arg == "--new-store") {
            options->newStore = true;
        } else if (arg == "--no-group-commit") {
            options->groupCommit = false;
        } else {
            return false;
        }
    }
    // The renewal must come well within the part of the lease the coordinator
    // trusts (four fifths of it): at most half of that.
    if (options->renewMs * 2 > options->leaseMs * 4 / 5) return false;
    return !options->dataDir.empty();
}

// Creates the directory if missing and takes its lock; -1 with a message on failure.
int claimDataDir(const std::string& dir) {
    if (mkdir(dir.c_str(), 0700) != 0 && errno != EEXIST) {
        std::fprintf(stderr, "dtcd: cannot create data directory %s: %s\n", dir.c_str(), std::strerror(errno));
        return -1;
    }
    struct stat st {};
    if (stat(dir.c_str(), &st) != 0 || !S_ISDIR(st.st_mode)) {
        std::fprintf(stderr, "dtcd: data directory %s is not a directory\n", dir.c_str());
        return -1;
    }
    std::string lockPath = dir + "/dtcd.lock";
    int fd = open(lockPath.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
    if (fd < 0) {
        std::fprintf(stderr, "dtcd: cannot use data directory %s: %s\n", dir.c_str(), std::strerror(errno));
        return -1;
    }
    if (flock(fd, LOCK_EX | LOCK_NB) != 0) {
        std::fprintf(stderr, "dtcd: data directory %s is in use by another dtcd\n", dir.c_str());
        close(fd);
        return -1;
    }
    return fd;
}

// Binds and listens; -1 with a message when the name is taken or unusable.
int listenSocket() {
    sockaddr_un addr{};
    uint32_t length = 0;
    std::string name;
    if (!dtcwire::socketAddress(&addr, &length, &name)) {
        std::fprintf(stderr, "dtcd: socket name %s is too long\n", name.c_str());
        return -1;
    }
    int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (fd < 0) {
        std::fprintf(stderr, "dtcd: socket: %s\n", std::strerror(errno));
        return -1;
    }
    auto* sa = reinterpret_cast<sockaddr*>(&addr);
    int rc = bind(fd, sa, length);
    if (rc != 0 && errno == EADDRINUSE && name[0] != '@') {
        // A path left behind by a daemon that died is reused; a live one is not.
        int probe = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
        bool live = probe >= 0 && connect(probe, sa, length) == 0;
        if (probe >= 0) close(probe);
        if (!live) {
            unlink(name.c_str());
            rc = bind(fd, sa, length);
        } else {
            errno = EADDRINUSE;
        }
    }
    if (rc != 0) {
        if (errno == EADDRINUSE)
            std::fprintf(stderr, "dtcd: socket %s is already in use\n", name.c_str());
        else
            std::fprintf(stderr, "dtcd: cannot bind %s: %s\n", name.c_str(), std::strerror(errno));
        close(fd);
        return -1;
    }
    if (listen(fd, 512) != 0) {
        std::fprintf(stderr, "dtcd: cannot listen on %s: %s\n", name.c_str(), std::strerror(errno));
        close(fd);
        return -1;
    }
    return fd;
}

} // namespace

int main(int argc, char** argv) {
    Options options;
    if (!parseOptions(argc, argv, &options)) {
        std::fprintf(stderr, "%s\n", kUsage);
        return 2;
    }
    // Signals arrive through a signalfd in the event loop; block them first,
    // before any thread exists, so every thread inherits the mask.
    sigset_t mask;
    sigemptyset(&mask);
    sigaddset(&mask, SIGTERM);
    sigaddset(&mask, SIGINT);
    sigprocmask(SIG_BLOCK, &mask, nullptr);
    signal(SIGPIPE, SIG_IGN);
    int signalFd = signalfd(-1, &mask, SFD_NONBLOCK | SFD_CLOEXEC);
    if (signalFd < 0) {
        std::fprintf(stderr, "dtcd: signalfd: %s\n", std::strerror(errno));
        return 1;
    }
    int lockFd = claimDataDir(options.dataDir);
    if (lockFd < 0) return 1;
    Store store;
    store.groupCommit = options.groupCommit;
    store.url = options.storeUrl;
    store.leaseMs = options.leaseMs;
    store.renewMs = options.renewMs;
    store.pollMs = options.pollMs;
    Coordinator co;
    co.store = &store;
    co.prepareTimeoutMs = options.prepareTimeoutMs;
    std::string error;
    if (!options.metricsListen.empty() && !metricsStart(options.metricsListen, &store, &error)) {
        std::fprintf(stderr, "dtcd: %s\n", error.c_str());
        close(lockFd);
        return 1;
    }
    std::vector<StoredBranch> rows;
    if (!storeOpen(&store, options.dataDir, options.newStore, co.instance, &error)) {
        std::fprintf(stderr, "dtcd: %s\n", error.c_str());
        return 1;
    }
    // With a shared store, a standby waits here, not listening (its local
    // clients find no coordinator), until it holds the lease; then it loads
    // every prepared, committing and heuristic branch like any start.
    int active = storeAwaitActive(&store, signalFd, &error);
    if (active <= 0) {
        if (active < 0) std::fprintf(stderr, "dtcd: %s\n", error.c_str());
        storeClose(&store);
        close(lockFd);
        return active < 0 ? 1 : 0;
    }
    if (!storeLoad(&store, &rows, &error)) {
        std::fprintf(stderr, "dtcd: cannot read the branch store: %s\n", error.c_str());
        storeClose(&store);
        return 1;
    }
    loadBranches(co, rows);
    int listenFd = listenSocket();
    if (listenFd < 0) {
        storeClose(&store);
        return 1;
    }
    if (!storeStart(&store)) {
        std::fprintf(stderr, "dtcd: cannot start the writer thread\n");
        storeClose(&store);
        return 1;
    }
    sd_notify(0, store.url.empty() ? "READY=1" : "READY=1\nSTATUS=active: holds the coordinator lease");
    int rc = runServer(co, listenFd, signalFd);
    sd_notify(0, "STOPPING=1");
    close(listenFd);
    sockaddr_un addr{};
    uint32_t length = 0;
    std::string name;
    if (dtcwire::socketAddress(&addr, &length, &name) && name[0] != '@') unlink(name.c_str());
    storeClose(&store);
    close(lockFd);
    return rc;
}
