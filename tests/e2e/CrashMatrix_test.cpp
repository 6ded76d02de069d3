// The crash matrix: the real morvalen and the real dtcd under concurrent load
// from several client threads, one of them killed with SIGKILL at a chosen
// point of a branch's life in every round, then started again. A checker then
// proves from the clients' own record, and from a recover scan after the
// restart, that
//   - an acknowledged prepare is never lost: the branch is in doubt after the
//     restart unless the client itself sent its commit or roll-back,
//   - an acknowledged commit or roll-back never comes back in doubt,
//   - a branch never prepared never shows up in doubt,
//   - no branch ends both committed and rolled back: every branch with a known
//     outcome refuses the opposite completion afterwards.
// In-doubt branches are then resolved as the client decided (commit when it
// had not decided yet), and the next round starts from an empty recover list.
//
// Rounds alternate the victim (dtcd, morvalen) and walk the kill points: after
// start, after end, during and after prepare, during and after commit, during
// and after roll-back. "During" means after the request was sent and before
// its reply was read. After a kill after prepare, the client that saw the
// prepare acknowledged leaves the decision to recovery. The short form (32
// rounds, each point twice for each victim) runs with the suite; the long
// form is bench/crash/run-crash-matrix.sh (MORVALEN_CRASH_ROUNDS and
// MORVALEN_CRASH_WORKERS set the size). The summary line "crash matrix: ..."
// gives the figures.
#include <gtest/gtest.h>

#include <signal.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "MorvalenClient.h"
#include "support/Process.h"

namespace {

using testsupport::ChildProcess;
constexpr uint16_t kPort = kServicePort;
constexpr int kBoundMs = 10000;

enum Point : int32_t {
    kAfterStart,
    kAfterEnd,
    kDuringPrepare,
    kAfterPrepare,
    kDuringCommit,
    kAfterCommit,
    kDuringRollback,
    kAfterRollback,
    kPointCount
};

const char* pointName(int32_t p) {
    static const char* const names[kPointCount] = {"after start",  "after end",      "during prepare",
                                                   "after prepare", "during commit", "after commit",
                                                   "during rollback", "after rollback"};
    return names[p];
}

int32_t envNumber(const char* name, int32_t fallback) {
    const char* v = std::getenv(name);
    return v != nullptr && std::atoi(v) > 0 ? std::atoi(v) : fallback;
}

// What the client knows of one branch.
constexpr int32_t kNotSent = 0;  // prepare: never sent
constexpr int32_t kAcked = 1;    // answered XA_OK
constexpr int32_t kRefused = 2;  // answered a roll-back code: the branch is rolled back
constexpr int32_t kUnknown = 3;  // sent, no definite answer (failure, error code, lost reply)

constexpr int32_t kNoOutcome = 0;
constexpr int32_t kCommitted = 1;
constexpr int32_t kRolledBack = 2;

struct BranchRecord {
    XID xid{};
    std::string key;                // gtrid text, unique in the run
    int32_t prepare = kNotSent;
    bool decisionSent = false;      // a commit or roll-back was sent (two-phase or one-phase)
    bool decisionCommit = false;    // which
    int32_t outcome = kNoOutcome;   // acknowledged outcome
};

bool rolledBackCode(int32_t r) { return r >= XA_RBBASE && r <= XA_RBEND; }

// The two processes, started again after each kill.
struct Processes {
    testsupport::TempDir data;
    std::string socket = "@morvalen-crash-" + std::to_string(getpid());
    std::unique_ptr<ChildProcess> dtcd;
    std::unique_ptr<ChildProcess> service;
    std::atomic<int> dtcdPid{-1};
    std::atomic<int> servicePid{-1};

    bool startDtcd() {
        dtcd = std::make_unique<ChildProcess>();
        if (!testsupport::startDtcd(dtcd.get(), data.path, socket, {}, kBoundMs)) {
            return false;
        }
        dtcdPid = dtcd->pid;
        return true;
    }
    bool startService() {
        service = std::make_unique<ChildProcess>();
        if (!testsupport::startProcess(service.get(), testsupport::binPath("morvalen"), {},
                                       {"DTCD_SOCKET=" + socket, "LD_LIBRARY_PATH=" + testsupport::libDir(),
                                        "NOTIFY_SOCKET"}) ||
            !testsupport::waitForTcpPort(kPort, kBoundMs)) {
            return false;
        }
        servicePid = service->pid;
        return true;
    }
    // Reaps the killed victim and starts it again.
    bool restart(bool victimIsDtcd) {
        std::unique_ptr<ChildProcess>& victim = victimIsDtcd ? dtcd : service;
        testsupport::ExitStatus status;
        if (!testsupport::waitForExit(victim.get(), kBoundMs, &status) || status.signal != SIGKILL) {
            return false;
        }
        return victimIsDtcd ? startDtcd() : startService();
    }
};

// The round's kill: armed with a point, fired by the first client thread that
// reaches it.
struct Trigger {
    std::atomic<int32_t> armed{-1};
    std::atomic<int> victimPid{-1};
    std::mutex mu;
    std::condition_variable cv;
    bool fired = false;  // guarded by mu

