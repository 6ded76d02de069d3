// The DTC binding: lazy init, its failure texts and codes, deinit, rebinding
// after XAER_RMFAIL, and calls racing a deinit of another thread.
#include <algorithm>
#include <cstdio>
#include <thread>

#include "XaTestSupport.h"
#include "platform/Library.h"
#include "support/Process.h"
#include "xa/ScopeExit.h"

using namespace xatest;
using dtcdouble::Entry;

namespace {

constexpr const char* kOpenString = "TM=Morvalen,RmRecoveryGuid=7592BBA9-26B4-421A-AE43-6E27A5BFD134";

}  // namespace

TEST(XaBinding, FirstRequestBindsLaterOnesReuseIt) {
    freshStart();
    Request request;
    EXPECT_EQ(request.run(xa_prepare, xid("bind-1")), XA_OK);
    EXPECT_EQ(request.run(xa_prepare, xid("bind-2")), XA_OK);
    EXPECT_EQ(request.run(xa_commit, xid("bind-2")), XA_OK);

    std::vector<dtcdouble::Call> opens = dtcdouble::callsOf(dtcdouble::kOpen);
    ASSERT_EQ(opens.size(), 1u);
    EXPECT_EQ(opens[0].info, kOpenString);
    EXPECT_EQ(opens[0].rmid, 1);
    EXPECT_EQ(opens[0].flags, TMNOFLAGS);
    // Three interfaces, asked for once.
    EXPECT_EQ(dtcdouble::callCount(dtcdouble::kGetTransactionManager), 3);
    std::vector<dtcdouble::Call> prepares = dtcdouble::callsOf(dtcdouble::kPrepare);
    ASSERT_EQ(prepares.size(), 2u);
    EXPECT_TRUE(xidEqual(prepares[1].xid, xid("bind-2")));
    EXPECT_EQ(prepares[1].rmid, 1);

    // deinit closes with the same string, unloads and gives every interface back.
    int32_t unloads = dtcdouble::libraryUnloads();
    deinit();
    std::vector<dtcdouble::Call> closes = dtcdouble::callsOf(dtcdouble::kClose);
    ASSERT_EQ(closes.size(), 1u);
    EXPECT_EQ(closes[0].info, kOpenString);
    EXPECT_EQ(dtcdouble::libraryUnloads(), unloads + 1);
    EXPECT_EQ(dtcdouble::liveObjects(), 0);
    // A second deinit, and one before any init, change nothing.
    deinit();
    EXPECT_EQ(dtcdouble::callCount(dtcdouble::kClose), 1);
}

