// The completion, recover and query requests: the exact DTC calls and
// results, when the branch record goes, the recover encoding, and a fault
// inside a DTC call.
#include <atomic>
#include <thread>

#include "XaTestSupport.h"
#include "common/Codes.h"
#include "platform/Thread.h"

using namespace xatest;
using dtcdouble::Call;

TEST(XaRequests, CompletionsCallDtcWithTheRequestsFieldsAndPassTheCodeOn) {
    freshStart();
    Request r;
    // No record needed: the call is made and its code returned, nothing else.
    XID unknown = xid("q-unknown");
    dtcdouble::pushResult(dtcdouble::kCommit, XAER_NOTA);
    EXPECT_EQ(r.run(xa_commit, unknown, TMONEPHASE), XAER_NOTA);
    dtcdouble::pushResult(dtcdouble::kPrepare, XA_RDONLY);
    EXPECT_EQ(r.run(xa_prepare, unknown), XA_RDONLY);
    dtcdouble::pushResult(dtcdouble::kRollback, XA_HEURMIX);
    EXPECT_EQ(r.run(xa_rollback, unknown), XA_HEURMIX);
    dtcdouble::pushResult(dtcdouble::kForget, XAER_PROTO);
    EXPECT_EQ(r.run(xa_forget, unknown, TMNOFLAGS), XAER_PROTO);
    EXPECT_EQ(r.replyLength(), 8u);
    std::vector<Call> calls = dtcdouble::calls();
    std::vector<dtcdouble::Entry> order;
    for (const Call& call : calls) {
        if (call.entry >= dtcdouble::kStart && call.entry <= dtcdouble::kForget) {
            order.push_back(call.entry);
            EXPECT_TRUE(xidEqual(call.xid, unknown));
            EXPECT_EQ(call.rmid, 1);
            EXPECT_EQ(call.thread, dtcdouble::currentThread());
        }
    }
    EXPECT_EQ(order, (std::vector<dtcdouble::Entry>{dtcdouble::kCommit, dtcdouble::kPrepare, dtcdouble::kRollback,
                                                     dtcdouble::kForget}));
    EXPECT_EQ(dtcdouble::callsOf(dtcdouble::kCommit).at(0).flags, TMONEPHASE);
}

TEST(XaRequests, RecordSurvivesPrepareAndGoesWithCommitRollbackOrForget) {
    freshStart();
    Request r;
    XID branch = xid("q-cycle");
    EXPECT_EQ(r.run(xa_query, branch), 1);
    ASSERT_EQ(r.run(xa_start, branch), XA_OK);
    EXPECT_EQ(r.run(xa_query, branch), 0);
    EXPECT_EQ(r.replyLength(), 8u);
    ASSERT_EQ(r.run(xa_end, branch, TMSUCCESS), XA_OK);
    ASSERT_EQ(r.run(xa_prepare, branch), XA_OK);
    EXPECT_EQ(r.run(xa_query, branch), 0);
    // A commit that fails still destroys the record.
    dtcdouble::pushResult(dtcdouble::kCommit, XAER_RMERR);
    EXPECT_EQ(r.run(xa_commit, branch), XAER_RMERR);
    EXPECT_EQ(r.run(xa_query, branch), 1);

    // Rollback of a branch never ended: DTC_XaRollback while the worker holds
    // the association, then the worker's TMSUCCESS end.
    XID active = xid("q-active");
    ASSERT_EQ(r.run(xa_start, active), XA_OK);
    dtcdouble::clearCalls();
    dtcdouble::pushResult(dtcdouble::kRollback, XAER_PROTO);
    EXPECT_EQ(r.run(xa_rollback, active), XAER_PROTO);
    EXPECT_EQ(r.run(xa_query, active), 1);
    ASSERT_TRUE(waitNoRecords());
    std::vector<Call> calls = dtcdouble::calls();
    ASSERT_EQ(calls.size(), 2u);
    EXPECT_EQ(calls[0].entry, dtcdouble::kRollback);
    EXPECT_EQ(calls[1].entry, dtcdouble::kEnd);
    EXPECT_EQ(calls[1].flags, TMSUCCESS);

    // Forget destroys the record before its DTC call: the record is freed by
    // the time DTC_XaForget is entered.
    XID ended = xid("q-forget");
    ASSERT_EQ(r.run(xa_start, ended), XA_OK);
    ASSERT_EQ(r.run(xa_end, ended, TMSUCCESS), XA_OK);
    {
        // Wait (bounded) until the ended worker has given its reference back,
        // so that only the registry (and this probe) holds the record.
        ThreadDatenRef probe(searchThreadDaten(ended));
        ASSERT_NE(probe.record, nullptr);
        for (int i = 0; i < 5000 && probe.record->references.load() > 2; ++i) {
            platform::sleepMs(1);
        }
        ASSERT_EQ(probe.record->references.load(), 2);
    }
    dtcdouble::setSlow(dtcdouble::kForget, true);
    Request forget;
    std::thread client([&] { forget.run(xa_forget, ended); });
    ASSERT_TRUE(dtcdouble::waitForCalls(dtcdouble::kForget, 1, 5000));
    EXPECT_EQ(threadDatenAlive(), 0);
    dtcdouble::releaseSlow(dtcdouble::kForget);
    client.join();
    EXPECT_EQ(forget.result, XA_OK);
}

