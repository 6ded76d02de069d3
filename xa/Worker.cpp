// The branch worker thread and the hand-off through the branch record.
//
// XA ties a branch to the thread that started it, so every branch gets a
// worker of its own that issues DTC_XaStart and DTC_XaEnd for it and fetches
// its cookie; connection threads post commands to it and wait for the answer.
// A branch has its worker to itself for the branch's whole life; once the
// branch has let go of it cleanly the thread may serve a later branch
// (platform::threadStartReusable), which saves a thread creation per branch.
//
// The hand-off, in order:
//   1. The poster presets result to XAER_PROTO, writes flags (for CMD_START and
//      CMD_END) and command, then signals commandEvent. A new branch's worker
//      runs its first CMD_START at once.
//   2. The worker, woken, resets commandEvent, looks at stopRequested (a stop
//      wins over the posted command, which then stays unrun), reads command and
//      flags, runs the command, writes result (and the cookie, under
//      bridgeLock) and, on its way out only, sets closing.
//   3. The worker signals doneEvent, then waits on commandEvent again (or ends;
//      its way out signals doneEvent too).
//   4. The poster, woken, resets doneEvent and reads result and the cookie.
// Each event is reset only by the thread that waited on it. No lock is held
// across a wait; the only bounded wait is garbageThreadDaten's poll.
//
// One poster at a time: the record has one command, one result and one
// doneEvent, and a poster resets doneEvent after its wait, so two posters at
// once could leave one of them waiting for ever (or reading the other's
// answer, or overwrite a new branch's first CMD_START). A poster therefore
// takes the record's `posting` turn before it posts and gives it back after it
// has read the answer; a second poster that finds the turn taken is answered
// XAER_PROTO at once, without posting. Once it holds the turn a poster looks at
// `closing` again, because the poster before it may have ended the worker. The
// creator of a record holds the turn from creation. garbageThreadDaten needs no
// turn: it asks for the stop through its own flag and waits for no answer.
//
// A branch's first start: the creator always waits for the worker's answer, so
// a start that fails answers the coordinator's own code, and its record is
// destroyed at once (XA leaves a failed start with no branch). Joins that find
// the record meanwhile wait for that outcome (firstStart) and answer XAER_NOTA
// when it failed.
//
// A record belongs to one resource manager (its rmid: kRmid, or its client's
// own under client isolation), and every DTC call made for it goes there.
//
// References (see Registry.cpp): the worker holds one from before it starts to
// its very last step, and a poster holds the one its search gave it until it
// has read the answer, so garbageThreadDaten never frees a record under them.
#include "xa/Worker.h"

#include <condition_variable>
#include <utility>

#include "common/Codes.h"
#include "common/Xid.h"
#include "platform/Thread.h"
#include "platform/ThreadSafety.h"
#include "report/Guard.h"
#include "report/Metrics.h"
#include "xa/Binding.h"
#include "xa/Cookie.h"
#include "xa/ScopeExit.h"

