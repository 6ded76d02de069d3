// The XA requests' dispatch table, the start and end handlers and the branch
// query. Start and end hand their work to the branch's worker (Worker.cpp),
// since XA ties a branch to its thread; the completion handlers are in
// Completion.cpp, recover in Recover.cpp.
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
        int32_t r = init();
        if (r < 0) {
            return r;
        }
        BranchCookie cookie;  // holds the branch until its bytes are in the reply
        uint64_t generation = 0;
        r = thread_start(connection->xid, connection->flags, &cookie, &generation);
        if (r < 0) {
            if (r == XAER_RMFAIL) {
                deinitGeneration(generation);  // the next request binds afresh
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
        int32_t r = init();
        if (r < 0) {
            return r;
        }
        uint64_t generation = 0;
        r = thread_end(connection->xid, connection->flags, &generation);
        if (r == XAER_RMFAIL) {
            deinitGeneration(generation);
        }
        return r;
    });
}

int32_t xa_query(ClientConnection* connection) {
    // No init, no lock of its own, no guard of its own: an exception inside the
    // search is caught there and reads as a miss. A hit makes the branch young.
    ThreadDatenRef found(searchThreadDaten(connection->xid));
    return found.record != nullptr ? 0 : 1;
}
