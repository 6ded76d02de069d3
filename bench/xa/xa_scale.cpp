// Scale run: holds K live branches in morvalen (each started, then suspended,
// so each keeps its worker thread), prints the resident memory and thread
// count of morvalen and dtcd while they are held, then rolls them all back.
//
//   xa_scale K MORVALEN_PID DTCD_PID [PORT]
// Output: "branches=K morvalen_rss_kib=... morvalen_threads=... dtcd_rss_kib=... dtcd_threads=... kib_per_branch=..."
#include <atomic>
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
    fflush(stdout);
    int64_t cleanup = onConnections(k, port, [](morvalen::MorvalenConnection* c, int i) {
        XID xid = branchXid(i);
        int32_t r = 0;
        return morvalen::clientRollback(c, &xid, TMNOFLAGS, &r) == morvalen::kClientOk;
    });
    return failures == 0 && cleanup == 0 ? 0 : 1;
}