namespace {

// The posting turn of a record, given back on every way out. It keeps a
// reference of its own, since the poster's reference may go (with the record)
// before the turn is given back.
struct PostTurn {
    explicit PostTurn(ThreadDaten* r, bool alreadyHeld = false)
        : record(r), held(alreadyHeld || r->posting.exchange(1, std::memory_order_acquire) == 0) {
        retainThreadDaten(record);
    }
    ~PostTurn() {
        if (held) {
            record->posting.store(0, std::memory_order_release);
        }
        releaseThreadDaten(record);
    }
    PostTurn(const PostTurn&) = delete;
    PostTurn& operator=(const PostTurn&) = delete;
    ThreadDaten* record;  // whose turn
    bool held;            // false: another poster has it
};

// The record's cookie, read under bridgeLock (the worker writes it under the
// lock; a joining start reads it without waiting for the worker), and the
// reference that keeps it alive.
void handCookie(ThreadDatenRef branch, BranchCookie* out) {
    {
        platform::ScopedLock hold(bridgeLock());
        out->bytes = branch.record->cookie;
        out->length = branch.record->cookieLength;
    }
    out->branch = std::move(branch);
}

// Waits for the worker's answer to the command just posted (or, for a new
// branch, to its first CMD_START), resets doneEvent and reads the result. The
// worker signals doneEvent on every way out too, so this never waits for a
// worker that has ended. *generation gets the binding generation of the call
// that gave the result.
int32_t awaitAnswer(ThreadDaten* record, uint64_t* generation) {
    platform::eventWait(record->doneEvent);
    platform::eventReset(record->doneEvent);
    if (generation != nullptr) {
        *generation = record->generation.load(std::memory_order_relaxed);
    }
    return record->result.load(std::memory_order_relaxed);
}

// Posts a command to a worker whose posting turn the caller holds. The result
// is preset to XAER_PROTO, which is what the poster reads when the worker was
// asked to stop before it could run the command. False when commandEvent could
// not be signalled.
bool postCommand(ThreadDaten* record, int32_t command, int32_t flags) {
    record->result.store(XAER_PROTO, std::memory_order_relaxed);
    record->flags.store(flags, std::memory_order_relaxed);
    record->command.store(command, std::memory_order_relaxed);
    return platform::eventSet(record->commandEvent);
}

// Joins that find a branch whose first start is still running wait for its
// outcome here. One pair for the process: such joins are rare, and a record
// then needs no third event of its own. Never destroyed, as detached threads
// may still use them while the process ends.
platform::Mutex& firstStartMutex() {
    static platform::Mutex* const mutex = new platform::Mutex;
    return *mutex;
}
std::condition_variable& firstStartSettled() {
    static std::condition_variable* const settled = new std::condition_variable;
    return *settled;
}

// Records the outcome of a branch's first start and wakes the joins waiting
// for it.
void settleFirstStart(ThreadDaten* record, int32_t outcome) {
    {
        platform::MutexLock hold(firstStartMutex());
        record->firstStart.store(outcome, std::memory_order_release);
    }
    firstStartSettled().notify_all();
}

// A new branch's first start, once its worker runs: the worker's answer. A
// start that failed leaves no branch behind, whatever the timing: its record
// is destroyed at once (so a retry of the XID is a new start, not XAER_DUPID),
// and when DTC_XaStart had succeeded and only the cookie export failed, the
// coordinator's branch is rolled back after the worker has ended its
// association, since the client was told that the start failed.
int32_t collectFirstStart(ThreadDatenRef branch, BranchCookie* out, uint64_t* generation) {
    ThreadDaten* record = branch.record;
    int32_t result = awaitAnswer(record, generation);
    if (result >= 0) {
        settleFirstStart(record, kFirstStartDone);
        handCookie(std::move(branch), out);
        return result;
    }
    settleFirstStart(record, kFirstStartFailed);
    if (record->startedInDtc.load(std::memory_order_relaxed) != 0) {
        // The worker's way out (its TMSUCCESS end) precedes the doneEvent we
        // woke on, so the association has ended by now. Made like any other
        // completion call, under bridgeLock unless completions run in parallel.
        CompletionLock hold;
        (void)dtcBranchCall(kSlotRollback, &record->xid, TMNOFLAGS, nullptr, record->rmid);
    }
    garbageThreadDaten(record);
    return result;
}

// A new branch: record, registry, worker. Leaves no record behind on failure.
int32_t startBranch(const XID& xid, int32_t flags, BranchCookie* out, uint64_t* generation, int32_t rmid) {
    if (!xidLengthsValid(xid)) {
        return XAER_INVAL;
    }
    bool eventsFailed = false;
    ThreadDatenRef created(createThreadDaten(xid, flags, &eventsFailed, rmid));
    if (created.record == nullptr) {
        return eventsFailed ? kWorkerStartFailed : kRecordAllocFailed;
    }
    ThreadDaten* record = created.record;
    PostTurn turn(record, true);  // a record is made with its creator's turn taken
    // Joins that found the record wait for the first start's outcome; every way
    // out that does not settle it as done settles it as failed.
    ScopeExit unsettled([record] {
        if (record->firstStart.load(std::memory_order_acquire) == kFirstStartPending) {
            settleFirstStart(record, kFirstStartFailed);
        }
    });
    int32_t added = addThreadDaten(record);
    if (added != 0) {
        record->closing.store(1, std::memory_order_release);  // no worker to wait for
        garbageThreadDaten(record);
        return added;
    }
    retainThreadDaten(record);  // the worker's reference
    if (platform::threadStartReusable(thread_run, record, kWorkerStackBytes) != 0) {
        releaseThreadDaten(record);  // the worker that never ran gives its reference back
        record->closing.store(1, std::memory_order_release);
        settleFirstStart(record, kFirstStartFailed);
        garbageThreadDaten(record);
        return kWorkerStartFailed;
    }
    return collectFirstStart(std::move(created), out, generation);
}

// A join of a listed branch: answered here, without DTC and without the
// worker, once the branch's first start is known to have succeeded. A join
// that finds the first start still running waits for its outcome; a join of a
// branch whose first start failed is answered XAER_NOTA, as the coordinator
// answers a join of a branch that does not exist.
int32_t joinBranch(ThreadDatenRef found, BranchCookie* out) {
    ThreadDaten* record = found.record;
    int32_t outcome = record->firstStart.load(std::memory_order_acquire);
    if (outcome == kFirstStartPending) {
        platform::MutexLock hold(firstStartMutex());
        while (record->firstStart.load(std::memory_order_acquire) == kFirstStartPending) {
            platform::condWait(firstStartSettled(), firstStartMutex());
        }
        outcome = record->firstStart.load(std::memory_order_acquire);
    }
    if (outcome == kFirstStartFailed) {
        return XAER_NOTA;
    }
    record->joinCount.fetch_add(1, std::memory_order_relaxed);
    handCookie(std::move(found), out);
    return XA_OK;
}

// Whether the branch's cookie has been exported. Only the worker writes the
// cookie (under bridgeLock, where a joining start reads it), and only the
// worker asks this, so it reads its own write without the lock; the analysis
// cannot know which thread calls, and is off here.
bool cookieExported(const ThreadDaten* record) NO_THREAD_SAFETY_ANALYSIS {
    return record->cookie != nullptr;
}

// CMD_START: DTC_XaStart, then the cookie on the branch's first success. True
// when the worker goes on waiting.
bool runStart(ThreadDaten* record, int32_t flags, int32_t* last, uint64_t* lastGeneration) {
    int32_t code = dtcBranchCall(kSlotStart, &record->xid, flags, lastGeneration, record->rmid);
    *last = code;
    record->generation.store(*lastGeneration, std::memory_order_relaxed);
    if (code < 0) {
        record->result.store(code, std::memory_order_relaxed);
        return false;
    }
    record->startedInDtc.store(1, std::memory_order_relaxed);
    if (!cookieExported(record)) {
        int32_t exported = getCookie(&record->cookie, &record->cookieLength);
        *last = exported;
        if (exported < 0) {
            // getCookie has left the cookie null and freed what it had made.
            record->result.store(exported, std::memory_order_relaxed);
            return false;
        }
    }
    record->result.store(code, std::memory_order_relaxed);
    return true;
}

// The worker's loop; returns when the command does not leave it waiting, or
// when garbageThreadDaten asked it to stop. `last` is the code of the latest
// DTC_XaStart, getCookie or DTC_XaEnd with posted flags, `lastGeneration` the
// binding generation it went through; the TMSUCCESS end of a stop changes
// neither. A new branch's first CMD_START runs at once; the stop request is
// looked at each time the worker wakes, before it reads the next command, so
// a command posted together with a stop is left unrun (its poster reads the
// XAER_PROTO it preset).
void runCommands(ThreadDaten* record, int32_t* last, uint64_t* lastGeneration) {
    int32_t command = record->command.load(std::memory_order_relaxed);
    for (;;) {
        int32_t flags = record->flags.load(std::memory_order_relaxed);
        bool stay = false;
        switch (command) {
            case CMD_START:
                stay = runStart(record, flags, last, lastGeneration);
                break;
            case CMD_END: {
                int32_t code = dtcBranchCall(kSlotEnd, &record->xid, flags, lastGeneration, record->rmid);
                *last = code;
                record->generation.store(*lastGeneration, std::memory_order_relaxed);
                record->result.store(code, std::memory_order_relaxed);
                stay = (flags & TMSUSPEND) != 0;  // a suspended branch keeps its worker, whatever the code
                break;
            }
            default:
                // CMD_STOP, and every other value acts alike: end the
                // association, leave result as it is. A thread whose
                // association may have outlived the end serves no other branch.
                if (dtcBranchCall(kSlotEnd, &record->xid, TMSUCCESS, nullptr, record->rmid) != XA_OK) {
                    platform::threadRetire();
                }
                break;
        }
        if (!stay) {
            return;
        }
        platform::eventSet(record->doneEvent);
        platform::eventWait(record->commandEvent);
        platform::eventReset(record->commandEvent);
        if (record->stopRequested.load(std::memory_order_acquire) != 0) {
            command = CMD_STOP;
        } else {
            command = record->command.load(std::memory_order_relaxed);
        }
    }
}

// The way out, taken on every exit from the loop.
void leaveBranch(ThreadDaten* record, int32_t last, uint64_t lastGeneration) noexcept {
    if (last != 0) {
        // Its code is ignored; a fault in it is reported and the way out goes on.
        (void)guardedRun("thread_run", [&] { (void)dtcBranchCall(kSlotEnd, &record->xid, TMSUCCESS, nullptr, record->rmid);
        });
        // Whatever that end gave, the coordinator may still tie something to
        // this thread: it serves no other branch.
        platform::threadRetire();
    }
    platform::Event* done = record->doneEvent;
    record->closing.store(1, std::memory_order_release);
    platform::eventSet(done);
    if (last == XAER_RMFAIL) {
        deinitGeneration(lastGeneration);  // the next request binds afresh
    }
    releaseThreadDaten(record);  // the worker's reference: its very last use of the record
}

}  // namespace

