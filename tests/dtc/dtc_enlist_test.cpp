// Resource managers that enlist in a branch's transaction through
// libxolehlp.so, against a real dtcd: the votes of phase one, phase two and
// its acknowledgement, participants that go away, protocol faults, and
// reenlistment after a crash of dtcd or of the participant.
#include <gtest/gtest.h>

#include <chrono>
#include <condition_variable>
#include <deque>
#include <mutex>
#include <string>
#include <vector>

#include "DtcHarness.h"
#include "Wire.h"
#include "contract/txdtc.h"

namespace {

constexpr int kRm = 1;
constexpr GUID kRmGuidA = {0x11111111, 0x2222, 0x3333, {0x44, 0x44, 0x55, 0x55, 0x55, 0x55, 0x55, 0x01}};
constexpr GUID kRmGuidB = {0x11111111, 0x2222, 0x3333, {0x44, 0x44, 0x55, 0x55, 0x55, 0x55, 0x55, 0x02}};

// A participant: votes as it is told from the library's thread, records what
// it was asked.
struct TestResource final : ITransactionResourceAsync {
    std::mutex mu;
    std::condition_variable cv;
    std::vector<std::string> events;             // "prepare", "commit", "abort", "tmdown"
    HRESULT vote = S_OK;                          // what PrepareRequest answers
    bool silent = false;                          // PrepareRequest answers nothing
    ITransactionEnlistmentAsync* enlistment = nullptr;
    HRESULT secondVote = 0;                       // result of a second PrepareRequestDone
    bool voteTwice = false;
    int unansweredCommits = 0;                    // this many CommitRequests go unanswered
    ~TestResource() {
        if (enlistment != nullptr) enlistment->Release();
    }

    HRESULT QueryInterface(REFIID riid, void** object) override {
        if (!(riid == IID_IUnknown || riid == IID_ITransactionResourceAsync)) return E_NOINTERFACE;
        *object = this;
        return S_OK;
    }
    ULONG AddRef() override { return 2; } // lives on the test's stack
    ULONG Release() override { return 1; }
    HRESULT PrepareRequest(BOOL, DWORD, BOOL, BOOL) override {
        if (!silent) {
            enlistment->PrepareRequestDone(vote, nullptr, nullptr);
            if (voteTwice) {
                HRESULT again = enlistment->PrepareRequestDone(vote, nullptr, nullptr);
                std::lock_guard lock(mu);
                secondVote = again;
            }
        }
        note("prepare");
        return S_OK;
    }
    // The event is noted after the answer, so that a test that saw it may
    // release the enlistment.
    HRESULT CommitRequest(DWORD, XACTUOW*) override {
        {
            std::lock_guard lock(mu);
            if (unansweredCommits > 0) {
                unansweredCommits--;
                events.emplace_back("commit-unanswered");
                cv.notify_all();
                return S_OK;
            }
        }
        HRESULT hr = enlistment != nullptr ? enlistment->CommitRequestDone(S_OK) : S_OK;
        note("commit");
        return hr;
    }
    HRESULT AbortRequest(BOID*, BOOL, XACTUOW*) override {
        HRESULT hr = enlistment->AbortRequestDone(S_OK);
        note("abort");
        return hr;
    }
    HRESULT TMDown() override {
        note("tmdown");
        return S_OK;
    }
    void note(const char* what) {
        std::lock_guard lock(mu);
        events.emplace_back(what);
        cv.notify_all();
    }
    // Waits (five seconds at most) for an event; true when it came.
    bool waitFor(const std::string& what) {
        std::unique_lock lock(mu);
        return cv.wait_for(lock, std::chrono::seconds(5), [&] {
            for (const auto& e : events)
                if (e == what) return true;
            return false;
        });
    }
    bool saw(const std::string& what) {
        std::lock_guard lock(mu);
        for (const auto& e : events)
            if (e == what) return true;
        return false;
    }
};

template <typename T>
T* tm(REFIID iid) {
    void* object = nullptr;
    EXPECT_EQ(S_OK, DtcGetTransactionManager(nullptr, nullptr, iid, 0, 0, nullptr, &object));
    return static_cast<T*>(object);
}

IResourceManager* makeRm(const GUID& guid) {
    auto* factory = tm<IResourceManagerFactory>(IID_IResourceManagerFactory);
    if (factory == nullptr) return nullptr;
    IResourceManager* rm = nullptr;
    GUID g = guid;
    char name[] = "test-rm";
    EXPECT_EQ(S_OK, factory->Create(&g, name, nullptr, &rm));
    factory->Release();
    return rm;
}

class DtcEnlist : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(startDaemon(&daemon, {"--prepare-timeout", "500"}));
        useDaemon(daemon);
        ASSERT_EQ(XA_OK, DTC_XaOpen(kOpenString, kRm, TMNOFLAGS));
    }
    void TearDown() override {
        for (IResourceManager* rm : rms) rm->Release();
        DTC_XaClose(kOpenString, kRm, TMNOFLAGS);
        stopDaemon(&daemon);
        removeDaemonFiles(daemon);
    }
    // Starts a branch and answers its transaction (the calling thread stays associated).
    ITransaction* start(XID* xid) {
        EXPECT_EQ(XA_OK, DTC_XaStart(xid, kRm, TMNOFLAGS));
        auto* lookup = tm<IXATransLookup>(IID_IXATransLookup);
        ITransaction* tx = nullptr;
        EXPECT_EQ(S_OK, lookup->Lookup(&tx));
        lookup->Release();
        return tx;
    }
    IResourceManager* rm(const GUID& guid) {
        IResourceManager* made = makeRm(guid);
        rms.push_back(made);
        return made;
    }
    HRESULT enlist(IResourceManager* r, ITransaction* tx, TestResource* res) {
        XACTUOW uow{};
        LONG iso = 0;
        return r->Enlist(tx, res, &uow, &iso, &res->enlistment);
    }
    // Polls dtcctl stats until `name` shows `value` (five seconds at most).
    bool statIs(const std::string& name, int value) {
        std::string want = "\"" + name + "\":" + std::to_string(value);
        auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
        std::string out;
        while (std::chrono::steady_clock::now() < deadline) {
            runCtl(daemon, {"--json", "stats"}, &out);
            if (out.find(want + ",") != std::string::npos || out.find(want + "}") != std::string::npos) return true;
        }
        ADD_FAILURE() << out;
        return false;
    }
    // A participant that outlives every resource manager of the test (they
    // are released, and their callbacks finished, in TearDown).
    TestResource& resource() { return resources.emplace_back(); }
    std::deque<TestResource> resources;
    Daemon daemon;
    std::vector<IResourceManager*> rms;
};

