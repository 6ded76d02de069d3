// Cookie export: every "getCookie N:" text and code, the retry of the size
// query, independent buffers, and that every per-call object is given back.
#include <functional>
#include <thread>

#include "XaTestSupport.h"
#include "xa/Cookie.h"

using namespace xatest;

namespace {

struct Export {
    int32_t result = 1;
    uint8_t* cookie = nullptr;
    uint32_t length = 0;
    std::string reports;
};

// Runs getCookie on a thread of its own, after DTC_XaStart of xid on that
// thread when started is true (Lookup answers for the calling thread).
Export exportOn(const XID& x, bool started) {
    Export out;
    Reports reports;
    std::thread worker([&] {
        XID branch = x;
        if (started) {
            EXPECT_EQ(dtcBranchCall(kSlotStart, &branch, TMNOFLAGS), XA_OK);
        }
        out.result = getCookie(&out.cookie, &out.length);
    });
    worker.join();
    out.reports = reports.text();
    return out;
}

}  // namespace

TEST(XaCookie, ExportsOncePerCallWithExportsLength) {
    freshStart();
    ASSERT_EQ(init(), 0);
    dtcdouble::setCookieSize(40, 12);  // the used size reported is not what counts
    XID first = xid("c-first");
    XID second = xid("c-second");
    Export a = exportOn(first, true);
    Export b = exportOn(second, true);
    ASSERT_EQ(a.result, 0);
    ASSERT_EQ(b.result, 0);
    EXPECT_EQ(a.reports + b.reports, "");
    EXPECT_EQ(a.length, 40u);
    ASSERT_NE(a.cookie, nullptr);
    ASSERT_NE(a.cookie, b.cookie);
    EXPECT_EQ(std::vector<uint8_t>(a.cookie, a.cookie + 40), dtcdouble::cookieFor(first, 40));
    EXPECT_EQ(std::vector<uint8_t>(b.cookie, b.cookie + 40), dtcdouble::cookieFor(second, 40));
    // Whereabouts fetched anew each time; only the binding's interfaces remain.
    EXPECT_EQ(dtcdouble::callCount(dtcdouble::kGetWhereabouts), 2);
    EXPECT_EQ(dtcdouble::callCount(dtcdouble::kCreate), 2);
    EXPECT_EQ(dtcdouble::liveObjects(), 3);
    delete[] a.cookie;
    delete[] b.cookie;

    // A size query that fails once and then succeeds: a normal export, no report.
    dtcdouble::pushResult(dtcdouble::kGetWhereaboutsSize, E_FAIL);
    Export c = exportOn(xid("c-retry"), true);
    EXPECT_EQ(c.result, 0);
    EXPECT_EQ(c.reports, "");
    delete[] c.cookie;
}

TEST(XaCookie, EachFailureHasItsTextAndLeavesNoCookieAndNoObject) {
    struct Case {
        const char* name;
        std::function<void()> script;
        bool started;
        int32_t result;
        const char* text;
    };
    const Case cases[] = {
        {"size twice", [] { dtcdouble::setResult(dtcdouble::kGetWhereaboutsSize, E_FAIL); }, true, E_FAIL,
         "getCookie 3: : -2147467259"},
        {"whereabouts", [] { dtcdouble::setResult(dtcdouble::kGetWhereabouts, E_UNEXPECTED); }, true, E_UNEXPECTED,
         "getCookie 4: : -2147418113"},
        {"create", [] { dtcdouble::setResult(dtcdouble::kCreate, XACT_E_TMNOTAVAILABLE); }, true,
         XACT_E_TMNOTAVAILABLE, "getCookie 5: : -2147168229"},
        {"create null", [] { dtcdouble::setNullPointer(dtcdouble::kCreate, true); }, true, 0, "getCookie 5: : 0"},
        {"no transaction", [] {}, false, XACT_E_NOTRANSACTION,
         "getCookie 7: The calling thread is not associated with any transaction. : -2147168242"},
        {"lookup", [] { dtcdouble::setResult(dtcdouble::kLookup, XACT_E_CONNECTION_DOWN); }, true,
         XACT_E_CONNECTION_DOWN, "getCookie 7: : -2147168228"},
        {"export", [] { dtcdouble::setResult(dtcdouble::kExport, XACT_E_ABORTED); }, true, XACT_E_ABORTED,
         "getCookie 9: : -2147168231"},
        {"retrieval", [] { dtcdouble::setResult(dtcdouble::kGetTransactionCookie, E_INVALIDARG); }, true,
         E_INVALIDARG, "getCookie 9: : -2147024809"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        freshStart();
        ASSERT_EQ(init(), 0);
        c.script();
        Export e = exportOn(xid("c-fail"), c.started);
        EXPECT_EQ(e.result, c.result);
        EXPECT_EQ(e.cookie, nullptr);
        EXPECT_EQ(countLines(e.reports, c.text), 1) << e.reports;
        EXPECT_EQ(dtcdouble::liveObjects(), 3);
    }
    // After another thread's deinit the export answers XAER_RMFAIL, touching nothing.
    freshStart();
    Export unbound = exportOn(xid("c-unbound"), false);
    EXPECT_EQ(unbound.result, XAER_RMFAIL);
    EXPECT_EQ(unbound.cookie, nullptr);
    EXPECT_EQ(dtcdouble::callCount(dtcdouble::kGetWhereaboutsSize), 0);
}
