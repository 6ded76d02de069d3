// The branch registry: the growing array, removal, XID equality, the
// ten-minute expiry with its report and rollback (on a substituted clock), and
// garbageThreadDaten's bounded wait. Records here have no worker: a record
// made "closing" is destroyed without waiting.
#include <algorithm>
#include <chrono>

#include "XaTestSupport.h"

using namespace xatest;

namespace {

// A listed record without a worker; the test keeps one reference of its own.
ThreadDaten* listed(const XID& x) {
    bool eventsFailed = true;
    ThreadDaten* record = createThreadDaten(x, TMNOFLAGS, &eventsFailed);
    EXPECT_FALSE(eventsFailed);
    record->closing.store(1);
    EXPECT_EQ(addThreadDaten(record), 0);
    return record;
}

void destroyAll(std::vector<ThreadDaten*>& records) {
    for (ThreadDaten* record : records) {
        garbageThreadDaten(record);
        releaseThreadDaten(record);
    }
    records.clear();
}

bool found(const XID& x) {
    ThreadDatenRef hit(searchThreadDaten(x));
    return hit.record != nullptr;
}

// A record's time stamp, set (to age it) and read under bridgeLock, as the
// registry itself does.
void setTimeStamp(ThreadDaten* record, uint32_t ticks) {
    platform::ScopedLock hold(bridgeLock());
    record->timeStamp = ticks;
}
uint32_t timeStampOf(ThreadDaten* record) {
    platform::ScopedLock hold(bridgeLock());
    return record->timeStamp;
}

}  // namespace

TEST(XaRegistry, ArrayStartsAtHundredDoublesAndNeverShrinks) {
    freshStart();
    XID probe = xid("never-added");
    EXPECT_EQ(searchThreadDaten(probe), nullptr);  // before anything was added
    std::vector<ThreadDaten*> records;
    for (int i = 0; i < 100; ++i) {
        records.push_back(listed(xid("grow-" + std::to_string(i))));
    }
    EXPECT_EQ(threadDatenListCapacity(), 100);
    records.push_back(listed(xid("grow-100")));
    EXPECT_EQ(threadDatenListCapacity(), 200);
    for (int i = 101; i < 201; ++i) {
        records.push_back(listed(xid("grow-" + std::to_string(i))));
    }
    EXPECT_EQ(threadDatenListCapacity(), 400);
    EXPECT_EQ(threadDatenListCount(), 201);
    EXPECT_TRUE(found(xid("grow-0")));
    EXPECT_TRUE(found(xid("grow-200")));
    destroyAll(records);
    EXPECT_EQ(threadDatenListCount(), 0);
    EXPECT_EQ(threadDatenListCapacity(), 400);
    EXPECT_EQ(threadDatenAlive(), 0);
}

TEST(XaRegistry, RemoveKeepsOrderAndIgnoresNullAndUnlistedRecords) {
    freshStart();
    removeThreadDaten(nullptr);
    std::vector<ThreadDaten*> records{listed(xid("r0")), listed(xid("r1")), listed(xid("r2"))};
    bool eventsFailed = false;
    ThreadDaten* stranger = createThreadDaten(xid("r-stranger"), 0, &eventsFailed);
    removeThreadDaten(stranger);
    EXPECT_EQ(threadDatenListCount(), 3);
    releaseThreadDaten(stranger);

    removeThreadDaten(records[1]);
    EXPECT_EQ(threadDatenListCount(), 2);
    EXPECT_FALSE(found(xid("r1")));
    // r0 still comes before r2: a search for r2 passes over an expired r0 and
    // sweeps it, while a search for r0 looks at nothing behind it.
    platform::tickCountSubstitute(fakeTicks);
    fakeNow = 700000;
    setTimeStamp(records[0], 1);
    setTimeStamp(records[2], 1);
    EXPECT_TRUE(found(xid("r2")));
    EXPECT_EQ(threadDatenListCount(), 1);
    EXPECT_FALSE(found(xid("r0")));
    platform::tickCountSubstitute(nullptr);
    releaseThreadDaten(records[1]);  // already unlinked: only the test's reference is left
    records.erase(records.begin() + 1);
    destroyAll(records);
    EXPECT_EQ(threadDatenAlive(), 0);
}

