// The branch worker thread and the hand-off through the branch record.
//
// XA ties a branch to the thread that started it, so every branch gets a
// worker of its own that issues DTC_XaStart and DTC_XaEnd for it and fetches
// its cookie; connection threads post commands to it and wait for the answer.
//
// The hand-off, in order:
//   1. The poster writes flags (for CMD_START and CMD_END) and command, then
//      signals commandEvent. A new branch's worker runs CMD_START at once.
//   2. The worker, woken, resets commandEvent, reads command and flags, runs
//      the command, writes result (and the cookie, under bridgeLock) and, on its
//      way out only, sets closing.
//   3. The worker signals doneEvent, then waits on commandEvent again (or ends).
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
// XAER_PROTO at once, without posting. The creator of a record holds the turn
// from creation. Joins post nothing and need no turn; garbageThreadDaten's
// CMD_STOP needs none either, as it waits for no answer.
//
// References (see Registry.cpp): the worker holds one from before it starts to
// its very last step, and a poster holds the one its search gave it until it
// has read the answer, so garbageThreadDaten never frees a record under them.
#include "xa/Worker.h"

#include <utility>

#include "common/Codes.h"
#include "common/Xid.h"
#include "platform/Thread.h"
#include "report/Guard.h"
#include "xa/Binding.h"
#include "xa/Cookie.h"

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

// Step 6 of a start: the worker's answer, or XAER_PROTO when it has already
// left (the record is then destroyed).
int32_t collectStart(ThreadDatenRef branch, BranchCookie* out) {
    ThreadDaten* record = branch.record;
    if (record->closing.load(std::memory_order_acquire) != 0) {
        garbageThreadDaten(record);
        return XAER_PROTO;
    }
    platform::eventWait(record->doneEvent);
    platform::eventReset(record->doneEvent);
    int32_t result = record->result.load(std::memory_order_relaxed);
    handCookie(std::move(branch), out);
    return result;
}

// A new branch: record, registry, worker. Leaves no record behind on failure.
int32_t startBranch(const XID& xid, int32_t flags, BranchCookie* out) {
    if (!xidLengthsValid(xid)) {
        return XAER_INVAL;
    }
    bool eventsFailed = false;
    ThreadDatenRef created(createThreadDaten(xid, flags, &eventsFailed));
    if (created.record == nullptr) {
        return eventsFailed ? kWorkerStartFailed : kRecordAllocFailed;
    }
    ThreadDaten* record = created.record;
    PostTurn turn(record, true);  // a record is made with its creator's turn taken
    int32_t added = addThreadDaten(record);
    if (added != 0) {
        record->closing.store(1, std::memory_order_release);  // no worker to wait for
        garbageThreadDaten(record);
        return added;
    }
    retainThreadDaten(record);  // the worker's reference
    if (platform::threadStartDetached(thread_run, record, kWorkerStackBytes) != 0) {
        releaseThreadDaten(record);  // the worker that never ran gives its reference back
        record->closing.store(1, std::memory_order_release);
        garbageThreadDaten(record);
        return kWorkerStartFailed;
    }
    return collectStart(std::move(created), out);
}

// CMD_START: DTC_XaStart, then the cookie on the branch's first success. True
// when the worker goes on waiting.
bool runStart(ThreadDaten* record, int32_t flags, int32_t* last) {
    int32_t code = dtcBranchCall(kSlotStart, &record->xid, flags);
    *last = code;
    if (code < 0) {
        record->result.store(code, std::memory_order_relaxed);
        return false;
    }
    if (record->cookie == nullptr) {  // only this thread writes it, so no lock to read it
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

// The worker's loop; returns when the command does not leave it waiting. `last`
// is the code of the latest DTC_XaStart, getCookie or DTC_XaEnd with posted
// flags; the TMSUCCESS end of CMD_STOP does not change it.
void runCommands(ThreadDaten* record, int32_t* last) {
    for (;;) {
        int32_t flags = record->flags.load(std::memory_order_relaxed);
        bool stay = false;
        switch (record->command.load(std::memory_order_relaxed)) {
            case CMD_START:
                stay = runStart(record, flags, last);
                break;
            case CMD_END: {
                int32_t code = dtcBranchCall(kSlotEnd, &record->xid, flags);
                *last = code;
                record->result.store(code, std::memory_order_relaxed);
                stay = (flags & TMSUSPEND) != 0;  // a suspended branch keeps its worker, whatever the code
                break;
            }
            default:
                // CMD_STOP, and every other value acts alike: end the
                // association, leave result as it is.
                (void)dtcBranchCall(kSlotEnd, &record->xid, TMSUCCESS);
                break;
        }
        if (!stay) {
            return;
        }
        platform::eventSet(record->doneEvent);
        platform::eventWait(record->commandEvent);
        platform::eventReset(record->commandEvent);
    }
}

// The way out, taken on every exit from the loop.
void leaveBranch(ThreadDaten* record, int32_t last) noexcept {
    if (last != 0) {
        // Its code is ignored; a fault in it is reported and the way out goes on.
        (void)guardedRun("thread_run", [&] { (void)dtcBranchCall(kSlotEnd, &record->xid, TMSUCCESS); });
    }
    platform::Event* done = record->doneEvent;
    record->closing.store(1, std::memory_order_release);
    platform::eventSet(done);
    if (last == XAER_RMFAIL) {
        deinit();  // the next request binds afresh
    }
    releaseThreadDaten(record);  // the worker's reference: its very last use of the record
}

}  // namespace

void thread_run(void* argument) noexcept {
    auto* record = static_cast<ThreadDaten*>(argument);
    int32_t last = 0;
    if (!guardedRun("thread_run", [&] { runCommands(record, &last); })) {
        // The poster waiting on doneEvent gets the exception code as the result.
        record->result.store(kExceptionCaught, std::memory_order_relaxed);
        last = kExceptionCaught;
    }
    leaveBranch(record, last);
}

int32_t thread_start(const XID& xid, int32_t flags, BranchCookie* cookie) noexcept {
    return guardedCall("thread_start", kExceptionCaught, [&]() -> int32_t {
        ThreadDatenRef found(searchThreadDaten(xid));
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
            record->flags.store(flags, std::memory_order_relaxed);
            record->command.store(CMD_START, std::memory_order_relaxed);
            if (!platform::eventSet(record->commandEvent)) {
                return kResumeSignalFailed;
            }
            return collectStart(std::move(found), cookie);
        }
        if ((flags & TMJOIN) != 0 && record != nullptr) {
            // Answered here: no DTC call, nothing posted, closing not looked at.
            record->joinCount.fetch_add(1, std::memory_order_relaxed);
            handCookie(std::move(found), cookie);
            return XA_OK;
        }
        if (record != nullptr) {
            return XAER_DUPID;
        }
        // A TMJOIN start of an unknown XID makes a new branch, TMJOIN passed on.
        return startBranch(xid, flags, cookie);
    });
}

int32_t thread_end(const XID& xid, int32_t flags) {
    ThreadDatenRef found(searchThreadDaten(xid));
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
    record->flags.store(flags, std::memory_order_relaxed);
    record->command.store(CMD_END, std::memory_order_relaxed);
    if (!platform::eventSet(record->commandEvent)) {
        return kEndSignalFailed;
    }
    platform::eventWait(record->doneEvent);
    platform::eventReset(record->doneEvent);
    return record->result.load(std::memory_order_relaxed);
}
