// Branch workers and the start and end requests: the tables of join, suspend,
// resume and end, the worker's way out, and the exact DTC calls each makes.
#include <thread>

#include "XaTestSupport.h"
#include "common/Codes.h"

using namespace xatest;
using dtcdouble::Call;

namespace {

std::vector<Call> xaCalls() {
    std::vector<Call> some;
    for (const Call& call : dtcdouble::calls()) {
        if (call.entry >= dtcdouble::kStart && call.entry <= dtcdouble::kForget) {
            some.push_back(call);
        }
    }
    return some;
}

// Waits (bounded) until no record is alive: every worker has left and given
// its reference up.
bool workerGone(int32_t alive) {
    for (int i = 0; i < 5000 && threadDatenAlive() > alive; ++i) {
        platform::sleepMs(1);
    }
    return threadDatenAlive() <= alive;
}

// Waits (bounded) until the worker of a listed branch has finished its way out
// (its TMSUCCESS end, closing, a deinit after XAER_RMFAIL) and given its
// reference back, so only the registry holds the record.
bool workerReleased(const XID& x) {
    ThreadDatenRef probe(searchThreadDaten(x));
    if (probe.record == nullptr) {
        return false;
    }
    for (int i = 0; i < 5000 && probe.record->references.load() > 2; ++i) {
        platform::sleepMs(1);
    }
    return probe.record->references.load() == 2;
}

}  // namespace

TEST(XaWorker, StartRunsOnItsOwnWorkerAndAnswersWithTheCookie) {
    freshStart();
    dtcdouble::setCookieSize(80);
    XID branch = xid("w-start");
    Request start;
    EXPECT_EQ(start.run(xa_start, branch), XA_OK);
    EXPECT_EQ(start.replyLength(), 92u);  // header, length word 80, 80 bytes
    EXPECT_EQ(start.cookieLength(), 80);
    EXPECT_EQ(start.cookie(), dtcdouble::cookieFor(branch, 80));

    std::vector<Call> calls = xaCalls();
    ASSERT_EQ(calls.size(), 1u);
    EXPECT_EQ(calls[0].entry, dtcdouble::kStart);
    EXPECT_TRUE(xidEqual(calls[0].xid, branch));
    EXPECT_EQ(calls[0].rmid, 1);
    EXPECT_EQ(calls[0].flags, TMNOFLAGS);
    EXPECT_NE(calls[0].thread, dtcdouble::currentThread());
    // The cookie was looked up on the same thread that started the branch.
    EXPECT_EQ(dtcdouble::callsOf(dtcdouble::kLookup).at(0).thread, calls[0].thread);

    // A second plain start changes nothing.
    Request again;
    EXPECT_EQ(again.run(xa_start, branch), XAER_DUPID);
    EXPECT_EQ(again.replyLength(), 8u);
    EXPECT_EQ(xaCalls().size(), 1u);

    // A branch query finds it; a commit destroys it, and its waiting worker
    // ends the association with TMSUCCESS on its own thread.
    EXPECT_EQ(again.run(xa_query, branch), 0);
    EXPECT_EQ(again.run(xa_commit, branch), XA_OK);
    EXPECT_EQ(again.run(xa_query, branch), 1);
    ASSERT_TRUE(workerGone(0));
    calls = xaCalls();
    ASSERT_EQ(calls.size(), 3u);
    EXPECT_EQ(calls[1].entry, dtcdouble::kCommit);
    EXPECT_EQ(calls[1].thread, dtcdouble::currentThread());
    EXPECT_EQ(calls[2].entry, dtcdouble::kEnd);
    EXPECT_EQ(calls[2].flags, TMSUCCESS);
    EXPECT_EQ(calls[2].thread, calls[0].thread);
    EXPECT_EQ(dtcdouble::liveObjects(), 3);  // only the binding's three interfaces
}