TEST_F(DtcEnlist, AllYesCommitsEveryParticipant) {
    XID xid = makeXid("enlist-yes");
    ITransaction* tx = start(&xid);
    TestResource& a = resource();
    TestResource& b = resource();
    ASSERT_EQ(S_OK, enlist(rm(kRmGuidA), tx, &a));
    ASSERT_EQ(S_OK, enlist(rm(kRmGuidB), tx, &b));
    ASSERT_EQ(XA_OK, DTC_XaEnd(&xid, kRm, TMSUCCESS));
    std::string out;
    ASSERT_EQ(0, runCtl(daemon, {"list"}, &out));
    EXPECT_NE(std::string::npos, out.find("11111111-2222-3333-4444-555555555501 enlisted")) << out;
    ASSERT_EQ(XA_OK, DTC_XaPrepare(&xid, kRm, TMNOFLAGS));
    EXPECT_TRUE(a.waitFor("prepare") && b.waitFor("prepare"));
    ASSERT_EQ(0, runCtl(daemon, {"list"}, &out));
    EXPECT_NE(std::string::npos, out.find("voted yes")) << out;
    ASSERT_EQ(XA_OK, DTC_XaCommit(&xid, kRm, TMNOFLAGS));
    EXPECT_TRUE(a.waitFor("commit"));
    EXPECT_TRUE(b.waitFor("commit"));
    EXPECT_FALSE(a.saw("abort"));
    EXPECT_TRUE(statIs("branches_committing", 0)); // both acknowledged: the record is gone
    EXPECT_TRUE(statIs("votes_yes", 2));
    EXPECT_EQ(XAER_NOTA, DTC_XaCommit(&xid, kRm, TMNOFLAGS));
    tx->Release();
}

