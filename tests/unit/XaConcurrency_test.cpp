// Many connections at once: whole branches on many threads, destruction racing
// the worker's way out, and requests racing another thread's deinit. Each runs
// in both completion modes (bridgeLock held across the completions' DTC calls,
// and the opt-in parallel mode without it). Meant to run under
// ThreadSanitizer and AddressSanitizer as well.
#include <atomic>
#include <thread>

#include "XaTestSupport.h"
#include "common/Codes.h"

using namespace xatest;

static void runManyConnectionsRunWholeBranchesAtOnce() {
    bool parallel = parallelCompletions();
    freshStart();
    setParallelCompletions(parallel);
    constexpr int kThreads = 8;
    constexpr int kRounds = 40;
    std::atomic<int> failures{0};
    std::vector<std::thread> clients;
    for (int t = 0; t < kThreads; ++t) {
        clients.emplace_back([t, &failures] {
            Request r;
            for (int i = 0; i < kRounds; ++i) {
                XID branch = xid("cc-" + std::to_string(t) + "-" + std::to_string(i));
                bool ok = r.run(xa_start, branch) == XA_OK && r.cookieLength() == 16 &&
                          r.run(xa_end, branch, TMSUSPEND) == XA_OK &&
                          r.run(xa_start, branch, TMRESUME) == XA_OK &&
                          r.run(xa_end, branch, TMSUCCESS) == XA_OK && r.run(xa_prepare, branch) == XA_OK &&
                          r.run(xa_commit, branch) == XA_OK && r.run(xa_query, branch) == 1;
                failures += ok ? 0 : 1;
            }
        });
    }
    for (std::thread& client : clients) {
        client.join();
    }
    EXPECT_EQ(failures.load(), 0);
    EXPECT_TRUE(waitNoRecords());
    EXPECT_EQ(dtcdouble::callCount(dtcdouble::kStart), 2 * kThreads * kRounds);
    EXPECT_EQ(dtcdouble::callCount(dtcdouble::kOpen), 1);
}

static void runDestructionRacesTheWorkersWayOut() {
    bool parallel = parallelCompletions();
    freshStart();
    setParallelCompletions(parallel);
    // An end without TMSUSPEND (the worker leaves) against a rollback of the
    // same branch from another connection, and a join/end pair on a third:
    // whichever order they meet in, nothing is used after it is freed and
    // every record goes.
    for (int i = 0; i < 60; ++i) {
        XID branch = xid("race-" + std::to_string(i));
        Request starter;
        ASSERT_EQ(starter.run(xa_start, branch), XA_OK);
        std::thread ender([&] {
            Request r;
            int32_t code = r.run(xa_end, branch, TMSUCCESS);
            EXPECT_TRUE(code == XA_OK || code == XAER_PROTO || code == kEndNoRecord) << code;
        });
        std::thread roller([&] {
            Request r;
            EXPECT_EQ(r.run(xa_rollback, branch), XA_OK);
        });
        std::thread joiner([&] {
            Request r;
            if (r.run(xa_start, branch, TMJOIN) == XA_OK) {
                (void)r.run(xa_end, branch, TMSUCCESS);
            }
        });
        ender.join();
        roller.join();
        joiner.join();
        // A join may have made the branch anew after the rollback: finish it.
        Request cleaner;
        (void)cleaner.run(xa_rollback, branch);
    }
    EXPECT_TRUE(waitNoRecords());
}

static void runRequestsRacingDeinitNeverCallAnUnboundEntryPoint() {
    bool parallel = parallelCompletions();
    freshStart();
    setParallelCompletions(parallel);
    std::atomic<bool> stop{false};
    std::thread dropper([&] {
        while (!stop.load()) {
            deinit();
            platform::sleepMs(0);
        }
    });
    std::atomic<int> unexpected{0};
    std::vector<std::thread> clients;
    for (int t = 0; t < 4; ++t) {
        clients.emplace_back([t, &unexpected] {
            Request r;
            for (int i = 0; i < 100; ++i) {
                XID branch = xid("drop-" + std::to_string(t) + "-" + std::to_string(i));
                int32_t s = r.run(xa_start, branch);
                int32_t p = r.run(xa_prepare, branch);
                int32_t c = r.run(i % 2 == 0 ? xa_rollback : xa_commit, branch);
                int32_t l = r.run(xa_recover, nullXid(), TMSTARTRSCAN | TMENDRSCAN);
                int32_t f = r.run(xa_forget, branch);
                for (int32_t code : {s, p, c, l, f}) {
                    unexpected += (code == XA_OK || code == XAER_RMFAIL || code == XAER_PROTO ||
                                   code == XAER_RMERR /* getCookie 3 after a drop */)
                                      ? 0
                                      : 1;
                }
            }
        });
    }
    for (std::thread& client : clients) {
        client.join();
    }
    stop = true;
    dropper.join();
    deinit();
    EXPECT_EQ(unexpected.load(), 0);
    EXPECT_TRUE(waitNoRecords());
    EXPECT_EQ(dtcCallsInFlight(), 0);
    // Every load was matched by an unload; the library is not left loaded.
    EXPECT_EQ(dtcdouble::libraryLoads(), dtcdouble::libraryUnloads());
}

TEST(XaConcurrency, ManyConnectionsRunWholeBranchesAtOnce) {
    for (bool parallel : {false, true}) {
        SCOPED_TRACE(parallel ? "parallel completions" : "locked completions");
        setParallelCompletions(parallel);
        runManyConnectionsRunWholeBranchesAtOnce();
    }
    setParallelCompletions(false);
}

TEST(XaConcurrency, DestructionRacesTheWorkersWayOut) {
    for (bool parallel : {false, true}) {
        SCOPED_TRACE(parallel ? "parallel completions" : "locked completions");
        setParallelCompletions(parallel);
        runDestructionRacesTheWorkersWayOut();
    }
    setParallelCompletions(false);
}

TEST(XaConcurrency, RequestsRacingDeinitNeverCallAnUnboundEntryPoint) {
    for (bool parallel : {false, true}) {
        SCOPED_TRACE(parallel ? "parallel completions" : "locked completions");
        setParallelCompletions(parallel);
        runRequestsRacingDeinitNeverCallAnUnboundEntryPoint();
    }
    setParallelCompletions(false);
}