void thread_run(void* argument) noexcept {
    auto* record = static_cast<ThreadDaten*>(argument);
    int32_t last = 0;
    uint64_t lastGeneration = 0;
    metricsWorkerStarted();
    if (!guardedRun("thread_run", [&] { runCommands(record, &last, &lastGeneration); })) {
        // The poster waiting on doneEvent gets the exception code as the result.
        record->result.store(kExceptionCaught, std::memory_order_relaxed);
        last = kExceptionCaught;
    }
    leaveBranch(record, last, lastGeneration);
    metricsWorkerEnded();
}

int32_t thread_start(const XID& xid, int32_t flags, BranchCookie* cookie, uint64_t* generation, int32_t rmid) noexcept {
    if (generation != nullptr) {
        *generation = 0;
    }
    return guardedCall("thread_start", kExceptionCaught, [&]() -> int32_t {
        ThreadDatenRef found(searchThreadDaten(xid, rmid));
        ThreadDaten* record = found.record;
        if ((flags & TMRESUME) != 0) {
            // TMRESUME is tested first, whether or not TMJOIN comes with it.
            if (record == nullptr) {
                return kSocketFailure;  // -1: resume of an XID without a record
            }
            PostTurn turn(record);
            if (!turn.held) {
                return XAER_PROTO;  // another connection is posting to this branch
            }
            // Looked at once the turn is ours: the worker may have ended under
            // the poster that held the turn before us.
            if (record->closing.load(std::memory_order_acquire) != 0) {
                garbageThreadDaten(record);
                return XAER_PROTO;
            }
            if (!postCommand(record, CMD_START, flags)) {
                return kResumeSignalFailed;
            }
            int32_t result = awaitAnswer(record, generation);
            handCookie(std::move(found), cookie);
            return result;
        }
        if ((flags & TMJOIN) != 0 && record != nullptr) {
            // Answered here: no DTC call, nothing posted.
            return joinBranch(std::move(found), cookie);
        }
        if (record != nullptr) {
            return XAER_DUPID;
        }
        // A TMJOIN start of an unknown XID makes a new branch, TMJOIN passed on.
        return startBranch(xid, flags, cookie, generation, rmid);
    });
}