TEST(XaBinding, EachFailureHasItsTextCodeAndLeavesNothingBound) {
    struct Case {
        const char* name;
        void (*script)();
        int32_t code;      // reported
        int32_t answered;  // the request's result
        const char* text;
    };
    // A coordinator that cannot be reached (the open's XAER_RMERR, an
    // unavailable transaction manager) is answered XAER_RMFAIL, so that a
    // transaction manager retries; the reports keep the coordinator's code.
    const Case cases[] = {
        {"open", [] { dtcdouble::setResult(dtcdouble::kOpen, XAER_RMERR); }, XAER_RMERR, XAER_RMFAIL,
         "Open the MSDTC : -3"},
        {"open-inval", [] { dtcdouble::setResult(dtcdouble::kOpen, XAER_INVAL); }, XAER_INVAL, XAER_INVAL,
         "Open the MSDTC : -5"},
        {"whereabouts", [] { dtcdouble::setTransactionManager(dtcdouble::kWhereabouts, XACT_E_TMNOTAVAILABLE, false); },
         XACT_E_TMNOTAVAILABLE, XAER_RMFAIL,
         "DtcGetTransactionManager::IID_ITransactionImportWhereabouts : -2147168229"},
        {"factory", [] { dtcdouble::setTransactionManager(dtcdouble::kExportFactory, E_FAIL, false); }, E_FAIL, E_FAIL,
         "DtcGetTransactionManager::IID_ITransactionExportFactory : -2147467259"},
        {"lookup", [] { dtcdouble::setTransactionManager(dtcdouble::kXaLookup, E_OUTOFMEMORY, false); }, E_OUTOFMEMORY,
         E_OUTOFMEMORY, "DtcGetTransactionManager::IID_IXATransLookup : -2147024882"},
        // Success with a null pointer: reported with the success code, then E_NOINTERFACE.
        {"null", [] { dtcdouble::setTransactionManager(dtcdouble::kXaLookup, S_OK, true); }, E_NOINTERFACE,
         E_NOINTERFACE, "DtcGetTransactionManager::IID_IXATransLookup : 0"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        freshStart();
        c.script();
        Reports reports;
        Request request;
        EXPECT_EQ(request.run(xa_start, xid("fail-start")), c.answered);
        EXPECT_EQ(request.replyLength(), 8u);
        std::string text = reports.text();
        EXPECT_EQ(countLines(text, c.text), 1) << text;
        EXPECT_EQ(countLines(text, "Morvalen not init. : " + std::to_string(c.code)), 1) << text;
        // What was bound is dropped: closed (the close follows the open even
        // when the open failed), unloaded, interfaces released; no record.
        EXPECT_EQ(dtcdouble::callCount(dtcdouble::kClose), 1);
        EXPECT_EQ(dtcdouble::liveObjects(), 0);
        EXPECT_EQ(dtcdouble::callCount(dtcdouble::kStart), 0);
        EXPECT_EQ(request.run(xa_query, xid("fail-start")), 1);
    }
    // A S_FALSE answer with a pointer is a success.
    freshStart();
    dtcdouble::setTransactionManager(dtcdouble::kExportFactory, S_FALSE, false);
    Request request;
    EXPECT_EQ(request.run(xa_prepare, xid("false-ok")), XA_OK);
    EXPECT_EQ(dtcdouble::callCount(dtcdouble::kClose), 0);
}

TEST(XaBinding, LibraryWithoutCompleteIsRefused) {
    freshStart();
    // Loaded by its path first, the variant is what the bare name then finds.
    std::string path = testsupport::libDir() + "/doubles/without-complete/libmsdtcprx.so";
    platform::LibraryHandle variant = platform::libraryLoad(path.c_str());
    ASSERT_NE(variant, nullptr) << path;
    ASSERT_EQ(platform::librarySymbol(variant, "DTC_XaComplete"), nullptr);
    {
        Reports reports;
        Request request;
        EXPECT_EQ(request.run(xa_recover, nullXid(), TMSTARTRSCAN), XAER_RMFAIL);
        EXPECT_EQ(request.replyLength(), 8u);
        std::string text = reports.text();
        EXPECT_EQ(countLines(text, "MSDTCPRX.DLL not init. : -7"), 1) << text;
        EXPECT_EQ(countLines(text, "Morvalen not init. : -7"), 1) << text;
        EXPECT_EQ(dtcdouble::callCount(dtcdouble::kOpen), 0);
    }
    platform::libraryFree(variant);
}

TEST(XaBinding, RmfailDropsTheBindingAndTheNextRequestBindsAfresh) {
    freshStart();
    Request request;
    dtcdouble::pushResult(dtcdouble::kCommit, XAER_RMFAIL);
    EXPECT_EQ(request.run(xa_commit, xid("rmfail")), XAER_RMFAIL);
    EXPECT_EQ(dtcdouble::callCount(dtcdouble::kClose), 1);
    EXPECT_EQ(dtcdouble::liveObjects(), 0);
    {
        Reports reports;
        EXPECT_EQ(request.run(xa_rollback, xid("rmfail")), XA_OK);
        EXPECT_EQ(reports.text(), "");  // binding again logs nothing
    }
    EXPECT_EQ(dtcdouble::callCount(dtcdouble::kOpen), 2);

    // Every kind of request drops it on -7 from its DTC call.
    struct Kind {
        Entry entry;
        int32_t (*handler)(ClientConnection*);
    };
    for (Kind kind : {Kind{dtcdouble::kPrepare, xa_prepare}, Kind{dtcdouble::kRollback, xa_rollback},
                      Kind{dtcdouble::kForget, xa_forget}, Kind{dtcdouble::kRecover, xa_recover}}) {
        SCOPED_TRACE(dtcdouble::entryName(kind.entry));
        int32_t closes = dtcdouble::callCount(dtcdouble::kClose);
        dtcdouble::pushResult(kind.entry, XAER_RMFAIL);
        EXPECT_EQ(request.run(kind.handler, xid("rmfail-kind")), XAER_RMFAIL);
        EXPECT_EQ(request.replyLength(), 8u);
        EXPECT_EQ(dtcdouble::callCount(dtcdouble::kClose), closes + 1);
    }
}

TEST(XaBinding, InitUnderTheHeldLockDoesNotBlock) {
    freshStart();
    platform::ScopedLock hold(bridgeLock());
    EXPECT_EQ(init(), 0);
    EXPECT_EQ(init(), 0);
    EXPECT_EQ(dtcdouble::callCount(dtcdouble::kOpen), 1);
    deinit();
    EXPECT_EQ(dtcdouble::callCount(dtcdouble::kClose), 1);
}

TEST(XaBinding, ACallAfterAnotherThreadsDeinitAnswersRmfailWithoutCallingDtc) {
    freshStart();
    ASSERT_EQ(init(), 0);
    XID branch = xid("after-deinit");
    std::thread other([] { deinit(); });
    other.join();
    EXPECT_EQ(dtcBranchCall(kSlotPrepare, &branch, TMNOFLAGS), XAER_RMFAIL);
    EXPECT_EQ(dtcdouble::callCount(dtcdouble::kPrepare), 0);
}

TEST(XaBinding, TheLibraryStaysLoadedUntilTheLastCallInFlightReturns) {
    freshStart();
    ASSERT_EQ(init(), 0);
    dtcdouble::setSlow(dtcdouble::kEnd, true);
    XID branch = xid("in-flight");
    int32_t inFlightResult = 1;
    // A worker-style call without bridgeLock, held inside the library.
    std::thread caller([&] { inFlightResult = dtcBranchCall(kSlotEnd, &branch, TMSUCCESS); });
    ASSERT_TRUE(dtcdouble::waitForCalls(dtcdouble::kEnd, 1, 5000));
    int32_t unloads = dtcdouble::libraryUnloads();
    deinit();  // does not wait for the call, and does not unload under it
    EXPECT_EQ(dtcdouble::callCount(dtcdouble::kClose), 1);
    EXPECT_EQ(dtcdouble::libraryUnloads(), unloads);
    EXPECT_EQ(dtcCallsInFlight(), 1);
    // Binding again meanwhile is fine: the library is the same one.
    ASSERT_EQ(init(), 0);
    dtcdouble::releaseSlow(dtcdouble::kEnd);
    caller.join();
    EXPECT_EQ(inFlightResult, XA_OK);
    EXPECT_EQ(dtcCallsInFlight(), 0);
    // The deferred unload ran: one reference is left, the current binding's.
    EXPECT_EQ(dtcdouble::libraryUnloads(), unloads);
    deinit();
    EXPECT_EQ(dtcdouble::libraryUnloads(), unloads + 1);
}

TEST(XaBinding, ALateRmfailDropsOnlyTheBindingItsCallWentThrough) {
    // A worker's end answers XAER_RMFAIL late, after another thread has dropped
    // the binding and a third request has bound afresh: the end's handler must
    // not drop the new binding.
    freshStart();
    XID branch = xid("gen-branch");
    Request r;
    ASSERT_EQ(r.run(xa_start, branch), XA_OK);
    uint64_t first = dtcBindingGeneration();
    ASSERT_NE(first, 0u);
    dtcdouble::setSlow(dtcdouble::kEnd, true);
    dtcdouble::pushResult(dtcdouble::kEnd, XAER_RMFAIL);
    Request ender;
    std::thread end([&] { ender.run(xa_end, branch, TMSUSPEND); });
    ASSERT_TRUE(dtcdouble::waitForCalls(dtcdouble::kEnd, 1, 5000));
    deinit();
    Request other;
    EXPECT_EQ(other.run(xa_recover, nullXid(), TMSTARTRSCAN), 0);  // binds afresh
    uint64_t second = dtcBindingGeneration();
    EXPECT_NE(second, 0u);
    EXPECT_NE(second, first);
    int32_t closes = dtcdouble::callCount(dtcdouble::kClose);
    dtcdouble::releaseSlow(dtcdouble::kEnd);
    end.join();
    EXPECT_EQ(ender.result, XAER_RMFAIL);
    EXPECT_EQ(dtcBindingGeneration(), second);
    EXPECT_EQ(dtcdouble::callCount(dtcdouble::kClose), closes);
    EXPECT_EQ(dtcdouble::callCount(dtcdouble::kOpen), 2);
    // A call through the binding that stands still drops it on XAER_RMFAIL.
    dtcdouble::pushResult(dtcdouble::kPrepare, XAER_RMFAIL);
    EXPECT_EQ(other.run(xa_prepare, xid("gen-other")), XAER_RMFAIL);
    EXPECT_EQ(dtcBindingGeneration(), 0u);
    EXPECT_EQ(other.run(xa_rollback, branch), XA_OK);
    EXPECT_TRUE(waitNoRecords());
}

// Branches kept apart per client: off, a certificate name changes nothing;
// on, each name gets an rmid and an open string of its own, opened once per
// binding on the name's first request, every call of its requests goes to
// it, and the binding's drop closes it before the service's own close.
TEST(XaBinding, EachCertificateNameHasAResourceManagerOfItsOwnUnderIsolation) {
    freshStart();
    Request alice;
    std::snprintf(alice.connection.peerName, sizeof alice.connection.peerName, "alice");
    EXPECT_EQ(ownerRmid("alice"), kRmid);  // off: the name is not looked at
    EXPECT_EQ(alice.run(xa_prepare, xid("iso-off")), XA_OK);
    EXPECT_EQ(dtcdouble::callsOf(dtcdouble::kOpen).size(), 1u);
    EXPECT_EQ(dtcdouble::callsOf(dtcdouble::kPrepare)[0].rmid, kRmid);

    setClientIsolation(true);
    ScopeExit off([] { setClientIsolation(false); });
    Request bob;
    std::snprintf(bob.connection.peerName, sizeof bob.connection.peerName, "bob");
    int32_t aliceRmid = ownerRmid("alice");
    int32_t bobRmid = ownerRmid("bob");
    EXPECT_GT(aliceRmid, kRmid);
    EXPECT_GT(bobRmid, kRmid);
    EXPECT_NE(aliceRmid, bobRmid);
    EXPECT_EQ(ownerRmid("alice"), aliceRmid);  // the same for the process's life
    EXPECT_EQ(ownerRmid(""), kNoOwner);
    char text[100] = {};
    ASSERT_TRUE(ownerOpenString(aliceRmid, text, sizeof text));
    EXPECT_STREQ(text, "TM=Morvalen,RmRecoveryGuid=1E3F3BE9-B29E-5BBB-B454-1AB43A7AB344");
    EXPECT_FALSE(ownerOpen(aliceRmid));  // given, but not opened before it is needed

    EXPECT_EQ(alice.run(xa_prepare, xid("iso-a")), XA_OK);
    EXPECT_EQ(alice.run(xa_commit, xid("iso-a")), XA_OK);
    EXPECT_EQ(bob.run(xa_rollback, xid("iso-b")), XA_OK);
    EXPECT_EQ(alice.run(xa_recover, xid("iso-a"), TMSTARTRSCAN | TMENDRSCAN), 0);
    EXPECT_TRUE(ownerOpen(aliceRmid));
    std::vector<dtcdouble::Call> opens = dtcdouble::callsOf(dtcdouble::kOpen);
    ASSERT_EQ(opens.size(), 3u);  // the service's own (still standing), then one per name
    EXPECT_EQ(opens[1].rmid, aliceRmid);
    EXPECT_EQ(opens[1].info, text);
    EXPECT_EQ(opens[2].rmid, bobRmid);
    EXPECT_EQ(opens[2].info, "TM=Morvalen,RmRecoveryGuid=42C02268-D663-5343-B0A5-EA45857E4576");
    EXPECT_EQ(dtcdouble::callsOf(dtcdouble::kPrepare)[1].rmid, aliceRmid);
    EXPECT_EQ(dtcdouble::callsOf(dtcdouble::kCommit)[0].rmid, aliceRmid);
    EXPECT_EQ(dtcdouble::callsOf(dtcdouble::kRollback)[0].rmid, bobRmid);
    EXPECT_EQ(dtcdouble::callsOf(dtcdouble::kRecover)[0].rmid, aliceRmid);

    // The drop closes the names' resource managers, then the service's own;
    // the next request of a name binds and opens its own again.
    deinit();
    std::vector<dtcdouble::Call> closes = dtcdouble::callsOf(dtcdouble::kClose);
    ASSERT_EQ(closes.size(), 3u);
    EXPECT_EQ(closes[2].rmid, kRmid);
    EXPECT_EQ(closes[2].info, kOpenString);
    EXPECT_FALSE(ownerOpen(aliceRmid));
    EXPECT_EQ(alice.run(xa_prepare, xid("iso-c")), XA_OK);
    opens = dtcdouble::callsOf(dtcdouble::kOpen);
    ASSERT_EQ(opens.size(), 5u);
    EXPECT_EQ(opens[3].rmid, kRmid);
    EXPECT_EQ(opens[4].rmid, aliceRmid);

    // A connection without a name owns nothing.
    Request nameless;
    EXPECT_EQ(nameless.run(xa_prepare, xid("iso-d")), XAER_NOTA);
    EXPECT_EQ(nameless.run(xa_query, xid("iso-d")), 1);
}

// Many connections of a few names at once, in both completion modes: each
// name's resource manager is opened exactly once under the binding, and every
// call goes to its own name's rmid.
TEST(XaBinding, ConcurrentFirstRequestsOfANameOpenItsResourceManagerOnce) {
    for (bool parallel : {false, true}) {
        SCOPED_TRACE(parallel);
        freshStart();
        setParallelCompletions(parallel);
        setClientIsolation(true);
        ScopeExit off([] {
            setClientIsolation(false);
            setParallelCompletions(false);
        });
        const char* names[] = {"carol", "dave", "erin"};
        std::vector<std::thread> threads;
        for (int t = 0; t < 6; ++t) {
            threads.emplace_back([t, &names] {
                Request request;
                std::snprintf(request.connection.peerName, sizeof request.connection.peerName, "%s", names[t % 3]);
                for (int i = 0; i < 20; ++i) {
                    EXPECT_EQ(request.run(xa_prepare, xid("conc-" + std::to_string(t) + "-" + std::to_string(i))),
                              XA_OK);
                }
            });
        }
        for (std::thread& thread : threads) {
            thread.join();
        }
        std::vector<dtcdouble::Call> opens = dtcdouble::callsOf(dtcdouble::kOpen);
        ASSERT_EQ(opens.size(), 4u);  // the service's own and one per name
        for (const char* name : names) {
            int32_t rmid = ownerRmid(name);
            EXPECT_EQ(std::count_if(opens.begin(), opens.end(), [rmid](const dtcdouble::Call& c) { return c.rmid == rmid; }),
                      1);
            EXPECT_TRUE(ownerOpen(rmid));
        }
        std::vector<dtcdouble::Call> prepares = dtcdouble::callsOf(dtcdouble::kPrepare);
        EXPECT_EQ(prepares.size(), 120u);
        for (const dtcdouble::Call& call : prepares) {
            int t = call.xid.data[5] - '0';  // "conc-T-I"
            EXPECT_EQ(call.rmid, ownerRmid(names[t % 3]));
        }
    }
}
