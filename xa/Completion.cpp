// The completion handlers: prepare, commit, rollback and forget. Each calls its
// DTC entry point on the connection thread. Commit and rollback destroy the
// branch's record after the call, forget before it; prepare leaves it. None
// needs a record: an XID the service does not hold (one listed by recover
// after a restart) is completed all the same.
//
// By default each handler holds bridgeLock across its DTC call, and commit,
// rollback and forget also across the destruction of the record, so that no
// other connection binds, unbinds or touches the registry meanwhile: a
// completion and the record it ends are one step as the other connections see
// them. The price is that completions of different connections do not
// overlap. Prepare, commit and rollback take the lock after init and release
// it before a deinit; forget takes it before init. The binding's call counting
// keeps each call safe from a deinit on a thread that does not take the lock
// (a worker's).
//
// Each acts for the connection's resource manager (ownerRmid): kRmid, or under
// client isolation the certificate name's own, so that the coordinator
// answers XAER_NOTA for another name's branch, and only the name's own record
// is destroyed or marked.
//
// In the opt-in parallel mode (parallelCompletions) the DTC call is made
// without bridgeLock, relying on that counting alone, and only what touches
// the registry (marking, destroying the record) takes the lock. Durable calls
// of different connections then overlap, and the coordinator can fold their
// writes into one.
#include "common/Codes.h"
#include "report/Guard.h"
#include "xa/Binding.h"
#include "xa/Registry.h"
#include "xa/Requests.h"

namespace {

// Destroys the record of the XID, if there is one; under bridgeLock.
void destroyBranch(const XID& xid, int32_t rmid) {
    ThreadDatenRef found(searchThreadDaten(xid, rmid));
    garbageThreadDaten(found.record);
}

// Commit and rollback: the same steps with their own entry point. The binding
// may have been dropped since init: the call then answers XAER_RMFAIL without
// reaching DTC.
int32_t complete(ClientConnection* connection, DtcSlot slot) {
    int32_t rmid = ownerRmid(connection->peerName);
    int32_t r = initFor(rmid);
    if (r < 0) {
        return r;
    }
    uint64_t generation = 0;
    {
        CompletionLock hold;
        r = dtcBranchCall(slot, &connection->xid, connection->flags, &generation, rmid);
        destroyBranch(connection->xid, rmid);  // whatever r is
    }
    if (r == XAER_RMFAIL) {
        deinitGeneration(generation);
    }
    return r;
}

}  // namespace

int32_t xa_prepare(ClientConnection* connection) {
    return guardedCall("xa_prepare", kExceptionCaught, [&] {
        int32_t rmid = ownerRmid(connection->peerName);
        int32_t r = initFor(rmid);
        if (r < 0) {
            return r;
        }
        uint64_t generation = 0;
        {
            CompletionLock hold;
            r = dtcBranchCall(kSlotPrepare, &connection->xid, connection->flags, &generation, rmid);
            if (r == XA_OK) {
                // From now on only the transaction manager's decision may end
                // the branch: the expiry sweep leaves it in doubt.
                markThreadDatenPrepared(connection->xid, rmid);
            }
        }
        if (r == XAER_RMFAIL) {
            deinitGeneration(generation);
        }
        return r;
    });
}

int32_t xa_commit(ClientConnection* connection) {
    return guardedCall("xa_commit", kExceptionCaught, [&] { return complete(connection, kSlotCommit); });
}

int32_t xa_rollback(ClientConnection* connection) {
    return guardedCall("xa_rollback", kExceptionCaught, [&] { return complete(connection, kSlotRollback); });
}

int32_t xa_forget(ClientConnection* connection) {
    return guardedCall("xa_forget", kExceptionCaught, [&] {
        int32_t rmid = ownerRmid(connection->peerName);
        CompletionLock hold;
        int32_t r = initFor(rmid);
        if (r < 0) {
            return r;
        }
        destroyBranch(connection->xid, rmid);  // before the call
        uint64_t generation = 0;
        r = dtcBranchCall(kSlotForget, &connection->xid, connection->flags, &generation, rmid);
        if (r == XAER_RMFAIL) {
            deinitGeneration(generation);  // still under the lock
        }
        return r;
    });
}