TEST(XaRequests, RecoverEncodesAtMostSevenXidsCompactly) {
    freshStart();
    Request r;
    // Nothing to recover: result 0, payload the single word 0 (a 12-byte reply).
    EXPECT_EQ(r.run(xa_recover, nullXid(), TMSTARTRSCAN | TMENDRSCAN), 0);
    EXPECT_EQ(r.replyLength(), 12u);
    EXPECT_EQ(r.payload(), (std::vector<uint8_t>{0, 0, 0, 0}));
    std::vector<Call> recovers = dtcdouble::callsOf(dtcdouble::kRecover);
    ASSERT_EQ(recovers.size(), 1u);
    EXPECT_EQ(recovers[0].flags, TMSTARTRSCAN | TMENDRSCAN);
    EXPECT_EQ(recovers[0].rmid, 1);

    // The 23-byte example.
    dtcdouble::setRecoverXids({dtcdouble::makeXid(258, "\x0A\x0B\x0C", "\x0D\x0E")});
    EXPECT_EQ(r.run(xa_recover, nullXid(), TMSTARTRSCAN), 1);
    EXPECT_EQ(r.replyLength(), 23u);
    EXPECT_EQ(r.payload(), (std::vector<uint8_t>{11, 0, 0, 0, 0x02, 0x01, 0x00, 0x00, 3, 2, 0x0A, 0x0B, 0x0C, 0x0D,
                                                 0x0E}));

    // Ten in doubt: 7, then 3, then 0; the largest entries still fit.
    std::vector<XID> many;
    for (int i = 0; i < 10; ++i) {
        many.push_back(dtcdouble::makeXid(i, std::string(64, static_cast<char>('a' + i)), std::string(64, 'z')));
    }
    dtcdouble::setRecoverXids(many);
    EXPECT_EQ(r.run(xa_recover, nullXid(), TMSTARTRSCAN), 7);
    EXPECT_EQ(r.replyLength(), 8u + 4u + 7u * 134u);
    EXPECT_EQ(r.payload()[4 + 134 * 6], 6);  // the seventh entry's format identifier
    EXPECT_EQ(r.run(xa_recover, nullXid(), TMNOFLAGS), 3);
    EXPECT_EQ(r.run(xa_recover, nullXid(), TMENDRSCAN), 0);

    // Answers that cannot be encoded safely are refused as an RM error.
    dtcdouble::pushResult(dtcdouble::kRecover, 8);
    EXPECT_EQ(r.run(xa_recover, nullXid(), TMSTARTRSCAN), XAER_RMERR);
    EXPECT_EQ(r.replyLength(), 8u);
    XID wild = dtcdouble::makeXid(1, "g", "b");
    wild.gtrid_length = 100;
    wild.bqual_length = 100;
    dtcdouble::setRecoverXids({wild});
    EXPECT_EQ(r.run(xa_recover, nullXid(), TMSTARTRSCAN), XAER_RMERR);
    EXPECT_EQ(r.replyLength(), 8u);
    // A DTC failure has no payload.
    dtcdouble::pushResult(dtcdouble::kRecover, XAER_INVAL);
    EXPECT_EQ(r.run(xa_recover, nullXid(), TMNOFLAGS), XAER_INVAL);
    EXPECT_EQ(r.replyLength(), 8u);
}