    // True for the one caller that fired the kill.
    bool reach(int32_t point) {
        int32_t expected = point;
        if (armed.load() != point || !armed.compare_exchange_strong(expected, -1)) return false;
        ::kill(victimPid.load(), SIGKILL);
        std::lock_guard lock(mu);
        fired = true;
        cv.notify_all();
        return true;
    }
};

struct Totals {
    int32_t rounds = 0;
    int32_t fired = 0;
    int64_t branches = 0;
    int64_t prepared = 0;       // prepares acknowledged
    int64_t inDoubt = 0;        // branches found in doubt after a restart and resolved
    int64_t unknown = 0;        // branches whose prepare or decision had no definite answer
    int64_t violations = 0;
};

// One client thread's branches for a round, over its own connection.
struct Worker {
    morvalen::MorvalenConnection c;
    bool connected = false;
    std::vector<BranchRecord> records;
};

bool ensureConnected(Worker& w) {
    if (w.connected) return true;
    // The service may be down for a moment while it is restarted.
    for (int attempt = 0; attempt < 200; ++attempt) {
        if (morvalen::clientConnect(&w.c, "127.0.0.1", kPort, kBoundMs) == morvalen::kClientOk) {
            w.connected = true;
            return true;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return false;
}

// One exchange with an optional kill point between request and reply. False
// when the exchange failed (the connection is then closed); *result is the
// service's answer otherwise.
bool exchange(Worker& w, Trigger& t, uint8_t code, int32_t flags, const XID& xid, int32_t duringPoint,
              int32_t* result) {
    *result = 0;
    if (morvalen::clientSendRequest(&w.c, code, flags, &xid) != morvalen::kClientOk) {
        w.connected = false;
        morvalen::clientClose(&w.c);
        return false;
    }
    if (duringPoint >= 0) t.reach(duringPoint);
    morvalen::MorvalenReply reply;
    if (morvalen::clientReadReply(&w.c, &reply) != morvalen::kClientOk) {
        w.connected = false;
        morvalen::clientClose(&w.c);
        return false;
    }
    *result = reply.result;
    return true;
}

// Runs one branch as far as the service lets it: start, end, then either a
// one-phase commit, or prepare and commit or roll back. Stops at the first
// exchange without a definite answer; recovery finishes what it left.
void runBranch(Worker& w, Trigger& t, BranchRecord& b, int32_t index) {
    if (!ensureConnected(w)) return;
    int32_t r = 0;
    if (!exchange(w, t, kRequestStart, TMNOFLAGS, b.xid, -1, &r) || r != XA_OK) return;
    t.reach(kAfterStart);
    if (!exchange(w, t, kRequestEnd, TMSUCCESS, b.xid, -1, &r) || r != XA_OK) return;
    t.reach(kAfterEnd);

    bool commit = index % 2 == 0;
    if (index % 5 == 4) {
        b.decisionSent = true;
        b.decisionCommit = true;
        if (!exchange(w, t, kRequestCommit, TMONEPHASE, b.xid, kDuringCommit, &r)) return;
        if (r == XA_OK) b.outcome = kCommitted;
        if (rolledBackCode(r)) b.outcome = kRolledBack;
        if (b.outcome == kCommitted) t.reach(kAfterCommit);
        return;
    }
    b.prepare = kUnknown;
    if (!exchange(w, t, kRequestPrepare, TMNOFLAGS, b.xid, kDuringPrepare, &r)) return;
    if (rolledBackCode(r)) {
        b.prepare = kRefused;
        b.outcome = kRolledBack;
        return;
    }
    if (r != XA_OK) return;
    b.prepare = kAcked;
    if (t.reach(kAfterPrepare)) {
        // The crash came between the prepare and the decision: the decision
        // is left to recovery, so the branch must be found in doubt.
        return;
    }

    b.decisionSent = true;
    b.decisionCommit = commit;
    uint8_t code = commit ? kRequestCommit : kRequestRollback;
    if (!exchange(w, t, code, TMNOFLAGS, b.xid, commit ? kDuringCommit : kDuringRollback, &r)) return;
    if (r != XA_OK) return;
    b.outcome = commit ? kCommitted : kRolledBack;
    t.reach(commit ? kAfterCommit : kAfterRollback);
}

// A connection for the checker, retried while the service binds to a
// coordinator that has just come back.
struct Checker {
    morvalen::MorvalenConnection c;
    bool open = false;
    ~Checker() { morvalen::clientClose(&c); }

    // Sends one request until it gets an answer that is not a transient
    // failure of the coordinator (RMFAIL, or an exchange failure).
    int32_t request(uint8_t code, int32_t flags, const XID* xid, morvalen::MorvalenReply* reply) {
        reply->result = XAER_RMFAIL;  // what is answered when no exchange succeeds
        for (int attempt = 0; attempt < 100; ++attempt) {
            if (!open && morvalen::clientConnect(&c, "127.0.0.1", kPort, kBoundMs) == morvalen::kClientOk) {
                open = true;
            }
            if (open) {
                int32_t status = morvalen::clientRequest(&c, code, flags, xid, reply);
                if (status != morvalen::kClientOk) {
                    open = false;
                    morvalen::clientClose(&c);
                } else if (reply->result != XAER_RMFAIL && reply->result != XAER_RMERR) {
                    return reply->result;
                }
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        }
        return reply->result;
    }

    // The whole recover scan; false when it could not be made.
    bool recoverAll(std::vector<XID>* out) {
        out->clear();
        int32_t flags = TMSTARTRSCAN;
        for (;;) {
            morvalen::MorvalenReply reply;
            int32_t r = request(kRequestRecover, flags, nullptr, &reply);
            morvalen::MorvalenRecoverList list;
            if (r < 0 || morvalen::decodeRecover(&reply, &list) != morvalen::kClientOk) return false;
            out->insert(out->end(), list.xids, list.xids + list.count);
            if ((flags & TMENDRSCAN) != 0) return true;
            flags = list.count < morvalen::kMaxRecoverPerReply ? TMENDRSCAN : TMNOFLAGS;
        }
    }
};

std::string gtridOf(const XID& x) {
    return std::string(x.data, static_cast<size_t>(x.gtrid_length < 0 ? 0 : x.gtrid_length));
}

// Checks one round's branches against the recover list, resolves the in-doubt
// ones and probes every known outcome with the opposite completion.
// Branches of earlier rounds are looked up in history: an XID of theirs in
// doubt now is a violation too (their outcomes were all settled).
void checkRound(Checker& checker, std::vector<BranchRecord*>& branches,
                const std::map<std::string, BranchRecord*>& history, const std::string& round, Totals* totals) {
    std::vector<XID> doubt;
    ASSERT_TRUE(checker.recoverAll(&doubt)) << round << ": recover scan failed after the restart";
    std::set<std::string> inDoubt;
    for (const XID& x : doubt) inDoubt.insert(gtridOf(x));

    auto violation = [&](const BranchRecord& b, const char* what) {
        ++totals->violations;
        ADD_FAILURE() << round << ": branch " << b.key << ": " << what << " (prepare " << b.prepare << ", decision "
                      << (b.decisionSent ? (b.decisionCommit ? "commit" : "rollback") : "none") << ", outcome "
                      << b.outcome << ")";
    };
    std::set<std::string> known;
    for (BranchRecord* b : branches) {
        known.insert(b->key);
        bool listed = inDoubt.count(b->key) != 0;
        ++totals->branches;
        if (b->prepare == kAcked) ++totals->prepared;
        if (b->prepare == kUnknown || (b->decisionSent && b->outcome == kNoOutcome)) ++totals->unknown;
        if (b->outcome != kNoOutcome && listed) violation(*b, "an acknowledged outcome came back in doubt");
        if (b->prepare == kAcked && !b->decisionSent && !listed) violation(*b, "an acknowledged prepare was lost");
        if (b->prepare == kNotSent && listed) violation(*b, "a branch never prepared is in doubt");
        if (!listed) {
            // A prepared branch leaves doubt only through the decision its
            // client sent, even when the answer to it was lost.
            if (b->prepare == kAcked && b->decisionSent && b->outcome == kNoOutcome) {
                b->outcome = b->decisionCommit ? kCommitted : kRolledBack;
            }
            continue;
        }
        // Resolve as the client decided; commit what it had not decided yet.
        bool commit = !b->decisionSent || b->decisionCommit;
        morvalen::MorvalenReply reply;
        int32_t r = checker.request(commit ? kRequestCommit : kRequestRollback, TMNOFLAGS,
                                    &b->xid, &reply);
        if (r != XA_OK) {
            violation(*b, "an in-doubt branch could not be resolved");
            continue;
        }
        ++totals->inDoubt;
        b->outcome = commit ? kCommitted : kRolledBack;
    }
    for (const std::string& g : inDoubt) {
        if (known.count(g) != 0) continue;
        auto earlier = history.find(g);
        if (earlier == history.end()) {
            ++totals->violations;
            ADD_FAILURE() << round << ": an XID nobody started is in doubt: " << g;
        } else {
            violation(*earlier->second, "a branch of an earlier round, settled then, is in doubt again");
        }
    }
    // A branch with a known outcome refuses the opposite one.
    for (BranchRecord* b : branches) {
        if (b->outcome == kNoOutcome) continue;
        bool committed = b->outcome == kCommitted;
        morvalen::MorvalenReply reply;
        int32_t r = checker.request(committed ? kRequestRollback : kRequestCommit, TMNOFLAGS,
                                    &b->xid, &reply);
        if (r == XA_OK) violation(*b, committed ? "committed, then rolled back too" : "rolled back, then committed too");
    }
    std::vector<XID> left;
    ASSERT_TRUE(checker.recoverAll(&left));
    EXPECT_TRUE(left.empty()) << round << ": " << left.size() << " branches still in doubt after resolution";
}

}  // namespace

TEST(CrashMatrix, NoAcknowledgedWorkIsLostWhenEitherProcessIsKilled) {
    const int32_t rounds = envNumber("MORVALEN_CRASH_ROUNDS", 4 * kPointCount);
    const int32_t workers = envNumber("MORVALEN_CRASH_WORKERS", 4);
    const int32_t perWorker = envNumber("MORVALEN_CRASH_BRANCHES", 6);

    Processes p;
    ASSERT_TRUE(p.startDtcd()) << testsupport::readOutput(*p.dtcd);
    ASSERT_TRUE(p.startService()) << testsupport::readOutput(*p.service);
    Totals totals;
    std::deque<BranchRecord> settled;               // every earlier round's branches
    std::map<std::string, BranchRecord*> history;   // by key

    for (int32_t round = 0; round < rounds; ++round) {
        bool victimIsDtcd = round % 2 == 0;
        int32_t point = (round / 2) % kPointCount;
        std::string name = "round " + std::to_string(round) + " (" + (victimIsDtcd ? "dtcd" : "morvalen") + " killed " +
                           pointName(point) + ")";
        Trigger trigger;
        trigger.victimPid = victimIsDtcd ? p.dtcdPid.load() : p.servicePid.load();
        trigger.armed = point;

        std::vector<Worker> pool(static_cast<size_t>(workers));
        std::atomic<int32_t> finished{0};
        std::vector<std::thread> threads;
        for (int32_t i = 0; i < workers; ++i) {
            Worker& w = pool[static_cast<size_t>(i)];
            w.records.resize(static_cast<size_t>(perWorker));
            for (int32_t n = 0; n < perWorker; ++n) {
                BranchRecord& b = w.records[static_cast<size_t>(n)];
                b.key = "cm-" + std::to_string(round) + "-" + std::to_string(i) + "-" + std::to_string(n);
                EXPECT_EQ(morvalen::xidMake(morvalen::kDefaultFormatId, b.key.data(), b.key.size(), "b", 1, &b.xid),
                          morvalen::kClientOk);
            }
            threads.emplace_back([&w, &trigger, &finished, i, perWorker] {
                for (int32_t n = 0; n < perWorker; ++n) {
                    runBranch(w, trigger, w.records[static_cast<size_t>(n)], n + i);
                }
                morvalen::clientClose(&w.c);
                ++finished;
                std::lock_guard lock(trigger.mu);
                trigger.cv.notify_all();
            });
        }
        // Wait until the kill fired (then restart the victim while the load
        // goes on) or every worker is done without reaching the point.
        bool fired = false;
        {
            std::unique_lock lock(trigger.mu);
            trigger.cv.wait_for(lock, std::chrono::seconds(60),
                                [&] { return trigger.fired || finished.load() == workers; });
            fired = trigger.fired;
        }
        trigger.armed = -1;
        if (fired) {
            ++totals.fired;
            EXPECT_TRUE(p.restart(victimIsDtcd)) << name << ": the victim did not come back";
        }
        for (std::thread& t : threads) t.join();

        std::vector<BranchRecord*> all;
        for (Worker& w : pool) {
            for (BranchRecord& b : w.records) all.push_back(&b);
        }
        Checker checker;
        checkRound(checker, all, history, name, &totals);
        for (Worker& w : pool) {
            for (BranchRecord& b : w.records) {
                settled.push_back(b);
                history[b.key] = &settled.back();
            }
        }
        ++totals.rounds;
        if (::testing::Test::HasFatalFailure()) break;
    }
    std::printf("crash matrix: rounds=%d kills=%d branches=%lld prepares-acknowledged=%lld "
                "in-doubt-resolved=%lld unknown-outcome=%lld violations=%lld\n",
                totals.rounds, totals.fired, static_cast<long long>(totals.branches),
                static_cast<long long>(totals.prepared), static_cast<long long>(totals.inDoubt),
                static_cast<long long>(totals.unknown), static_cast<long long>(totals.violations));
    EXPECT_EQ(totals.violations, 0);
    // Every point is reached in the short form: the load makes each one happen.
    EXPECT_EQ(totals.fired, totals.rounds);
}