TEST_F(DtcEnlist, PhaseTwoIsSentAgainUntilTheParticipantAnswers) {
    XID xid = makeXid("enlist-resend");
    ITransaction* tx = start(&xid);
    TestResource& slow = resource();
    slow.unansweredCommits = 1; // the first commit request is lost on the resource manager's side
    ASSERT_EQ(S_OK, enlist(rm(kRmGuidA), tx, &slow));
    tx->Release();
    ASSERT_EQ(XA_OK, DTC_XaEnd(&xid, kRm, TMSUCCESS));
    ASSERT_EQ(XA_OK, DTC_XaPrepare(&xid, kRm, TMNOFLAGS));
    ASSERT_EQ(XA_OK, DTC_XaCommit(&xid, kRm, TMNOFLAGS));
    EXPECT_TRUE(slow.waitFor("commit-unanswered"));
    // dtcd's resend (every two seconds) reaches CommitRequest again.
    EXPECT_TRUE(slow.waitFor("commit"));
    EXPECT_TRUE(statIs("branches_committing", 0));
}

TEST_F(DtcEnlist, NoVoteReadOnlyAndOnePhase) {
    // One votes no: prepare rolls back and the other is aborted.
    XID x1 = makeXid("enlist-no");
    ITransaction* tx = start(&x1);
    TestResource& yes = resource();
    TestResource& no = resource();
    no.vote = E_FAIL;
    ASSERT_EQ(S_OK, enlist(rm(kRmGuidA), tx, &yes));
    ASSERT_EQ(S_OK, enlist(rm(kRmGuidB), tx, &no));
    tx->Release();
    ASSERT_EQ(XA_OK, DTC_XaEnd(&x1, kRm, TMSUCCESS));
    EXPECT_EQ(XA_RBROLLBACK, DTC_XaPrepare(&x1, kRm, TMNOFLAGS));
    EXPECT_TRUE(yes.waitFor("abort"));
    EXPECT_EQ(XAER_NOTA, DTC_XaRollback(&x1, kRm, TMNOFLAGS));
    // All read-only: XA_RDONLY, nothing left.
    XID x2 = makeXid("enlist-ro");
    tx = start(&x2);
    TestResource& ro1 = resource();
    TestResource& ro2 = resource();
    ro1.vote = ro2.vote = XACT_S_READONLY;
    ASSERT_EQ(S_OK, enlist(rms[0], tx, &ro1));
    ASSERT_EQ(S_OK, enlist(rms[1], tx, &ro2));
    tx->Release();
    ASSERT_EQ(XA_OK, DTC_XaEnd(&x2, kRm, TMSUCCESS));
    EXPECT_EQ(XA_RDONLY, DTC_XaPrepare(&x2, kRm, TMNOFLAGS));
    EXPECT_EQ(XAER_NOTA, DTC_XaCommit(&x2, kRm, TMNOFLAGS));
    EXPECT_FALSE(ro1.saw("commit") || ro1.saw("abort"));
    // One-phase commit runs both phases; enlisting once it is decided is refused.
    XID x3 = makeXid("enlist-1pc");
    tx = start(&x3);
    TestResource& one = resource();
    ASSERT_EQ(S_OK, enlist(rms[0], tx, &one));
    ASSERT_EQ(XA_OK, DTC_XaEnd(&x3, kRm, TMSUCCESS));
    EXPECT_EQ(XA_OK, DTC_XaCommit(&x3, kRm, TMONEPHASE));
    EXPECT_TRUE(one.waitFor("prepare"));
    EXPECT_TRUE(one.waitFor("commit"));
    TestResource& late = resource();
    EXPECT_EQ(XACT_E_NOTRANSACTION, enlist(rms[1], tx, &late));
    tx->Release();
}

