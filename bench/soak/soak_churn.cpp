// Connection churn for the soak (run-soak.sh): THREADS client threads, each
// connecting, running a few XA branches (two-phase commit, roll-back,
// one-phase commit) and disconnecting, for SECONDS seconds. Two branches in
// ten are left mid-way, their connection closed right after the start or
// after the prepare; these and every branch cut short by a failure (dtcd
// down) are settled from a new connection, retried while dtcd is away, as a
// transaction manager would. So nothing should stay behind in the service. Failures are expected while dtcd is
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
    std::atomic<uint64_t> abandoned{0};  // connections closed mid-branch on purpose
    std::atomic<uint64_t> failed{0};     // branches cut short by an error or a lost exchange
    std::atomic<uint64_t> settled{0};    // left or failed branches settled from a new connection
    std::atomic<uint64_t> unsettled{0};  // ... that could not be settled within five seconds
};

bool ok(int32_t status, int32_t result) { return status == kClientOk && result == XA_OK; }

// How far a branch got.
enum Stage { kActive, kIdle, kPrepared };

// True for an answer after which nothing of the branch is left to settle:
// done, rolled back, heuristically completed, or unknown to the service.
bool final(int32_t r) { return r == XA_OK || (r >= XA_RBBASE && r <= XA_RBEND) || r == XAER_NOTA || r > 0; }

// Settles a branch from a new connection, as a transaction manager does after
// a lost connection or a failure: ends it if it is still active, then commits
// (a prepared branch decided for commit) or rolls it back. Retries for up to
// five seconds while the coordinator is away. False when it could not.
bool settle(uint16_t port, const XID& x, Stage stage, bool commit) {
    for (int attempt = 0; attempt < 100; ++attempt) {
        if (attempt > 0) std::this_thread::sleep_for(std::chrono::milliseconds(50));
        MorvalenConnection c;
        if (clientConnect(&c, "127.0.0.1", port, 10000) != kClientOk) continue;
        int32_t r = 0;
        bool settled = false;
        if (stage == kActive) {
            if (clientEnd(&c, &x, TMSUCCESS, &r) == kClientOk && final(r)) {
                stage = kIdle;
                settled = r == XAER_NOTA || (r >= XA_RBBASE && r <= XA_RBEND);
            }
        }
        if (!settled && stage != kActive) {
            bool doCommit = stage == kPrepared && commit;
            int32_t status = doCommit ? clientCommit(&c, &x, TMNOFLAGS, &r) : clientRollback(&c, &x, TMNOFLAGS, &r);
            settled = status == kClientOk && final(r);
        }
        clientClose(&c);
        if (settled) return true;
    }
    return false;
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
                ++t->failed;  // nothing to settle: the branch never started
                break;
            }
            bool commit = k % 2 == 0;
            Stage stage = kActive;
            bool done = false;  // otherwise: close the connection and settle from a new one
            if (k % 10 == 3) {
                // vanish with an active branch
            } else if (!ok(clientEnd(&c, &x, TMSUCCESS, &r), r)) {
                ++t->failed;
            } else if (k % 3 == 2) {
                stage = kIdle;
                if (ok(clientCommit(&c, &x, TMONEPHASE, &r), r)) {
                    ++t->committed;
                    done = true;
                } else {
                    ++t->failed;
                }
            } else if (stage = kIdle; !ok(clientPrepare(&c, &x, TMNOFLAGS, &r), r)) {
                ++t->failed;  // a prepare without XA_OK: roll back whatever is left
            } else if (stage = kPrepared; k % 10 == 7) {
                // vanish with a prepared branch
            } else {
                int32_t status =
                    commit ? clientCommit(&c, &x, TMNOFLAGS, &r) : clientRollback(&c, &x, TMNOFLAGS, &r);
                if (ok(status, r)) {
                    ++(commit ? t->committed : t->rolledBack);
                    done = true;
                } else {
                    ++t->failed;
                }
            }
            if (done) continue;
            if (k % 10 == 3 || k % 10 == 7) ++t->abandoned;
            clientClose(&c);
            if (settle(port, x, stage, commit)) ++t->settled;
            else ++t->unsettled;
            break;
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
                "abandoned=%llu failed=%llu settled=%llu unsettled=%llu\n",
                static_cast<unsigned long long>(t.connections.load()),
                static_cast<unsigned long long>(t.connectFailures.load()),
                static_cast<unsigned long long>(t.committed.load()),
                static_cast<unsigned long long>(t.rolledBack.load()),
                static_cast<unsigned long long>(t.abandoned.load()),
                static_cast<unsigned long long>(t.failed.load()),
                static_cast<unsigned long long>(t.settled.load()),
                static_cast<unsigned long long>(t.unsettled.load()));
    return 0;
}