TEST(XaRegistry, EqualityLooksAtLengthsAndOnlyTheUsedBytes) {
    freshStart();
    XID branch = xid("abc", "de");
    std::vector<ThreadDaten*> records{listed(branch)};
    XID sameWithNoise = branch;
    sameWithNoise.data[5] = 'x';  // behind gtrid + bqual: not significant
    sameWithNoise.data[127] = 'y';
    EXPECT_TRUE(found(sameWithNoise));
    EXPECT_FALSE(found(xid("abcd", "e")));  // same bytes, other split
    EXPECT_FALSE(found(xid("abc", "de", 7)));  // other format
    // Lengths outside the bounds never read beyond the data bytes.
    XID wild = branch;
    wild.gtrid_length = 1000;
    wild.bqual_length = -900;
    EXPECT_FALSE(found(wild));
    destroyAll(records);
}

TEST(XaRegistry, ExpiryOnTheSearchWalk) {
    freshStart();
    ASSERT_EQ(init(), 0);  // bound, so the sweep's rollback reaches DTC
    platform::tickCountSubstitute(fakeTicks);
    fakeNow = 1000;
    std::vector<ThreadDaten*> records{listed(xid("e0")), listed(dtcdouble::makeXid(258, "\x01\xAB\x10", "\xFF")),
                                      listed(xid("e2")), listed(xid("e3")), listed(xid("e4"))};
    // Within the first ten minutes of the tick count nothing expires, however old.
    fakeNow = 600000;
    for (ThreadDaten* record : records) {
        setTimeStamp(record, 0);
    }
    EXPECT_FALSE(found(xid("missing")));
    EXPECT_EQ(threadDatenListCount(), 5);

    // Exactly 600000 ms old is not expired; 600001 is.
    fakeNow = 1000000;
    setTimeStamp(records[0], fakeNow - 600000);
    setTimeStamp(records[1], fakeNow - 600001);  // expired, next to
    setTimeStamp(records[2], fakeNow - 700000);  // another expired one
    setTimeStamp(records[3], fakeNow);           // the hit
    setTimeStamp(records[4], 0);                 // expired, but behind the hit
    Reports reports;
    ThreadDatenRef hit(searchThreadDaten(xid("e3")));
    ASSERT_EQ(hit.record, records[3]);
    EXPECT_EQ(timeStampOf(hit.record), fakeNow);
    std::string text = reports.text();
    EXPECT_EQ(countLines(text, "Transaction Timeout (rollback) after ms : 600001; Xid(258,01AB10,FF)"), 1) << text;
    EXPECT_EQ(countLines(text, "Transaction Timeout (rollback) after ms : 700000; Xid(19798,6532,6231)"), 1) << text;
    EXPECT_EQ(threadDatenListCount(), 3);
    std::vector<dtcdouble::Call> rollbacks = dtcdouble::callsOf(dtcdouble::kRollback);
    ASSERT_EQ(rollbacks.size(), 2u);
    EXPECT_EQ(rollbacks[0].xid.formatID, 258);
    EXPECT_EQ(rollbacks[0].flags, TMNOFLAGS);
    EXPECT_EQ(rollbacks[0].rmid, 1);

    // An old record that a search finds is made young, not swept.
    fakeNow = 5000000;
    EXPECT_TRUE(found(xid("e4")));
    EXPECT_EQ(threadDatenListCount(), 1);  // e0 and e3, in front of it, were swept
    EXPECT_EQ(timeStampOf(records[4]), fakeNow);

    // Without a binding the sweep still destroys, and calls nothing.
    deinit();
    fakeNow = 9000000;
    EXPECT_FALSE(found(xid("missing")));
    EXPECT_EQ(threadDatenListCount(), 0);
    EXPECT_EQ(dtcdouble::callCount(dtcdouble::kRollback), 5 - 1);
    hit.reset();
    for (ThreadDaten* record : records) {
        releaseThreadDaten(record);
    }
    platform::tickCountSubstitute(nullptr);
    EXPECT_EQ(threadDatenAlive(), 0);
}