TEST_F(DtcEnlist, GoneSilentOrTwiceAnsweringParticipants) {
    // Gone before voting: the transaction rolls back.
    XID x1 = makeXid("enlist-gone");
    ITransaction* tx = start(&x1);
    TestResource& gone = resource();
    IResourceManager* shortLived = makeRm(kRmGuidA);
    ASSERT_EQ(S_OK, enlist(shortLived, tx, &gone));
    shortLived->Release(); // its connection closes
    tx->Release();
    // dtcd sees the close on its own schedule: at the end (the branch is then
    // rolled back) or during phase one (which then fails).
    int ended = DTC_XaEnd(&x1, kRm, TMSUCCESS);
    if (ended == XA_OK) {
        EXPECT_EQ(XA_RBROLLBACK, DTC_XaPrepare(&x1, kRm, TMNOFLAGS));
        EXPECT_EQ(XAER_NOTA, DTC_XaRollback(&x1, kRm, TMNOFLAGS));
    } else {
        EXPECT_EQ(XA_RBROLLBACK, ended);
        EXPECT_EQ(XA_RBROLLBACK, DTC_XaPrepare(&x1, kRm, TMNOFLAGS));
    }
    // Silent: the phase-one time-out (500 ms here) rolls back and aborts it.
    XID x2 = makeXid("enlist-silent");
    tx = start(&x2);
    TestResource& silent = resource();
    TestResource& twice = resource();
    silent.silent = true;
    twice.voteTwice = true;
    ASSERT_EQ(S_OK, enlist(rm(kRmGuidA), tx, &silent));
    ASSERT_EQ(S_OK, enlist(rm(kRmGuidB), tx, &twice));
    tx->Release();
    ASSERT_EQ(XA_OK, DTC_XaEnd(&x2, kRm, TMSUCCESS));
    EXPECT_EQ(XA_RBTIMEOUT, DTC_XaPrepare(&x2, kRm, TMNOFLAGS));
    EXPECT_TRUE(silent.waitFor("abort"));
    EXPECT_TRUE(twice.waitFor("abort"));
    EXPECT_EQ(E_UNEXPECTED, twice.secondVote); // the second answer changes nothing
    EXPECT_TRUE(statIs("phase_one_timeouts", 1));
    // An answer for a transaction it is not in (already gone).
    EXPECT_EQ(XACT_E_NOTRANSACTION, silent.enlistment->PrepareRequestDone(S_OK, nullptr, nullptr));
}

TEST_F(DtcEnlist, BadCookiesAndLateEnlistment) {
    auto* import = tm<ITransactionImport>(IID_ITransactionImport);
    ITransaction* tx = nullptr;
    IID iid = IID_ITransaction;
    std::string forged(dtcwire::kCookieSize, 'x');
    std::memcpy(forged.data(), "DTCK", 4);
    EXPECT_EQ(XACT_E_NOTRANSACTION, import->Import(static_cast<ULONG>(forged.size()),
                                                  reinterpret_cast<BYTE*>(forged.data()), &iid, reinterpret_cast<void**>(&tx)));
    EXPECT_EQ(XACT_E_INVALIDCOOKIE, import->Import(10, reinterpret_cast<BYTE*>(forged.data()), &iid,
                                                  reinterpret_cast<void**>(&tx)));
    import->Release();
    XID xid = makeXid("enlist-late");
    tx = start(&xid);
    ASSERT_EQ(XA_OK, DTC_XaEnd(&xid, kRm, TMSUCCESS));
    ASSERT_EQ(XA_OK, DTC_XaPrepare(&xid, kRm, TMNOFLAGS));
    TestResource& late = resource();
    EXPECT_EQ(XACT_E_NOTRANSACTION, enlist(rm(kRmGuidA), tx, &late)); // prepared: too late
    EXPECT_EQ(XA_OK, DTC_XaRollback(&xid, kRm, TMNOFLAGS));
    EXPECT_EQ(XACT_E_NOTRANSACTION, enlist(rms[0], tx, &late));       // decided
    tx->Release();
}

