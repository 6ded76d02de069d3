// The request dispatch table's shape: one handler slot per request code 0..7.
// A handler is called with the connection record once xid and flags hold the
// request's fields and replyLength is 8; it may append a payload and returns
// the result code for the reply header. It never sends anything itself. The
// table itself belongs to whoever serves the requests (the XA bridge in the
// service); the service hands it to the connection loop at start
// (connectionLoopSetHandlers).
#pragma once

#include <cstdint>

#include "net/Connection.h"

using RequestHandler = int32_t (*)(ClientConnection* connection);

constexpr int32_t kRequestCodeCount = 8;
