// The connection loop: one request at a time, read, dispatch, reply.
#pragma once

#include <cstdint>

#include "net/Connection.h"
#include "net/Dispatch.h"

// socketReadXid's answer when the XID field could not be read at all (the peer
// closed or failed before its length byte or its whole body arrived). It never
// goes on the wire: the loop closes the connection without a reply.
constexpr int32_t kXidUnreadable = -1;

// Hands the connection loop its dispatch table (kRequestCodeCount slots,
// indexed by request code), before the first connection is served; the table
// must outlive every connection thread. A code whose slot is empty, or any
// code while no table was handed over, is answered XAER_RMERR (-3).
void connectionLoopSetHandlers(const RequestHandler* table) noexcept;

// Thread routine of a connection thread; takes over the ClientConnection passed
// as argument, serves it until it closes, and closes and frees it before it returns.
void connectionLoop(void* record);

// Reads the XID field into c->xid: 0 when xid holds the request's XID (length
// byte 255 gives the null XID); XAER_INVAL (-5) for a length byte outside
// 8..134 (the body is then not read) or a gtrid + bqual length sum other than
// L - 6; kXidUnreadable when the field could not be read. The body is read
// whole, over as many receives as it takes. Never writes outside xid's 128
// data bytes; lengths outside 0..64 with the right sum are passed on.
[[nodiscard]] int32_t socketReadXid(ClientConnection* c) noexcept;