TEST_F(DtcEnlist, OutcomesSurviveCrashesAndReachReenlistingParticipants) {
    XID a = makeXid("enlist-crash-a"); // prepared when dtcd dies
    XID b = makeXid("enlist-crash-b"); // commit decided when dtcd dies
    TestResource& ra = resource();
    TestResource& rb = resource();
    ITransaction* ta = start(&a);
    ASSERT_EQ(S_OK, enlist(rm(kRmGuidA), ta, &ra));
    ASSERT_EQ(XA_OK, DTC_XaEnd(&a, kRm, TMSUCCESS));
    ITransaction* tb = start(&b);
    ASSERT_EQ(S_OK, enlist(rms[0], tb, &rb));
    ASSERT_EQ(XA_OK, DTC_XaEnd(&b, kRm, TMSUCCESS));
    rb.silent = true; // ...votes below, then never acknowledges phase two
    ASSERT_EQ(XA_OK, DTC_XaPrepare(&a, kRm, TMNOFLAGS));
    BYTE infoA[dtcwire::kPrepareInfoSize];
    BYTE infoB[dtcwire::kPrepareInfoSize];
    IPrepareInfo* info = nullptr;
    ASSERT_EQ(S_OK, ra.enlistment->QueryInterface(IID_IPrepareInfo, reinterpret_cast<void**>(&info)));
    ULONG size = 0;
    ASSERT_EQ(S_OK, info->GetPrepareInfoSize(&size));
    ASSERT_EQ(dtcwire::kPrepareInfoSize, size);
    ASSERT_EQ(S_OK, info->GetPrepareInfo(infoA));
    info->Release();
    ASSERT_EQ(S_OK, rb.enlistment->QueryInterface(IID_IPrepareInfo, reinterpret_cast<void**>(&info)));
    ASSERT_EQ(S_OK, info->GetPrepareInfo(infoB));
    info->Release();
    std::thread voter([&] {
        ASSERT_TRUE(rb.waitFor("prepare"));
        rb.enlistment->PrepareRequestDone(S_OK, nullptr, nullptr);
    });
    ASSERT_EQ(XA_OK, DTC_XaPrepare(&b, kRm, TMNOFLAGS));
    voter.join();
    rb.enlistment->Release(); // it will not acknowledge: the CommitRequestDone goes nowhere
    rb.enlistment = nullptr;
    // Commit b with the participant's acknowledgement lost: stop reading phase two.
    rms[0]->Release();
    rms.clear();
    ASSERT_EQ(XA_OK, DTC_XaCommit(&b, kRm, TMNOFLAGS)); // the decision is durable, phase two pending
    killDaemon(&daemon);
    ASSERT_TRUE(startDaemon(&daemon, {"--prepare-timeout", "500"}));
    EXPECT_EQ(XA_OK, DTC_XaClose(kOpenString, kRm, TMNOFLAGS));
    ASSERT_EQ(XA_OK, DTC_XaOpen(kOpenString, kRm, TMNOFLAGS));
    std::string out;
    ASSERT_EQ(0, runCtl(daemon, {"list"}, &out));
    EXPECT_NE(std::string::npos, out.find("committing")) << out;
    EXPECT_NE(std::string::npos, out.find("prepared")) << out;
    // The participant's name (for PostgreSQL, its database) came back from the store.
    EXPECT_NE(std::string::npos, out.find("(not connected) [gid form")) << out;
    EXPECT_NE(std::string::npos, out.find("] test-rm")) << out;
    // The participant comes back: b is committed; a waits for the manager's decision.
    IResourceManager* again = rm(kRmGuidA);
    XACTSTAT stat = XACTSTAT_NONE;
    EXPECT_EQ(S_OK, again->Reenlist(infoB, sizeof infoB, 0, &stat));
    EXPECT_EQ(XACTSTAT_COMMITTED, stat);
    EXPECT_EQ(XACT_E_REENLISTTIMEOUT, again->Reenlist(infoA, sizeof infoA, 200, &stat));
    std::thread waiter([&] {
        XACTSTAT waited = XACTSTAT_NONE;
        EXPECT_EQ(S_OK, again->Reenlist(infoA, sizeof infoA, 0, &waited));
        EXPECT_EQ(XACTSTAT_COMMITTED, waited);
    });
    EXPECT_TRUE(statIs("reenlists", 3));
    EXPECT_EQ(XA_OK, DTC_XaCommit(&a, kRm, TMNOFLAGS));
    waiter.join();
    EXPECT_EQ(S_OK, again->ReenlistmentComplete());
    EXPECT_TRUE(statIs("branches_committing", 0));
    // Unknown transactions are aborted ones (presumed abort).
    BYTE unknown[dtcwire::kPrepareInfoSize] = {'D', 'T', 'C', 'P'};
    EXPECT_EQ(S_OK, again->Reenlist(unknown, sizeof unknown, 0, &stat));
    EXPECT_EQ(XACTSTAT_ABORTED, stat);
    ta->Release();
    tb->Release();
}

} // namespace