TEST(XaRequests, QueryTouchesNoDtcAndNullXidMissesUnlessHeld) {
    freshStart();
    Request r;
    EXPECT_EQ(r.run(xa_query, nullXid()), 1);
    EXPECT_EQ(r.run(xa_query, xid("q-never")), 1);
    EXPECT_EQ(r.replyLength(), 8u);
    EXPECT_TRUE(dtcdouble::calls().empty());  // not even bound
}

TEST(XaRequests, AFaultInsideADtcCallIsCaughtAndTheLockIsReleased) {
    freshStart();
    Request r;
    XID branch = xid("q-fault");
    dtcdouble::setFault(dtcdouble::kPrepare, true);
    {
        Reports reports;
        EXPECT_EQ(r.run(xa_prepare, branch), kExceptionCaught);
        EXPECT_EQ(r.replyLength(), 8u);
        std::string text = reports.text();
        EXPECT_EQ(countLines(text, "Exception in xa_prepare : -1073741819"), 1) << text;
    }
    EXPECT_EQ(dtcCallsInFlight(), 0);
    dtcdouble::setFault(dtcdouble::kPrepare, false);
    // Another thread can take bridgeLock and the binding at once.
    std::thread other([&] {
        Request again;
        EXPECT_EQ(again.run(xa_prepare, branch), XA_OK);
        EXPECT_EQ(again.run(xa_recover, nullXid(), TMSTARTRSCAN), 0);
    });
    other.join();

    // A fault inside the worker's DTC_XaStart: the worker reports it, ends the
    // association and leaves; the start answers the exception code.
    dtcdouble::setFault(dtcdouble::kStart, true);
    {
        Reports reports;
        r.run(xa_start, xid("q-fault-worker"));
        EXPECT_TRUE(r.result == kExceptionCaught || r.result == XAER_PROTO) << r.result;
        EXPECT_EQ(r.replyLength(), 8u);
        (void)reports.text();
    }
    dtcdouble::setFault(dtcdouble::kStart, false);
    EXPECT_EQ(r.run(xa_rollback, xid("q-fault-worker")), XA_OK);
    EXPECT_TRUE(waitNoRecords());
}

// Prepare, commit and rollback hold bridgeLock across their DTC call, and a
// first start's worker holds it across the cookie export: while such a call is
// inside the coordinator the lock belongs to the thread that made it, so no
// other connection binds, unbinds or touches the registry meanwhile.
TEST(XaRequests, CompletionsAndCookieExportHoldBridgeLockAcrossTheirDtcCalls) {
    freshStart();
    Request setup;
    ASSERT_EQ(setup.run(xa_prepare, xid("lock-warmup")), XA_OK);  // bind first

    struct Case {
        dtcdouble::Entry entry;
        int32_t (*handler)(ClientConnection*);
        const char* gtrid;
        bool onWorker;  // the call is made by the branch's worker, not the connection
    };
    const Case cases[] = {{dtcdouble::kPrepare, xa_prepare, "lock-prepare", false},
                          {dtcdouble::kCommit, xa_commit, "lock-commit", false},
                          {dtcdouble::kRollback, xa_rollback, "lock-rollback", false},
                          {dtcdouble::kLookup, xa_start, "lock-cookie", true}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.gtrid);
        dtcdouble::clearCalls();
        dtcdouble::setSlow(c.entry, true);
        std::atomic<uint64_t> caller{0};
        Request r;
        std::thread connection([&] {
            caller.store(platform::threadCurrentId());
            (void)r.run(c.handler, xid(c.gtrid));
        });
        ASSERT_TRUE(dtcdouble::waitForCalls(c.entry, 1, 5000));
        uint64_t owner = bridgeLock().owner.load();
        EXPECT_NE(owner, 0u);
        EXPECT_FALSE(lockHeldByMe(bridgeLock()));
        if (!c.onWorker) {
            EXPECT_EQ(owner, caller.load());
        }
        dtcdouble::setSlow(c.entry, false);
        dtcdouble::releaseSlow(c.entry);
        connection.join();
        EXPECT_EQ(r.result, XA_OK);
        EXPECT_EQ(bridgeLock().owner.load(), 0u);
    }
    Request cleanup;
    EXPECT_EQ(cleanup.run(xa_rollback, xid("lock-cookie")), XA_OK);
    EXPECT_TRUE(waitNoRecords());
}

