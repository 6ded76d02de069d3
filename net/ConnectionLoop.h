// The connection loop: one request at a time, read, dispatch, reply.
#pragma once

#include <cstdint>

#include "net/Connection.h"

// Thread routine of a connection thread; takes over the ClientConnection passed
// as argument and frees it before it returns.
void connectionLoop(void* record);

// Reads the XID field into c->xid: 0, or XAER_INVAL (-5) for a malformed field.
int32_t socketReadXid(ClientConnection* c) noexcept;
