// The XA request handlers, one per request code; entered into the dispatch
// table requestHandlers (XA.cpp). Each takes the connection record, whose xid
// and flags hold the request's fields and whose replyLength is 8, may append a
// payload, and returns the result code for the reply header.
#pragma once

#include <cstdint>

#include "net/Connection.h"
#include "net/Dispatch.h"

// The XA requests' dispatch table, indexed by request code, that the service
// hands to the connection loop.
extern const RequestHandler requestHandlers[kRequestCodeCount];

[[nodiscard]] int32_t xa_start(ClientConnection* connection);     // code 0: cookie payload on success
[[nodiscard]] int32_t xa_end(ClientConnection* connection);       // code 1
[[nodiscard]] int32_t xa_forget(ClientConnection* connection);    // code 2
[[nodiscard]] int32_t xa_recover(ClientConnection* connection);   // code 3: XID list payload when >= 0
[[nodiscard]] int32_t xa_prepare(ClientConnection* connection);   // code 4
[[nodiscard]] int32_t xa_commit(ClientConnection* connection);    // code 5
[[nodiscard]] int32_t xa_rollback(ClientConnection* connection);  // code 6
[[nodiscard]] int32_t xa_query(ClientConnection* connection);     // code 7: 0 branch held, 1 not

// The recover payload's entries for the first count XIDs, written at area: per
// XID the format identifier (4 bytes), the low bytes of the gtrid and bqual
// lengths, then gtrid + bqual data bytes. Returns the bytes written. Every XID
// must have lengths in 0..64 (at most 134 bytes an entry).
[[nodiscard]] uint32_t recoverEncodeXids(const XID* xids, int32_t count, uint8_t* area);