namespace {

std::string prepareInfo(TestResource& res) {
    IPrepareInfo* info = nullptr;
    EXPECT_EQ(S_OK, res.enlistment->QueryInterface(IID_IPrepareInfo, reinterpret_cast<void**>(&info)));
    std::string bytes(dtcwire::kPrepareInfoSize, '\0');
    EXPECT_EQ(S_OK, info->GetPrepareInfo(reinterpret_cast<BYTE*>(bytes.data())));
    info->Release();
    return bytes;
}

HRESULT reenlist(IResourceManager* r, std::string info, DWORD timeoutMs, XACTSTAT* stat) {
    return r->Reenlist(reinterpret_cast<BYTE*>(info.data()), static_cast<ULONG>(info.size()), timeoutMs, stat);
}

TEST_F(DtcEnlist, ReenlistNeverAnswersAnOutcomeThatIsNotTrueAndNeverTakesOverALiveParticipant) {
    XID xid = makeXid("enlist-reenlist-live");
    ITransaction* tx = start(&xid);
    TestResource& live = resource();
    ASSERT_EQ(S_OK, enlist(rm(kRmGuidA), tx, &live));
    std::string info = prepareInfo(live);
    // Enlisted, not asked yet: undecided, so no "aborted" (the vote may still be yes).
    IResourceManager* recovering = rm(kRmGuidA);
    XACTSTAT stat = XACTSTAT_NONE;
    EXPECT_EQ(XACT_E_REENLISTTIMEOUT, reenlist(recovering, info, 200, &stat));
    ASSERT_EQ(XA_OK, DTC_XaEnd(&xid, kRm, TMSUCCESS));
    ASSERT_EQ(XA_OK, DTC_XaPrepare(&xid, kRm, TMNOFLAGS));
    EXPECT_TRUE(live.waitFor("prepare"));
    // Prepared and live: a Reenlist of the same resource manager waits, and
    // does not take the participant's enlistment off its own connection.
    EXPECT_EQ(XACT_E_REENLISTTIMEOUT, reenlist(recovering, info, 200, &stat));
    ASSERT_EQ(XA_OK, DTC_XaCommit(&xid, kRm, TMNOFLAGS));
    EXPECT_TRUE(live.waitFor("commit"));
    EXPECT_TRUE(statIs("branches_committing", 0));
    tx->Release();
}

TEST_F(DtcEnlist, ForgetAfterAHeuristicCommitKeepsTheOutcomeForTheParticipant) {
    XID xid = makeXid("enlist-forget-heurcom");
    ITransaction* tx = start(&xid);
    TestResource& gone = resource();
    IResourceManager* first = makeRm(kRmGuidA);
    ASSERT_EQ(S_OK, enlist(first, tx, &gone));
    tx->Release();
    std::string info = prepareInfo(gone);
    ASSERT_EQ(XA_OK, DTC_XaEnd(&xid, kRm, TMSUCCESS));
    ASSERT_EQ(XA_OK, DTC_XaPrepare(&xid, kRm, TMNOFLAGS));
    EXPECT_TRUE(gone.waitFor("prepare"));
    first->Release(); // the participant dies holding its prepared work
    std::string out;
    ASSERT_EQ(0, runCtl(daemon, {"resolve", dtcwire::xidText(xid), "commit"}, &out)) << out;
    EXPECT_EQ(XA_HEURCOM, DTC_XaCommit(&xid, kRm, TMNOFLAGS));
    EXPECT_EQ(XA_OK, DTC_XaForget(&xid, kRm, TMNOFLAGS));
    // The manager is done with it; the participant is still owed the commit.
    EXPECT_EQ(XAER_NOTA, DTC_XaCommit(&xid, kRm, TMNOFLAGS));
    EXPECT_TRUE(statIs("branches_committing", 1));
    IResourceManager* again = rm(kRmGuidA);
    XACTSTAT stat = XACTSTAT_NONE;
    EXPECT_EQ(S_OK, reenlist(again, info, 0, &stat));
    EXPECT_EQ(XACTSTAT_COMMITTED, stat);
    EXPECT_EQ(S_OK, again->ReenlistmentComplete());
    EXPECT_TRUE(statIs("branches_committing", 0));
}

TEST_F(DtcEnlist, LostAcknowledgementsAreSettledByReenlistmentCompleteOrByHand) {
    // The participant commits, its acknowledgement never arrives, it is gone.
    XID x1 = makeXid("enlist-ack-lost");
    ITransaction* tx = start(&x1);
    TestResource& lost = resource();
    lost.unansweredCommits = 1000;
    IResourceManager* first = makeRm(kRmGuidA);
    ASSERT_EQ(S_OK, enlist(first, tx, &lost));
    tx->Release();
    ASSERT_EQ(XA_OK, DTC_XaEnd(&x1, kRm, TMSUCCESS));
    ASSERT_EQ(XA_OK, DTC_XaPrepare(&x1, kRm, TMNOFLAGS));
    ASSERT_EQ(XA_OK, DTC_XaCommit(&x1, kRm, TMNOFLAGS));
    EXPECT_TRUE(lost.waitFor("commit-unanswered"));
    first->Release();
    // Another participant of the same resource manager votes yes after its
    // recovery registered: that one is not settled unseen.
    IResourceManager* recovering = rm(kRmGuidA);
    XID x2 = makeXid("enlist-ack-lost-later");
    tx = start(&x2);
    TestResource& later = resource();
    later.unansweredCommits = 1000;
    IResourceManager* second = makeRm(kRmGuidA);
    ASSERT_EQ(S_OK, enlist(second, tx, &later));
    tx->Release();
    ASSERT_EQ(XA_OK, DTC_XaEnd(&x2, kRm, TMSUCCESS));
    ASSERT_EQ(XA_OK, DTC_XaPrepare(&x2, kRm, TMNOFLAGS));
    ASSERT_EQ(XA_OK, DTC_XaCommit(&x2, kRm, TMNOFLAGS));
    EXPECT_TRUE(later.waitFor("commit-unanswered"));
    second->Release();
    EXPECT_TRUE(statIs("branches_committing", 2));
    // Every XA verb is done with both; a new start of the XID waits for the settling.
    EXPECT_EQ(XAER_NOTA, DTC_XaRollback(&x1, kRm, TMNOFLAGS));
    EXPECT_EQ(S_OK, recovering->ReenlistmentComplete());
    EXPECT_TRUE(statIs("branches_committing", 1));
    EXPECT_TRUE(statIs("participants_settled", 1));
    // By hand: the operator settles the other one, named as a PostgreSQL gid shows it.
    std::string out;
    EXPECT_EQ(1, runCtl(daemon, {"settle", dtcwire::xidText(x1), "11111111-2222-3333-4444-555555555501"}, &out));
    EXPECT_EQ(0, runCtl(daemon, {"settle", dtcwire::xidText(x2), "1111111122223333444455555555550" "1"}, &out))
        << out;
    EXPECT_NE(std::string::npos, out.find("warning")) << out;
    EXPECT_TRUE(statIs("branches_committing", 0));
    EXPECT_EQ(XA_OK, DTC_XaStart(&x1, kRm, TMNOFLAGS));
    EXPECT_EQ(XA_OK, DTC_XaEnd(&x1, kRm, TMSUCCESS));
    EXPECT_EQ(XA_OK, DTC_XaRollback(&x1, kRm, TMNOFLAGS));
}

TEST_F(DtcEnlist, ACommitDuringTheFinalDeleteAnswersNota) {
    XID xid = makeXid("enlist-final-delete");
    ITransaction* tx = start(&xid);
    TestResource& res = resource();
    ASSERT_EQ(S_OK, enlist(rm(kRmGuidA), tx, &res));
    tx->Release();
    ASSERT_EQ(XA_OK, DTC_XaEnd(&xid, kRm, TMSUCCESS));
    ASSERT_EQ(XA_OK, DTC_XaPrepare(&xid, kRm, TMNOFLAGS));
    ASSERT_EQ(XA_OK, DTC_XaCommit(&xid, kRm, TMNOFLAGS));
    // The manager asks again while the acknowledgement and the row's deletion
    // run: the answer is always "no such branch", never a protocol error.
    for (int i = 0; i < 20000; ++i) {
        ASSERT_EQ(XAER_NOTA, DTC_XaCommit(&xid, kRm, TMNOFLAGS)) << i;
        int started = DTC_XaStart(&xid, kRm, TMNOFLAGS);
        if (started == XA_OK) break; // gone: the XID is free again
        ASSERT_EQ(XAER_DUPID, started);
    }
    EXPECT_EQ(XA_OK, DTC_XaEnd(&xid, kRm, TMSUCCESS));
    EXPECT_EQ(XA_OK, DTC_XaRollback(&xid, kRm, TMNOFLAGS));
}

} // namespace
