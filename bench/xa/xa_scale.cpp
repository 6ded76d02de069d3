// Scale run: holds K live branches in morvalen (each started, then suspended,
// so each keeps its worker thread), prints the resident memory and thread
// count of morvalen and dtcd while they are held, then the p50 of a whole
// transaction (start, end, prepare, commit) of one client beside them, so a
// cost per request that grows with the live branches shows; then rolls them
// all back.
//
//   xa_scale K MORVALEN_PID DTCD_PID [PORT]
// Output: "branches=K morvalen_rss_kib=... morvalen_threads=... dtcd_rss_kib=... dtcd_threads=... kib_per_branch=...
//          ... held_tx_p50_ms=..."
#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include "MorvalenClient.h"

namespace {

constexpr int kConnections = 8;

// KernelStack + PageTables (KiB) from /proc/meminfo: the kernel's share of a
// thread, machine-wide (read before and after, so other processes add noise).
long kernelShareKib() {
    std::ifstream meminfo("/proc/meminfo");
    std::string key;
    long value = 0;
    long total = 0;
    while (meminfo >> key >> value) {
        if (key == "KernelStack:" || key == "PageTables:") {
            total += value;
        }
        meminfo.ignore(64, '\n');
    }
    return total;
}

// VmRSS (KiB) and Threads from /proc/PID/status.
void readStatus(const std::string& pid, long* rssKib, long* threads) {
    std::ifstream status("/proc/" + pid + "/status");
    std::string key;
    *rssKib = -1;
    *threads = -1;
    while (status >> key) {
        if (key == "VmRSS:") {
            status >> *rssKib;
        } else if (key == "Threads:") {
            status >> *threads;
        }
    }
}

XID branchXid(int i) {
    char gtrid[32];
    int n = snprintf(gtrid, sizeof gtrid, "scale-%d", i);
    XID xid{};
    (void)morvalen::xidMake(0x4D56, gtrid, static_cast<size_t>(n), "b", 1, &xid);
    return xid;
}

// Runs fn(connection, i) for i = part, part + kConnections, ... below k.
template <typename Fn>
int64_t onConnections(int k, uint16_t port, Fn fn) {
    std::atomic<int64_t> failures{0};
    std::vector<std::thread> threads;
    for (int part = 0; part < kConnections; ++part) {
        threads.emplace_back([&, part] {
            morvalen::MorvalenConnection c;
            if (morvalen::clientConnect(&c, "127.0.0.1", port, 60000) != morvalen::kClientOk) {
                ++failures;
                return;
            }
            for (int i = part; i < k; i += kConnections) {
                failures += fn(&c, i) ? 0 : 1;
            }
            morvalen::clientClose(&c);
        });
    }
    for (std::thread& t : threads) {
        t.join();
    }
    return failures.load();
}

// p50 (ms) of 200 whole transactions of one client, -1 when one failed.
double oneClientP50(uint16_t port) {
    morvalen::MorvalenConnection c;
    if (morvalen::clientConnect(&c, "127.0.0.1", port, 60000) != morvalen::kClientOk) {
        return -1;
    }
    std::vector<double> ms;
    for (int i = 0; i < 200; ++i) {
        XID xid = branchXid(-1 - i);
        int32_t r[4] = {-1, -1, -1, -1};
        auto begin = std::chrono::steady_clock::now();
        bool ok = morvalen::clientStart(&c, &xid, TMNOFLAGS, &r[0], nullptr) == morvalen::kClientOk &&
                  morvalen::clientEnd(&c, &xid, TMSUCCESS, &r[1]) == morvalen::kClientOk &&
                  morvalen::clientPrepare(&c, &xid, TMNOFLAGS, &r[2]) == morvalen::kClientOk &&
                  morvalen::clientCommit(&c, &xid, TMNOFLAGS, &r[3]) == morvalen::kClientOk;
        if (!ok || r[0] != XA_OK || r[1] != XA_OK || r[2] != XA_OK || r[3] != XA_OK) {
            morvalen::clientClose(&c);
            return -1;
        }
        ms.push_back(std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - begin).count());
    }
    morvalen::clientClose(&c);
    std::nth_element(ms.begin(), ms.begin() + 100, ms.end());
    return ms[100];
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 4) {
        fprintf(stderr, "usage: xa_scale K MORVALEN_PID DTCD_PID [PORT]\n");
        return 2;
    }
    int k = atoi(argv[1]);
    auto port = static_cast<uint16_t>(argc > 4 ? atoi(argv[4]) : morvalen::kDefaultPort);
    long baseRss = 0, baseThreads = 0, baseDtcdRss = 0, baseDtcdThreads = 0;
    readStatus(argv[2], &baseRss, &baseThreads);
    readStatus(argv[3], &baseDtcdRss, &baseDtcdThreads);
    long baseKernel = kernelShareKib();
    int64_t failures = onConnections(k, port, [](morvalen::MorvalenConnection* c, int i) {
        XID xid = branchXid(i);
        int32_t r = 0;
        return morvalen::clientStart(c, &xid, TMNOFLAGS, &r, nullptr) == morvalen::kClientOk && r == XA_OK &&
               morvalen::clientEnd(c, &xid, TMSUSPEND, &r) == morvalen::kClientOk && r == XA_OK;
    });
    long rss = 0, threads = 0, dtcdRss = 0, dtcdThreads = 0;
    readStatus(argv[2], &rss, &threads);
    readStatus(argv[3], &dtcdRss, &dtcdThreads);
    long kernel = kernelShareKib() - baseKernel;
    double perBranch = k > 0 ? static_cast<double>((rss - baseRss) + (dtcdRss - baseDtcdRss)) / k : 0;
    double ramPerBranch = k > 0 ? perBranch + static_cast<double>(kernel) / k : 0;
    printf("branches=%d held_failures=%lld morvalen_rss_kib=%ld morvalen_threads=%ld dtcd_rss_kib=%ld dtcd_threads=%ld "
           "rss_kib_per_branch=%.1f kernel_kib=%ld ram_kib_per_branch=%.1f\n",
           k, static_cast<long long>(failures), rss, threads, dtcdRss, dtcdThreads, perBranch, kernel, ramPerBranch);
    printf("branches=%d held_tx_p50_ms=%.3f\n", k, oneClientP50(port));
    fflush(stdout);
    int64_t cleanup = onConnections(k, port, [](morvalen::MorvalenConnection* c, int i) {
        XID xid = branchXid(i);
        int32_t r = 0;
        return morvalen::clientRollback(c, &xid, TMNOFLAGS, &r) == morvalen::kClientOk;
    });
    return failures == 0 && cleanup == 0 ? 0 : 1;
}
