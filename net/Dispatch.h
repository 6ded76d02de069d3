// The request dispatch table: one handler slot per request code 0..7. A handler
// is called with the connection record once xid and flags hold the request's
// fields and replyLength is 8; it may append a payload and returns the result
// code for the reply header. It never sends anything itself.
#pragma once

#include <cstdint>

#include "net/Connection.h"

using RequestHandler = int32_t (*)(ClientConnection* connection);

constexpr int32_t kRequestCodeCount = 8;

// Defined by the XA request handlers (xa/XA.cpp), indexed by request code.
extern const RequestHandler requestHandlers[kRequestCodeCount];
