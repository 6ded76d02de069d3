// releaseBridge at stop: it does not wait for a request held inside a slow DTC
// call (which holds bridgeLock), never unloads the library under that call,
// and nothing binds again afterwards.
#include <thread>

#include "XaTestSupport.h"

using namespace xatest;

TEST(XaRelease, ReleaseDuringASlowCallDefersTheUnloadAndRetiresTheBinding) {
    freshStart();
    createBridgeLock();
    Request held;
    XID branch = xid("release");
    dtcdouble::setSlow(dtcdouble::kPrepare, true);
    std::thread client([&] { held.run(xa_prepare, branch); });
    ASSERT_TRUE(dtcdouble::waitForCalls(dtcdouble::kPrepare, 1, 5000));
    int32_t unloads = dtcdouble::libraryUnloads();
    releaseBridge();  // returns although the client holds bridgeLock
    EXPECT_EQ(dtcdouble::libraryUnloads(), unloads);
    dtcdouble::releaseSlow(dtcdouble::kPrepare);
    client.join();
    EXPECT_EQ(held.result, XA_OK);
    EXPECT_EQ(dtcdouble::libraryUnloads(), unloads + 1);  // with the last call out

    // Afterwards every request answers -7 and nothing is loaded again.
    int32_t loads = dtcdouble::libraryLoads();
    Reports reports;
    Request late;
    EXPECT_EQ(late.run(xa_start, branch), XAER_RMFAIL);
    EXPECT_EQ(late.run(xa_recover, nullXid(), TMSTARTRSCAN), XAER_RMFAIL);
    EXPECT_EQ(late.run(xa_query, branch), 1);
    EXPECT_EQ(countLines(reports.text(), "Morvalen not init. : -7"), 2);
    EXPECT_EQ(dtcdouble::libraryLoads(), loads);
    releaseBridge();  // a second release changes nothing
    deinit();
}
