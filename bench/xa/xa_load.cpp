// Load generator: N concurrent clients, each running whole XA transactions
// (start, end, prepare, commit) against morvalen on its own connection, for a
// fixed time. Prints transactions per second, the p50/p99/p999 latency of one
// whole transaction and the p50 of each of its four requests.
//
//   xa_load CLIENTS SECONDS [PORT]
// With XA_LOAD_TLS_CA set (and XA_LOAD_TLS_CERT, XA_LOAD_TLS_KEY for a client
// certificate) every client connects over TLS, verifying the service as
// 127.0.0.1; connections are made once and reused, as a transaction manager's are.
// Output (one line, for the script): "clients=N tps=T p50_ms=... p99_ms=...
// p999_ms=... start_us=... end_us=... prepare_us=... commit_us=... errors=E"
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

constexpr int kSteps = 4;  // start, end, prepare, commit

struct Worker {
    std::vector<double> latenciesMs;     // one per committed transaction
    std::vector<double> stepsUs[kSteps]; // each request of a committed transaction
    int64_t errors = 0;                  // requests that did not answer XA_OK
};

// The TLS options from the environment, or null for plaintext.
const morvalen::MorvalenTlsOptions* tlsFromEnvironment() {
    static morvalen::MorvalenTlsOptions options;
    options.caFile = getenv("XA_LOAD_TLS_CA");
    options.certFile = getenv("XA_LOAD_TLS_CERT");
    options.keyFile = getenv("XA_LOAD_TLS_KEY");
    return options.caFile != nullptr ? &options : nullptr;
}

void runClient(int index, uint16_t port, Clock::time_point until, Worker* out) {
    morvalen::MorvalenConnection c;
    if (morvalen::clientConnect(&c, "127.0.0.1", port, 10000, tlsFromEnvironment()) != morvalen::kClientOk) {
        ++out->errors;
        return;
    }
    out->latenciesMs.reserve(1 << 16);
    char gtrid[64];
    for (int64_t n = 0; Clock::now() < until; ++n) {
        int length = snprintf(gtrid, sizeof gtrid, "load-%d-%lld-%d", index, static_cast<long long>(n), rand());
        XID xid{};
        (void)morvalen::xidMake(0x4D56, gtrid, static_cast<size_t>(length), "b", 1, &xid);
        Clock::time_point at[kSteps + 1];
        at[0] = Clock::now();
        int32_t r = 0;
        bool ok = morvalen::clientStart(&c, &xid, TMNOFLAGS, &r, nullptr) == morvalen::kClientOk && r == XA_OK;
        at[1] = Clock::now();
        ok = ok && morvalen::clientEnd(&c, &xid, TMSUCCESS, &r) == morvalen::kClientOk && r == XA_OK;
        at[2] = Clock::now();
        ok = ok && morvalen::clientPrepare(&c, &xid, TMNOFLAGS, &r) == morvalen::kClientOk && r == XA_OK;
        at[3] = Clock::now();
        ok = ok && morvalen::clientCommit(&c, &xid, TMNOFLAGS, &r) == morvalen::kClientOk && r == XA_OK;
        at[4] = Clock::now();
        if (!ok) {
            ++out->errors;
            if (c.fd < 0) {
                return;
            }
            continue;
        }
        out->latenciesMs.push_back(std::chrono::duration<double, std::milli>(at[kSteps] - at[0]).count());
        for (int step = 0; step < kSteps; ++step) {
            out->stepsUs[step].push_back(std::chrono::duration<double, std::micro>(at[step + 1] - at[step]).count());
        }
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
    std::vector<double> steps[kSteps];
    int64_t errors = 0;
    for (const Worker& w : workers) {
        all.insert(all.end(), w.latenciesMs.begin(), w.latenciesMs.end());
        for (int step = 0; step < kSteps; ++step) {
            steps[step].insert(steps[step].end(), w.stepsUs[step].begin(), w.stepsUs[step].end());
        }
        errors += w.errors;
    }
    std::sort(all.begin(), all.end());
    for (std::vector<double>& step : steps) {
        std::sort(step.begin(), step.end());
    }
    printf("clients=%d tps=%.0f p50_ms=%.3f p99_ms=%.3f p999_ms=%.3f start_us=%.0f end_us=%.0f prepare_us=%.0f "
           "commit_us=%.0f errors=%lld\n",
           clients, static_cast<double>(all.size()) / elapsed, percentile(all, 0.50), percentile(all, 0.99),
           percentile(all, 0.999), percentile(steps[0], 0.5), percentile(steps[1], 0.5), percentile(steps[2], 0.5),
           percentile(steps[3], 0.5), static_cast<long long>(errors));
    return errors == 0 ? 0 : 1;
}