TEST(XaWorker, JoinsAreAnsweredWithoutDtcAndOnlyTheLastEndReachesIt) {
    freshStart();
    XID branch = xid("w-join");
    Request r;
    // TMJOIN of an unknown XID makes the branch, TMJOIN passed on.
    ASSERT_EQ(r.run(xa_start, branch, TMJOIN), XA_OK);
    std::vector<uint8_t> cookie = r.cookie();
    EXPECT_EQ(xaCalls().at(0).flags, TMJOIN);
    EXPECT_EQ(r.run(xa_start, branch, TMJOIN), XA_OK);
    EXPECT_EQ(r.cookie(), cookie);
    EXPECT_EQ(r.run(xa_start, branch, TMJOIN), XA_OK);
    EXPECT_EQ(xaCalls().size(), 1u);

    EXPECT_EQ(r.run(xa_end, branch, TMSUCCESS), XA_OK);
    EXPECT_EQ(r.run(xa_end, branch, TMSUCCESS), XA_OK);
    EXPECT_EQ(xaCalls().size(), 1u);
    EXPECT_EQ(r.run(xa_end, branch, TMSUCCESS), XA_OK);  // reaches DTC_XaEnd, worker leaves
    EXPECT_EQ(r.run(xa_end, branch, TMSUCCESS), XAER_PROTO);
    std::vector<Call> calls = xaCalls();
    ASSERT_EQ(calls.size(), 2u);  // exactly one DTC_XaEnd after an end that answered XA_OK
    EXPECT_EQ(calls[1].entry, dtcdouble::kEnd);
    EXPECT_EQ(calls[1].flags, TMSUCCESS);
    EXPECT_EQ(calls[1].thread, calls[0].thread);

    // The closing record stays until it is completed; a join still succeeds.
    EXPECT_EQ(r.run(xa_query, branch), 0);
    EXPECT_EQ(r.run(xa_start, branch, TMJOIN), XA_OK);
    EXPECT_EQ(r.run(xa_start, branch), XAER_DUPID);
    EXPECT_EQ(r.run(xa_rollback, branch), XA_OK);
    EXPECT_EQ(r.run(xa_query, branch), 1);
    EXPECT_TRUE(workerGone(0));
}

TEST(XaWorker, SuspendAndResumeRunOnTheSameWorkerWithTheSameCookie) {
    freshStart();
    XID branch = xid("w-suspend");
    Request r;
    ASSERT_EQ(r.run(xa_start, branch), XA_OK);
    std::vector<uint8_t> cookie = r.cookie();
    EXPECT_EQ(r.run(xa_end, branch, TMSUSPEND), XA_OK);
    ASSERT_EQ(r.run(xa_start, branch, TMRESUME), XA_OK);
    EXPECT_EQ(r.cookie(), cookie);
    EXPECT_EQ(r.run(xa_end, branch, TMSUCCESS), XA_OK);

    std::vector<Call> calls = xaCalls();
    ASSERT_EQ(calls.size(), 4u);
    const int32_t flags[] = {TMNOFLAGS, TMSUSPEND, TMRESUME, TMSUCCESS};
    for (size_t i = 0; i < 4; ++i) {
        EXPECT_EQ(calls[i].flags, flags[i]) << i;
        EXPECT_EQ(calls[i].thread, calls[0].thread) << i;
    }
    EXPECT_EQ(dtcdouble::callCount(dtcdouble::kExport), 1);  // the cookie is exported once

    // After an end without TMSUSPEND the worker is gone: a resume answers
    // XAER_PROTO and destroys the record.
    EXPECT_EQ(r.run(xa_start, branch, TMRESUME), XAER_PROTO);
    EXPECT_EQ(r.replyLength(), 8u);
    EXPECT_EQ(r.run(xa_end, branch, TMSUCCESS), kEndNoRecord);
    EXPECT_TRUE(workerGone(0));

    // A resume or an end of an XID without a record.
    EXPECT_EQ(r.run(xa_start, xid("w-nothing"), TMRESUME), -1);
    EXPECT_EQ(r.run(xa_start, xid("w-nothing"), TMRESUME | TMJOIN), -1);
    EXPECT_EQ(r.run(xa_end, xid("w-nothing"), TMSUCCESS), kEndNoRecord);
    EXPECT_EQ(r.replyLength(), 8u);
    EXPECT_EQ(threadDatenAlive(), 0);
}

TEST(XaWorker, FailedStartEndsTheWorkerAndLeavesAClosingRecordOrNone) {
    // Who comes first, the start's check of closing or the failing worker's
    // way out, decides the answer: DTC's code with the record left closing,
    // or XAER_PROTO with the record destroyed. Holding the worker inside
    // DTC_XaStart until the call is seen makes the first order the usual one;
    // each attempt checks that what follows matches the answer it got.
    freshStart();
    bool sawDtcCode = false;
    for (int attempt = 0; attempt < 20 && !sawDtcCode; ++attempt) {
        SCOPED_TRACE(attempt);
        XID branch = xid("w-failed-" + std::to_string(attempt));
        dtcdouble::clearCalls();
        dtcdouble::setSlow(dtcdouble::kStart, true);
        dtcdouble::pushResult(dtcdouble::kStart, XAER_RMERR);
        Request r;
        std::thread client([&] { r.run(xa_start, branch); });
        ASSERT_TRUE(dtcdouble::waitForCalls(dtcdouble::kStart, 1, 5000));
        dtcdouble::releaseSlow(dtcdouble::kStart);
        client.join();
        EXPECT_EQ(r.replyLength(), 8u);
        std::vector<Call> calls = xaCalls();
        ASSERT_GE(calls.size(), 1u);
        ASSERT_TRUE(r.result == XAER_RMERR || r.result == XAER_PROTO) << r.result;
        Request more;
        if (r.result == XAER_PROTO) {
            EXPECT_EQ(more.run(xa_query, branch), 1);
            EXPECT_TRUE(workerGone(0));
            continue;
        }
        sawDtcCode = true;
        ASSERT_TRUE(workerReleased(branch));
        calls = xaCalls();
        ASSERT_EQ(calls.size(), 2u);
        EXPECT_EQ(calls[1].entry, dtcdouble::kEnd);
        EXPECT_EQ(calls[1].flags, TMSUCCESS);
        EXPECT_EQ(dtcdouble::callCount(dtcdouble::kLookup), 0);
        EXPECT_EQ(more.run(xa_start, branch), XAER_DUPID);
        EXPECT_EQ(more.run(xa_end, branch, TMSUCCESS), XAER_PROTO);
        EXPECT_EQ(more.run(xa_query, branch), 0);
        EXPECT_EQ(more.run(xa_start, branch, TMRESUME), XAER_PROTO);  // destroys it
        EXPECT_EQ(more.run(xa_query, branch), 1);
    }
    EXPECT_TRUE(sawDtcCode);
    EXPECT_TRUE(workerGone(0));
}

