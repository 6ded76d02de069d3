// The XA requests' dispatch table, the start and end handlers and the branch
// query. Start and end hand their work to the branch's worker (Worker.cpp),
// since XA ties a branch to its thread; the completion handlers are in
// Completion.cpp, recover in Recover.cpp.
//
// Every handler acts for the connection's resource manager (ownerRmid): kRmid,
// or under client isolation the certificate name's own. There an end or a
// resume of an XID the name holds no branch of answers XAER_NOTA, whether or
// not another name holds one: another name's branch is never seen.
#include "common/Codes.h"
#include "report/Guard.h"
#include "xa/Binding.h"
#include "xa/Registry.h"
#include "xa/Requests.h"
#include "xa/Worker.h"

const RequestHandler requestHandlers[kRequestCodeCount] = {xa_start,   xa_end,    xa_forget,   xa_recover,
                                                           xa_prepare, xa_commit, xa_rollback, xa_query};

int32_t xa_start(ClientConnection* connection) {
    return guardedCall("xa_start", kExceptionCaught, [&] {
        int32_t rmid = ownerRmid(connection->peerName);
        int32_t r = initFor(rmid);
        if (r < 0) {
            return r;
        }
        BranchCookie cookie;  // holds the branch until its bytes are in the reply
        uint64_t generation = 0;
        r = thread_start(connection->xid, connection->flags, &cookie, &generation, rmid);
        if (r < 0) {
            if (r == XAER_RMFAIL) {
                deinitGeneration(generation);  // the next request binds afresh
            }
            if (r == kSocketFailure && rmid != kRmid) {
                return XAER_NOTA;  // a resume of no branch of this name's
            }
            return r;
        }
        // A null cookie goes out as the single word -1.
        socketWriteBytes(connection, cookie.bytes, cookie.length);
        return r;
    });
}

int32_t xa_end(ClientConnection* connection) {
    return guardedCall("xa_end", kExceptionCaught, [&] {
        int32_t rmid = ownerRmid(connection->peerName);
        int32_t r = initFor(rmid);
        if (r < 0) {
            return r;
        }
        uint64_t generation = 0;
        r = thread_end(connection->xid, connection->flags, &generation, rmid);
        if (r == XAER_RMFAIL) {
            deinitGeneration(generation);
        }
        if (r == kEndNoRecord && rmid != kRmid) {
            return XAER_NOTA;  // no branch of this name's
        }
        return r;
    });
}

int32_t xa_query(ClientConnection* connection) {
    // No init, no lock of its own, no guard of its own: an exception inside the
    // search is caught there and reads as a miss. A hit makes the branch young.
    ThreadDatenRef found(searchThreadDaten(connection->xid, ownerRmid(connection->peerName)));
    return found.record != nullptr ? 0 : 1;
}