int32_t thread_end(const XID& xid, int32_t flags, uint64_t* generation, int32_t rmid) {
    if (generation != nullptr) {
        *generation = 0;
    }
    ThreadDatenRef found(searchThreadDaten(xid, rmid));
    ThreadDaten* record = found.record;
    if (record == nullptr) {
        return kEndNoRecord;
    }
    // The end of a joined start is answered here; only the end that finds no
    // join outstanding reaches DTC.
    int32_t joins = record->joinCount.load(std::memory_order_relaxed);
    while (joins > 0 && !record->joinCount.compare_exchange_weak(joins, joins - 1, std::memory_order_relaxed)) {
    }
    if (joins > 0) {
        return XA_OK;
    }
    if (record->closing.load(std::memory_order_acquire) != 0) {
        return XAER_PROTO;  // the record stays
    }
    PostTurn turn(record);
    if (!turn.held) {
        return XAER_PROTO;  // another connection is posting to this branch
    }
    // Again once the turn is ours: an end by the poster before us may have
    // ended the worker, and nobody would answer a command posted now.
    if (record->closing.load(std::memory_order_acquire) != 0) {
        return XAER_PROTO;
    }
    if (!postCommand(record, CMD_END, flags)) {
        return kEndSignalFailed;
    }
    return awaitAnswer(record, generation);
}