TEST(XaWorker, FailedCookieExportEndsTheBranchWithTheExportCode) {
    freshStart();
    // As with a failed start, the answer is the export's code when the start's
    // check of closing comes first (held back by a slow Export, the usual
    // order), or XAER_PROTO with the record destroyed.
    bool sawExportCode = false;
    for (int attempt = 0; attempt < 20 && !sawExportCode; ++attempt) {
        SCOPED_TRACE(attempt);
        dtcdouble::clearCalls();
        dtcdouble::setResult(dtcdouble::kExport, XACT_E_NOTRANSACTION);
        dtcdouble::setSlow(dtcdouble::kExport, true);
        XID branch = xid("w-cookie-" + std::to_string(attempt));
        Reports reports;
        Request r;
        std::thread client([&] { r.run(xa_start, branch); });
        ASSERT_TRUE(dtcdouble::waitForCalls(dtcdouble::kExport, 1, 5000));
        dtcdouble::releaseSlow(dtcdouble::kExport);
        client.join();
        EXPECT_EQ(r.replyLength(), 8u);
        EXPECT_EQ(countLines(reports.text(), "getCookie 9: : -2147168242"), 1);
        ASSERT_TRUE(r.result == XACT_E_NOTRANSACTION || r.result == XAER_PROTO) << r.result;
        if (r.result == XAER_PROTO) {
            EXPECT_TRUE(workerGone(0));
            continue;
        }
        sawExportCode = true;
        ASSERT_TRUE(workerReleased(branch));
        std::vector<Call> calls = xaCalls();
        ASSERT_EQ(calls.size(), 2u);
        EXPECT_EQ(calls[1].flags, TMSUCCESS);
        EXPECT_EQ(dtcdouble::liveObjects(), 3);  // the export object and the transaction were given back
        // A join hands out no cookie now (the word -1).
        dtcdouble::setResult(dtcdouble::kExport, S_OK);
        EXPECT_EQ(r.run(xa_start, branch, TMJOIN), XA_OK);
        EXPECT_EQ(r.cookieLength(), -1);
        EXPECT_EQ(r.run(xa_forget, branch), XA_OK);
    }
    EXPECT_TRUE(sawExportCode);
    EXPECT_TRUE(workerGone(0));
}

TEST(XaWorker, AFailedEndIsFollowedByASecondEndWithTmsuccess) {
    freshStart();
    XID branch = xid("w-end");
    Request r;
    ASSERT_EQ(r.run(xa_start, branch), XA_OK);
    dtcdouble::pushResult(dtcdouble::kEnd, XA_RBROLLBACK);
    EXPECT_EQ(r.run(xa_end, branch, TMFAIL), XA_RBROLLBACK);
    ASSERT_TRUE(workerReleased(branch));
    std::vector<Call> ends = dtcdouble::callsOf(dtcdouble::kEnd);
    ASSERT_EQ(ends.size(), 2u);
    EXPECT_EQ(ends[0].flags, TMFAIL);
    EXPECT_EQ(ends[1].flags, TMSUCCESS);

    // A suspend that fails keeps the worker, whatever the code.
    XID other = xid("w-end-suspend");
    ASSERT_EQ(r.run(xa_start, other), XA_OK);
    dtcdouble::pushResult(dtcdouble::kEnd, XAER_RMERR);
    EXPECT_EQ(r.run(xa_end, other, TMSUSPEND), XAER_RMERR);
    EXPECT_EQ(r.run(xa_start, other, TMRESUME), XA_OK);
    EXPECT_EQ(r.run(xa_rollback, other), XA_OK);
    EXPECT_EQ(r.run(xa_rollback, branch), XA_OK);
    EXPECT_TRUE(workerGone(0));
}

