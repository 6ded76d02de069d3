// The recover handler: lists at most 7 XIDs that the coordinator holds
// prepared or heuristically completed for this resource manager, in the
// compact encoding (format identifier, one byte each for the two lengths, then
// the gtrid and bqual bytes), as a length-prefixed payload. Under client
// isolation the resource manager is the certificate name's own, whose
// recovery GUID the coordinator lists only that name's branches under.
#include <cstring>
#include <memory>
#include <new>

#include "common/Codes.h"
#include "common/Protocol.h"
#include "common/Xid.h"
#include "report/Guard.h"
#include "xa/Binding.h"
#include "xa/Requests.h"

namespace {

constexpr size_t kEncodingBytes = 980;  // 7 entries of at most 134 bytes fit in 938
static_assert(sizeof(XID) * kRecoverBatch == kEncodingBytes, "the XID array is 980 bytes too");

}  // namespace

uint32_t recoverEncodeXids(const XID* xids, int32_t count, uint8_t* area) {
    uint32_t p = 0;
    for (int32_t i = 0; i < count; ++i) {
        const XID& xid = xids[i];
        std::memcpy(area + p, &xid.formatID, 4);
        area[p + 4] = static_cast<uint8_t>(xid.gtrid_length);  // the low byte
        area[p + 5] = static_cast<uint8_t>(xid.bqual_length);
        auto dataLength = static_cast<uint32_t>(xid.gtrid_length + xid.bqual_length);
        std::memcpy(area + p + 6, xid.data, dataLength);
        p += 6 + dataLength;
    }
    return p;
}

int32_t xa_recover(ClientConnection* connection) {
    return guardedCall("xa_recover", kExceptionCaught, [&] {
        // Held from before init to after the payload is written, except in the
        // parallel completion mode, where the call relies on the binding's
        // in-flight counting alone (see Completion.cpp).
        int32_t rmid = ownerRmid(connection->peerName);
        CompletionLock hold;
        int32_t r = initFor(rmid);
        if (r < 0) {
            return r;
        }
        std::unique_ptr<XID[]> xids(new (std::nothrow) XID[kRecoverBatch]);
        std::unique_ptr<uint8_t[]> area(new (std::nothrow) uint8_t[kEncodingBytes]);
        if (xids == nullptr || area == nullptr) {
            return kRecordAllocFailed;  // the working storage cannot be allocated
        }
        uint64_t generation = 0;
        r = dtcRecoverCall(xids.get(), kRecoverBatch, connection->flags, &generation, rmid);
        if (r < 0) {
            if (r == XAER_RMFAIL) {
                deinitGeneration(generation);  // still under the lock
            }
            return r;
        }
        // A count beyond the array, or an XID whose lengths lie outside the XA
        // limits, would make the encoding read or write out of bounds: the
        // answer cannot be trusted, and the request fails as an RM error.
        if (r > kRecoverBatch) {
            return XAER_RMERR;
        }
        for (size_t i = 0; i < static_cast<size_t>(r); ++i) {
            if (!xidLengthsValid(xids[i])) {
                return XAER_RMERR;
            }
        }
        socketWriteBytes(connection, area.get(), recoverEncodeXids(xids.get(), r, area.get()));
        return r;
    });
}
