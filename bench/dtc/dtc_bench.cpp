// Measures durable prepare + commit pairs per second through libmsdtcprx.so
// against a real dtcd whose data directory is on disk, for 1, 8 and 64
// threads, first with group commit and then with one SQLite transaction per
// write (dtcd --no-group-commit). Each pair is a whole branch: start, end,
// prepare (one durable write), commit (one durable write).
//
// It also reports the largest size the store's log file (dtcd.db-wal) reached.
//
// Usage: dtc_bench [seconds-per-run (default 3)] [parent directory for the data (default $TMPDIR or /tmp)]
// dtcd is taken from beside this program.
#include <limits.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "contract/xa.h"
#include "support/Dtcd.h"

namespace {

char openString[] = "TM=Morvalen,RmRecoveryGuid=0B3E5A55-1D4C-4E0B-9C5F-6A7D8E9F0A1B";

std::string selfDir() {
    char path[PATH_MAX];
    ssize_t n = readlink("/proc/self/exe", path, sizeof path - 1);
    if (n <= 0) return ".";
    path[n] = '\0';
    std::string s(path);
    return s.substr(0, s.rfind('/'));
}

// Starts dtcd and waits for READY=1; answers its pid or -1.
pid_t startDaemon(const std::string& dataDir, const std::string& socketName, bool groupCommit) {
    std::string program = selfDir() + "/dtcd";
    pid_t pid = -1;
    bool ready = testsupport::dtcdStartReady(socketName, 10000, [&](const std::string& notifySocket) {
        pid = fork();
        if (pid == 0) {
            setenv("DTCD_SOCKET", socketName.c_str(), 1);
            setenv("NOTIFY_SOCKET", notifySocket.c_str(), 1);
            if (groupCommit)
                execl(program.c_str(), program.c_str(), "--data-dir", dataDir.c_str(), static_cast<char*>(nullptr));
            else
                execl(program.c_str(), program.c_str(), "--data-dir", dataDir.c_str(), "--no-group-commit",
                      static_cast<char*>(nullptr));
            _exit(127);
        }
        return static_cast<int>(pid);
    });
    if (!ready && pid > 0) {
        kill(pid, SIGKILL);
        waitpid(pid, nullptr, 0);
        return -1;
    }
    return ready ? pid : -1;
}

// Runs whole branches on `threads` threads for `seconds`; answers pairs per
// second. Samples the size of the store's log file meanwhile into *walPeak.
double run(int threads, double seconds, int round, const std::string& walPath, off_t* walPeak) {
    std::atomic<bool> stop{false};
    std::atomic<long> pairs{0};
    std::atomic<long> failures{0};
    std::vector<std::thread> workers;
    for (int t = 0; t < threads; ++t) {
        workers.emplace_back([&, t] {
            long mine = 0;
            for (long i = 0; !stop.load(std::memory_order_relaxed); ++i) {
                std::string gtrid = "b" + std::to_string(round) + "-" + std::to_string(t) + "-" + std::to_string(i);
                XID xid{};
                xid.formatID = 1;
                xid.gtrid_length = static_cast<int32_t>(gtrid.size());
                xid.bqual_length = 1;
                std::memcpy(xid.data, gtrid.data(), gtrid.size());
                xid.data[gtrid.size()] = 'q';
                if (DTC_XaStart(&xid, 1, TMNOFLAGS) != XA_OK || DTC_XaEnd(&xid, 1, TMSUCCESS) != XA_OK ||
                    DTC_XaPrepare(&xid, 1, TMNOFLAGS) != XA_OK || DTC_XaCommit(&xid, 1, TMNOFLAGS) != XA_OK) {
                    failures++;
                    return;
                }
                mine++;
            }
            pairs += mine;
        });
    }
    auto begin = std::chrono::steady_clock::now();
    auto end = begin + std::chrono::duration_cast<std::chrono::steady_clock::duration>(
                           std::chrono::duration<double>(seconds));
    while (std::chrono::steady_clock::now() < end) { // the measuring window
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
        struct stat st {};
        if (stat(walPath.c_str(), &st) == 0 && st.st_size > *walPeak) *walPeak = st.st_size;
    }
    stop = true;
    for (auto& w : workers) w.join();
    double elapsed = std::chrono::duration<double>(std::chrono::steady_clock::now() - begin).count();
    if (failures.load() != 0) std::fprintf(stderr, "dtc_bench: %ld threads stopped on an error\n", failures.load());
    return static_cast<double>(pairs.load()) / elapsed;
}

} // namespace

int main(int argc, char** argv) {
    double seconds = argc > 1 ? std::atof(argv[1]) : 3.0;
    const char* tmp = getenv("TMPDIR");
    std::string parent = argc > 2 ? argv[2] : (tmp != nullptr ? tmp : "/tmp");
    std::string pattern = parent + "/dtc-bench-XXXXXX";
    std::vector<char> buffer(pattern.begin(), pattern.end());
    buffer.push_back('\0');
    if (mkdtemp(buffer.data()) == nullptr) {
        std::fprintf(stderr, "dtc_bench: cannot make a directory under %s\n", parent.c_str());
        return 1;
    }
    std::string base = buffer.data();
    const int counts[] = {1, 8, 64};
    double results[2][3] = {};
    off_t walPeak[2] = {};
    int round = 0;
    for (int mode = 0; mode < 2; ++mode) {
        bool group = mode == 0;
        std::string socketName = "@dtc-bench-" + std::to_string(getpid()) + "-" + std::to_string(mode);
        std::string dataDir = base + (group ? "/group" : "/single");
        pid_t pid = startDaemon(dataDir, socketName, group);
        if (pid < 0) {
            std::fprintf(stderr, "dtc_bench: dtcd did not start\n");
            return 1;
        }
        setenv("DTCD_SOCKET", socketName.c_str(), 1);
        if (DTC_XaOpen(openString, 1, TMNOFLAGS) != XA_OK) {
            std::fprintf(stderr, "dtc_bench: xa_open failed\n");
            return 1;
        }
        for (int i = 0; i < 3; ++i) results[mode][i] = run(counts[i], seconds, round++, dataDir + "/dtcd.db-wal", &walPeak[mode]);
        DTC_XaClose(openString, 1, TMNOFLAGS);
        kill(pid, SIGTERM);
        waitpid(pid, nullptr, 0);
    }
    std::printf("%-8s %22s %22s %8s\n", "threads", "group commit pairs/s", "one tx/write pairs/s", "ratio");
    for (int i = 0; i < 3; ++i)
        std::printf("%-8d %22.0f %22.0f %7.1fx\n", counts[i], results[0][i], results[1][i],
                    results[1][i] > 0 ? results[0][i] / results[1][i] : 0.0);
    std::printf("durable records/s at 64 threads with group commit: %.0f (two per pair)\n", 2 * results[0][2]);
    std::printf("largest dtcd.db-wal seen: %.1f MiB with group commit, %.1f MiB with one tx/write\n",
                static_cast<double>(walPeak[0]) / (1 << 20), static_cast<double>(walPeak[1]) / (1 << 20));
    std::string cleanup = "rm -rf '" + base + "'";
    return std::system(cleanup.c_str()) == 0 ? 0 : 1;
}