// In the opt-in parallel mode the same calls are made without bridgeLock: two
// connections' prepares are inside the coordinator at once, and neither holds
// the lock meanwhile; the registry work after the call still takes it.
TEST(XaRequests, InTheParallelModeCompletionsCallDtcWithoutBridgeLock) {
    freshStart();
    setParallelCompletions(true);
    Request setup;
    ASSERT_EQ(setup.run(xa_prepare, xid("par-warmup")), XA_OK);  // bind first
    ASSERT_EQ(setup.run(xa_start, xid("par-held")), XA_OK);
    for (dtcdouble::Entry entry : {dtcdouble::kPrepare, dtcdouble::kCommit, dtcdouble::kRollback,
                                   dtcdouble::kForget, dtcdouble::kRecover}) {
        SCOPED_TRACE(dtcdouble::entryName(entry));
        dtcdouble::clearCalls();
        dtcdouble::setSlow(entry, true);
        int32_t (*handler)(ClientConnection*) = entry == dtcdouble::kPrepare    ? xa_prepare
                                                : entry == dtcdouble::kCommit   ? xa_commit
                                                : entry == dtcdouble::kRollback ? xa_rollback
                                                : entry == dtcdouble::kForget   ? xa_forget
                                                                                : xa_recover;
        Request a;
        Request b;
        std::thread first([&] { (void)a.run(handler, xid("par-a"), entry == dtcdouble::kRecover ? TMSTARTRSCAN : 0); });
        std::thread second([&] { (void)b.run(handler, xid("par-b"), entry == dtcdouble::kRecover ? TMSTARTRSCAN : 0); });
        ASSERT_TRUE(dtcdouble::waitForCalls(entry, 2, 5000));  // both inside at once
        EXPECT_EQ(bridgeLock().owner.load(), 0u);
        // The registry stays usable meanwhile.
        Request probe;
        EXPECT_EQ(probe.run(xa_query, xid("par-held")), 0);
        dtcdouble::setSlow(entry, false);
        dtcdouble::releaseSlow(entry);
        first.join();
        second.join();
        EXPECT_GE(a.result, 0);
        EXPECT_GE(b.result, 0);
    }
    // A recover touches no registry: with bridgeLock held elsewhere (as a
    // cookie export holds it) it still binds-checks and calls without waiting.
    {
        platform::ScopedLock held(bridgeLock());
        Request elsewhere;
        std::thread recover([&] { (void)elsewhere.run(xa_recover, nullXid(), TMSTARTRSCAN | TMENDRSCAN); });
        recover.join();
        EXPECT_EQ(elsewhere.result, 0);
    }
    // Commit still destroys the record after its call.
    EXPECT_EQ(setup.run(xa_end, xid("par-held"), TMSUCCESS), XA_OK);
    EXPECT_EQ(setup.run(xa_commit, xid("par-held")), XA_OK);
    EXPECT_EQ(setup.run(xa_query, xid("par-held")), 1);
    setParallelCompletions(false);
    EXPECT_TRUE(waitNoRecords());
}