TEST(XaRegistry, GarbageWaitsBoundedForAWorkerAndNotForAClosingOne) {
    freshStart();
    bool eventsFailed = false;
    // Closing already: nothing is posted.
    ThreadDaten* closing = listed(xid("g-closing"));
    garbageThreadDaten(closing);
    EXPECT_EQ(closing->stopRequested.load(), 0);
    EXPECT_FALSE(found(xid("g-closing")));
    releaseThreadDaten(closing);

    // A worker that never answers: the stop is asked for, the wait ends after
    // 10 x 1 ms. The command a poster may have written is left alone.
    ThreadDaten* silent = createThreadDaten(xid("g-silent"), 0, &eventsFailed);
    ASSERT_EQ(addThreadDaten(silent), 0);
    auto before = std::chrono::steady_clock::now();
    garbageThreadDaten(silent);
    auto waited = std::chrono::steady_clock::now() - before;
    EXPECT_GE(waited, std::chrono::milliseconds(10));
    EXPECT_EQ(silent->stopRequested.load(), 1);
    EXPECT_EQ(silent->command.load(), CMD_START);
    EXPECT_TRUE(silent->commandEvent->signalled);  // still valid: the test holds a reference
    EXPECT_FALSE(found(xid("g-silent")));
    releaseThreadDaten(silent);

    garbageThreadDaten(nullptr);
    EXPECT_EQ(threadDatenAlive(), 0);
}

TEST(XaRegistry, TheSweepLeavesAPreparedBranchInDoubt) {
    // A branch whose prepare answered XA_OK belongs to its transaction manager:
    // the expiry sweep drops its record with a warning of its own and never
    // rolls it back. An unprepared branch beside it is swept as ever, and a
    // prepare that did not answer XA_OK marks nothing.
    freshStart();
    platform::tickCountSubstitute(fakeTicks);
    fakeNow = 1000000;
    Request r;
    XID prepared = xid("s-prepared");
    XID refused = xid("s-refused");
    XID idle = xid("s-idle");
    for (const XID& x : {prepared, refused, idle}) {
        ASSERT_EQ(r.run(xa_start, x), XA_OK);
        ASSERT_EQ(r.run(xa_end, x, TMSUCCESS), XA_OK);
    }
    ASSERT_EQ(r.run(xa_prepare, prepared), XA_OK);
    dtcdouble::pushResult(dtcdouble::kPrepare, XA_RBROLLBACK);
    ASSERT_EQ(r.run(xa_prepare, refused), XA_RBROLLBACK);
    dtcdouble::clearCalls();

    fakeNow += 900000;  // fifteen minutes without a look
    Reports reports;
    EXPECT_EQ(r.run(xa_query, xid("s-other")), 1);
    std::string text = reports.text();
    EXPECT_EQ(countLines(text, "Transaction Timeout (prepared, left in doubt) after ms : 900000; "
                               "Xid(19798,732D7072657061726564,6231)"),
              1)
        << text;
    EXPECT_EQ(std::count(text.begin(), text.end(), '\n'), 3) << text;
    std::vector<dtcdouble::Call> rollbacks = dtcdouble::callsOf(dtcdouble::kRollback);
    ASSERT_EQ(rollbacks.size(), 2u);  // the refused and the idle branch, not the prepared one
    for (const dtcdouble::Call& call : rollbacks) {
        EXPECT_FALSE(xidEqual(call.xid, prepared));
    }
    EXPECT_EQ(threadDatenListCount(), 0);
    // Its transaction manager's decision still reaches DTC.
    EXPECT_EQ(r.run(xa_commit, prepared), XA_OK);
    EXPECT_EQ(dtcdouble::callCount(dtcdouble::kCommit), 1);
    platform::tickCountSubstitute(nullptr);
    EXPECT_TRUE(waitNoRecords());
}

