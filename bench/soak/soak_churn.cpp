// Connection churn for the soak (run-soak.sh): THREADS client threads, each
// connecting, running a few XA branches (two-phase commit, roll-back,
// one-phase commit) and disconnecting, for SECONDS seconds. Two branches in
// ten are left mid-way, their connection closed right after the start or
// after the prepare, and are ended and rolled back from a new connection, as a
// transaction manager recovering after a lost connection would. Failures are expected while dtcd is
// down and are counted, not fatal. Prints one line of totals.
//
//   soak_churn THREADS SECONDS [PORT]
#include <atomic>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <thread>
#include <vector>

#include "MorvalenClient.h"

namespace {

using namespace morvalen;
using Clock = std::chrono::steady_clock;

struct Totals {
    std::atomic<uint64_t> connections{0};
    std::atomic<uint64_t> connectFailures{0};
    std::atomic<uint64_t> committed{0};
    std::atomic<uint64_t> rolledBack{0};
    std::atomic<uint64_t> abandoned{0};  // connections closed mid-branch on purpose (then settled)
    std::atomic<uint64_t> failed{0};     // branches cut short by an error or a lost exchange
};

bool ok(int32_t status, int32_t result) { return status == kClientOk && result == XA_OK; }

// Rolls back from a new connection a branch whose connection was closed,
// ending it first when it was still active.
void settleLater(uint16_t port, const XID& x, bool active, Totals* t) {
    MorvalenConnection later;
    int32_t r = 0;
    if (clientConnect(&later, "127.0.0.1", port, 10000) == kClientOk &&
        (!active || ok(clientEnd(&later, &x, TMSUCCESS, &r), r)) && ok(clientRollback(&later, &x, TMNOFLAGS, &r), r)) {
        ++t->rolledBack;
    } else {
        ++t->failed;
    }
    clientClose(&later);
}

void churn(int id, uint16_t port, Clock::time_point until, Totals* t) {
    uint64_t n = 0;
    while (Clock::now() < until) {
        MorvalenConnection c;
        if (clientConnect(&c, "127.0.0.1", port, 10000) != kClientOk) {
            ++t->connectFailures;
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
            continue;
        }
        ++t->connections;
        int branches = 1 + static_cast<int>(n % 4);  // 1 to 4 branches a connection
        for (int b = 0; b < branches; ++b) {
            uint64_t k = n++;  // this branch's number; it picks what the branch does
            std::string gtrid = "soak-" + std::to_string(id) + "-" + std::to_string(k);
            XID x{};
            (void)xidMake(kDefaultFormatId, gtrid.data(), gtrid.size(), "s", 1, &x);
            int32_t r = 0;
            if (!ok(clientStart(&c, &x, TMNOFLAGS, &r, nullptr), r)) {
                ++t->failed;
                break;
            }
            if (k % 10 == 3) {
                // Vanish with an active branch; end and roll it back from a
                // later connection, as a transaction manager would.
                ++t->abandoned;
                clientClose(&c);
                settleLater(port, x, true, t);
                break;
            }
            if (!ok(clientEnd(&c, &x, TMSUCCESS, &r), r)) {
                ++t->failed;
                break;
            }
            if (k % 3 == 2) {
                if (ok(clientCommit(&c, &x, TMONEPHASE, &r), r)) ++t->committed;
                else ++t->failed;
                continue;
            }
            if (!ok(clientPrepare(&c, &x, TMNOFLAGS, &r), r)) {
                ++t->failed;
                break;
            }
            if (k % 10 == 7) {
                // Vanish with a prepared branch; settle it on a later connection.
                ++t->abandoned;
                clientClose(&c);
                settleLater(port, x, false, t);
                break;
            }
            bool commit = k % 2 == 0;
            int32_t status = commit ? clientCommit(&c, &x, TMNOFLAGS, &r) : clientRollback(&c, &x, TMNOFLAGS, &r);
            if (!ok(status, r)) ++t->failed;
            else if (commit) ++t->committed;
            else ++t->rolledBack;
        }
        clientClose(&c);
    }
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 3) {
        std::fprintf(stderr, "usage: soak_churn THREADS SECONDS [PORT]\n");
        return 2;
    }
    int threads = std::atoi(argv[1]);
    int seconds = std::atoi(argv[2]);
    auto port = static_cast<uint16_t>(argc > 3 ? std::atoi(argv[3]) : kDefaultPort);
    Totals t;
    auto until = Clock::now() + std::chrono::seconds(seconds);
    std::vector<std::thread> pool;
    for (int i = 0; i < threads; ++i) pool.emplace_back(churn, i, port, until, &t);
    for (std::thread& th : pool) th.join();
    std::printf("churn: connections=%llu connect-failures=%llu committed=%llu rolled-back=%llu "
                "abandoned=%llu failed=%llu\n",
                static_cast<unsigned long long>(t.connections.load()),
                static_cast<unsigned long long>(t.connectFailures.load()),
                static_cast<unsigned long long>(t.committed.load()),
                static_cast<unsigned long long>(t.rolledBack.load()),
                static_cast<unsigned long long>(t.abandoned.load()),
                static_cast<unsigned long long>(t.failed.load()));
    return 0;
}