TEST(XaWorker, RmfailOnTheWorkerDropsTheBinding) {
    freshStart();
    XID branch = xid("w-rmfail");
    Request r;
    ASSERT_EQ(r.run(xa_start, branch), XA_OK);
    dtcdouble::pushResult(dtcdouble::kEnd, XAER_RMFAIL);
    EXPECT_EQ(r.run(xa_end, branch, TMSUCCESS), XAER_RMFAIL);
    ASSERT_TRUE(workerReleased(branch));
    // Dropped by the handler and by the worker; the second finds nothing left.
    EXPECT_EQ(dtcdouble::callCount(dtcdouble::kClose), 1);
    EXPECT_EQ(dtcdouble::liveObjects(), 0);
    EXPECT_EQ(r.run(xa_rollback, branch), XA_OK);
    EXPECT_EQ(dtcdouble::callCount(dtcdouble::kOpen), 2);

    // A start that answers -7: the handler drops the binding, and nothing stays bound.
    // A start that answers -7: the worker drops the binding on its way out
    // (and the handler too, when it sees -7 rather than XAER_PROTO).
    dtcdouble::pushResult(dtcdouble::kStart, XAER_RMFAIL);
    r.run(xa_start, xid("w-rmfail-2"));
    EXPECT_TRUE(r.result == XAER_RMFAIL || r.result == XAER_PROTO) << r.result;
    ASSERT_TRUE(r.result == XAER_RMFAIL ? workerReleased(xid("w-rmfail-2")) : workerGone(0));
    EXPECT_EQ(dtcdouble::callCount(dtcdouble::kClose), 2);
    EXPECT_EQ(r.run(xa_rollback, xid("w-rmfail-2")), XA_OK);
    EXPECT_TRUE(workerGone(0));
}

TEST(XaWorker, InvalidXidsAndFailedInitLeaveNoRecord) {
    freshStart();
    Request r;
    XID wide = xid("g");
    wide.gtrid_length = 65;
    wide.bqual_length = 0;
    EXPECT_EQ(r.run(xa_start, wide), XAER_INVAL);
    EXPECT_EQ(r.run(xa_start, wide, TMJOIN), XAER_INVAL);
    XID negative = xid("g");
    negative.gtrid_length = 3;
    negative.bqual_length = -1;
    EXPECT_EQ(r.run(xa_start, negative), XAER_INVAL);
    EXPECT_EQ(r.run(xa_end, negative, TMSUCCESS), kEndNoRecord);
    EXPECT_EQ(dtcdouble::callCount(dtcdouble::kStart), 0);
    EXPECT_EQ(threadDatenAlive(), 0);

    // An init that fails: -7 for start and end, no record, the next request tries again.
    deinit();
    dtcdouble::clearCalls();
    dtcdouble::setResult(dtcdouble::kOpen, XAER_RMFAIL);
    Reports reports;
    EXPECT_EQ(r.run(xa_start, xid("w-noinit")), XAER_RMFAIL);
    EXPECT_EQ(r.run(xa_end, xid("w-noinit"), TMSUCCESS), XAER_RMFAIL);
    EXPECT_EQ(countLines(reports.text(), "Morvalen not init. : -7"), 2);
    EXPECT_EQ(dtcdouble::callCount(dtcdouble::kOpen), 2);
    EXPECT_EQ(threadDatenAlive(), 0);
}

TEST(XaWorker, ASecondPosterWhileOneWaitsIsAnsweredXaerProto) {
    freshStart();
    XID branch = xid("w-two-posters");
    Request r;
    ASSERT_EQ(r.run(xa_start, branch), XA_OK);
    dtcdouble::setSlow(dtcdouble::kEnd, true);
    Request first;
    std::thread poster([&] { first.run(xa_end, branch, TMSUSPEND); });
    ASSERT_TRUE(dtcdouble::waitForCalls(dtcdouble::kEnd, 1, 5000));
    // Neither waits behind the first nor steals its answer.
    Request second;
    EXPECT_EQ(second.run(xa_end, branch, TMSUCCESS), XAER_PROTO);
    EXPECT_EQ(second.run(xa_start, branch, TMRESUME), XAER_PROTO);
    dtcdouble::releaseSlow(dtcdouble::kEnd);
    poster.join();
    EXPECT_EQ(first.result, XA_OK);
    EXPECT_EQ(dtcdouble::callCount(dtcdouble::kEnd), 1);
    EXPECT_EQ(r.run(xa_start, branch, TMRESUME), XA_OK);
    EXPECT_EQ(r.run(xa_rollback, branch), XA_OK);
    EXPECT_TRUE(waitNoRecords());
}
