// Many threads of one process running whole branches at once over the one
// multiplexed control connection (meant to run clean under ThreadSanitizer).
#include <gtest/gtest.h>

#include <atomic>
#include <thread>
#include <vector>

#include "DtcHarness.h"
#include "contract/txdtc.h"

namespace {

constexpr int kRm = 1;

TEST(DtcConcurrency, SixtyFourThreadsRunWholeBranches) {
    Daemon d;
    ASSERT_TRUE(startDaemon(&d));
    useDaemon(d);
    ASSERT_EQ(XA_OK, DTC_XaOpen(kOpenString, kRm, TMNOFLAGS));
    IXATransLookup* lookup = nullptr;
    ASSERT_EQ(S_OK, DtcGetTransactionManager(nullptr, nullptr, IID_IXATransLookup, 0, 0, nullptr,
                                             reinterpret_cast<void**>(&lookup)));
    constexpr int kThreads = 64;
    constexpr int kRounds = 15;
    std::atomic<int> failures{0};
    std::atomic<int> prepared{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([&, t] {
            for (int i = 0; i < kRounds; ++i) {
                XID xid = makeXid("conc-" + std::to_string(t) + "-" + std::to_string(i));
                ITransaction* tx = nullptr;
                bool ok = DTC_XaStart(&xid, kRm, TMNOFLAGS) == XA_OK && lookup->Lookup(&tx) == S_OK;
                if (tx != nullptr) tx->Release();
                ok = ok && DTC_XaEnd(&xid, kRm, TMSUSPEND) == XA_OK && DTC_XaStart(&xid, kRm, TMRESUME) == XA_OK &&
                     DTC_XaEnd(&xid, kRm, TMSUCCESS) == XA_OK;
                if (i % 3 == 0) {
                    ok = ok && DTC_XaCommit(&xid, kRm, TMONEPHASE) == XA_OK;
                } else if (i % 3 == 1) {
                    ok = ok && DTC_XaPrepare(&xid, kRm, TMNOFLAGS) == XA_OK &&
                         DTC_XaCommit(&xid, kRm, TMNOFLAGS) == XA_OK;
                    prepared++;
                } else {
                    ok = ok && DTC_XaPrepare(&xid, kRm, TMNOFLAGS) == XA_OK &&
                         DTC_XaRollback(&xid, kRm, TMNOFLAGS) == XA_OK;
                    prepared++;
                }
                if (!ok) failures++;
            }
        });
    }
    for (auto& thread : threads) thread.join();
    EXPECT_EQ(0, failures.load());
    XID list[4];
    EXPECT_EQ(0, DTC_XaRecover(list, 4, kRm, TMSTARTRSCAN | TMENDRSCAN));
    std::string out;
    ASSERT_EQ(0, runCtl(d, {"--json", "stats"}, &out));
    EXPECT_NE(std::string::npos, out.find("\"prepares\":" + std::to_string(prepared.load()))) << out;
    EXPECT_NE(std::string::npos, out.find("\"branches_active\":0")) << out;
    EXPECT_EQ(0u, lookup->Release());
    EXPECT_EQ(XA_OK, DTC_XaClose(kOpenString, kRm, TMNOFLAGS));
    EXPECT_EQ(0, stopDaemon(&d));
    removeDaemonFiles(d);
}

TEST(DtcConcurrency, OpenAndCloseRaceWithCalls) {
    // Threads open, use and close the same rmid at once: every call answers a
    // defined code and the open count ends at zero.
    Daemon d;
    ASSERT_TRUE(startDaemon(&d));
    useDaemon(d);
    std::vector<std::thread> threads;
    std::atomic<int> unexpected{0};
    for (int t = 0; t < 8; ++t) {
        threads.emplace_back([&, t] {
            for (int i = 0; i < 20; ++i) {
                if (DTC_XaOpen(kOpenString, kRm, TMNOFLAGS) != XA_OK) unexpected++;
                XID xid = makeXid("race-" + std::to_string(t) + "-" + std::to_string(i));
                int rc = DTC_XaStart(&xid, kRm, TMNOFLAGS);
                if (rc == XA_OK) rc = DTC_XaEnd(&xid, kRm, TMSUCCESS);
                if (rc == XA_OK) rc = DTC_XaCommit(&xid, kRm, TMONEPHASE);
                if (rc != XA_OK) unexpected++;
                if (DTC_XaClose(kOpenString, kRm, TMNOFLAGS) != XA_OK) unexpected++;
            }
        });
    }
    for (auto& thread : threads) thread.join();
    EXPECT_EQ(0, unexpected.load());
    EXPECT_EQ(XAER_PROTO, DTC_XaClose(kOpenString, kRm, TMNOFLAGS));
    EXPECT_EQ(0, stopDaemon(&d));
    removeDaemonFiles(d);
}

} // namespace
