// Load generator: N concurrent clients, each running whole XA transactions
// (start, end, prepare, commit) against morvalen on its own connection, for a
// fixed time. Prints transactions per second and the p50/p99/p999 latency of
// one whole transaction.
//
//   xa_load CLIENTS SECONDS [PORT]
// Output (one line, for the script): "clients=N tps=T p50_ms=... p99_ms=... p999_ms=... errors=E"
#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <thread>
#include <vector>

#include "MorvalenClient.h"

namespace {

using Clock = std::chrono::steady_clock;

struct Worker {
    std::vector<double> latenciesMs;  // one per committed transaction
    int64_t errors = 0;               // requests that did not answer XA_OK
};

void runClient(int index, uint16_t port, Clock::time_point until, Worker* out) {
    morvalen::MorvalenConnection c;
    if (morvalen::clientConnect(&c, "127.0.0.1", port, 10000) != morvalen::kClientOk) {
        ++out->errors;
        return;
    }
    out->latenciesMs.reserve(1 << 16);
    char gtrid[64];
    for (int64_t n = 0; Clock::now() < until; ++n) {
        int length = snprintf(gtrid, sizeof gtrid, "load-%d-%lld-%d", index, static_cast<long long>(n), rand());
        XID xid{};
        (void)morvalen::xidMake(0x4D56, gtrid, static_cast<size_t>(length), "b", 1, &xid);
        auto begin = Clock::now();
        int32_t r = 0;
        bool ok = morvalen::clientStart(&c, &xid, TMNOFLAGS, &r, nullptr) == morvalen::kClientOk && r == XA_OK &&
                  morvalen::clientEnd(&c, &xid, TMSUCCESS, &r) == morvalen::kClientOk && r == XA_OK &&
                  morvalen::clientPrepare(&c, &xid, TMNOFLAGS, &r) == morvalen::kClientOk && r == XA_OK &&
                  morvalen::clientCommit(&c, &xid, TMNOFLAGS, &r) == morvalen::kClientOk && r == XA_OK;
        if (!ok) {
            ++out->errors;
            if (c.fd < 0) {
                return;
            }
            continue;
        }
        out->latenciesMs.push_back(std::chrono::duration<double, std::milli>(Clock::now() - begin).count());
    }
    morvalen::clientClose(&c);
}

double percentile(const std::vector<double>& sorted, double p) {
    if (sorted.empty()) {
        return 0;
    }
    size_t i = static_cast<size_t>(p * static_cast<double>(sorted.size() - 1));
    return sorted[i];
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 3) {
        fprintf(stderr, "usage: xa_load CLIENTS SECONDS [PORT]\n");
        return 2;
    }
    int clients = atoi(argv[1]);
    int seconds = atoi(argv[2]);
    auto port = static_cast<uint16_t>(argc > 3 ? atoi(argv[3]) : morvalen::kDefaultPort);
    std::vector<Worker> workers(static_cast<size_t>(clients));
    std::vector<std::thread> threads;
    auto begin = Clock::now();
    auto until = begin + std::chrono::seconds(seconds);
    for (int i = 0; i < clients; ++i) {
        threads.emplace_back(runClient, i, port, until, &workers[static_cast<size_t>(i)]);
    }
    for (std::thread& t : threads) {
        t.join();
    }
    double elapsed = std::chrono::duration<double>(Clock::now() - begin).count();
    std::vector<double> all;
    int64_t errors = 0;
    for (const Worker& w : workers) {
        all.insert(all.end(), w.latenciesMs.begin(), w.latenciesMs.end());
        errors += w.errors;
    }
    std::sort(all.begin(), all.end());
    printf("clients=%d tps=%.0f p50_ms=%.3f p99_ms=%.3f p999_ms=%.3f errors=%lld\n", clients,
           static_cast<double>(all.size()) / elapsed, percentile(all, 0.50), percentile(all, 0.99),
           percentile(all, 0.999), static_cast<long long>(errors));
    return errors == 0 ? 0 : 1;
}