TEST(XaRegistry, BetweenWalksTheIndexFindsTheEarliestRecordOfAnXid) {
    freshStart();
    platform::tickCountSubstitute(fakeTicks);
    fakeNow = 2000000;
    EXPECT_FALSE(found(xid("missing")));  // a walk over the whole list: the next second uses the index
    std::vector<ThreadDaten*> records{listed(xid("dup")), listed(xid("dup")), listed(xid("kept"))};

    // Two records with one XID: the earlier is found, and the later once the
    // earlier is unlinked; marking a prepare goes to the one found.
    {
        ThreadDatenRef hit(searchThreadDaten(xid("dup")));
        EXPECT_EQ(hit.record, records[0]);
    }
    removeThreadDaten(records[0]);
    markThreadDatenPrepared(xid("dup"));
    {
        ThreadDatenRef hit(searchThreadDaten(xid("dup")));
        EXPECT_EQ(hit.record, records[1]);
        EXPECT_EQ(hit.record->prepared.load(), 1);
    }
    removeThreadDaten(records[1]);
    EXPECT_FALSE(found(xid("dup")));

    // An expired record is swept by the first search a second after the last
    // whole walk, not before.
    setTimeStamp(records[2], 0);
    fakeNow += 999;
    Reports reports;
    EXPECT_FALSE(found(xid("missing")));
    EXPECT_EQ(threadDatenListCount(), 1);
    fakeNow += 1;
    EXPECT_FALSE(found(xid("missing")));
    EXPECT_EQ(threadDatenListCount(), 0);
    std::string text = reports.text();
    EXPECT_EQ(countLines(text, "Transaction Timeout (rollback) after ms : 2001000; Xid(19798,6B657074,6231)"), 1) << text;
    platform::tickCountSubstitute(nullptr);
    for (ThreadDaten* record : records) {
        releaseThreadDaten(record);
    }
    EXPECT_EQ(threadDatenAlive(), 0);
}

// Under client isolation a record belongs to a resource manager as well: one
// XID may have a record per rmid, each found only through its own rmid, by the
// index and by the walk alike, and marking or unlinking one leaves the other.
TEST(XaRegistry, RecordsOfOneXidAreKeptApartByTheirResourceManager) {
    freshStart();
    platform::tickCountSubstitute(fakeTicks);
    fakeNow = 3000000;
    auto listedFor = [](const XID& x, int32_t rmid) {
        bool eventsFailed = true;
        ThreadDaten* record = createThreadDaten(x, TMNOFLAGS, &eventsFailed, rmid);
        record->closing.store(1);
        EXPECT_EQ(addThreadDaten(record), 0);
        return record;
    };
    ThreadDaten* own = listedFor(xid("shared"), kRmid);
    ThreadDaten* other = listedFor(xid("shared"), kRmid + 1);
    for (int pass = 0; pass < 2; ++pass) {  // the first search walks the list, the second uses the index
        SCOPED_TRACE(pass);
        ThreadDatenRef a(searchThreadDaten(xid("shared")));
        ThreadDatenRef b(searchThreadDaten(xid("shared"), kRmid + 1));
        ThreadDatenRef none(searchThreadDaten(xid("shared"), kRmid + 2));
        EXPECT_EQ(a.record, own);
        EXPECT_EQ(b.record, other);
        EXPECT_EQ(none.record, nullptr);
    }
    markThreadDatenPrepared(xid("shared"), kRmid + 1);
    EXPECT_EQ(own->prepared.load(), 0);
    EXPECT_EQ(other->prepared.load(), 1);
    garbageThreadDaten(own);
    EXPECT_FALSE(found(xid("shared")));
    {
        ThreadDatenRef b(searchThreadDaten(xid("shared"), kRmid + 1));
        EXPECT_EQ(b.record, other);
    }
    garbageThreadDaten(other);
    platform::tickCountSubstitute(nullptr);
    releaseThreadDaten(own);
    releaseThreadDaten(other);
    EXPECT_EQ(threadDatenAlive(), 0);
}
