// Placeholder request handlers until the XA bridge lands: every request code
// answers XAER_RMERR with no payload.
#include "net/Dispatch.h"
#include "xa/Binding.h"

namespace {
int32_t notYetServed(ClientConnection*) { return XAER_RMERR; }
}  // namespace

const RequestHandler requestHandlers[kRequestCodeCount] = {notYetServed, notYetServed, notYetServed, notYetServed,
                                                           notYetServed, notYetServed, notYetServed, notYetServed};

void createBridgeLock() noexcept {}
int32_t init() noexcept { return XAER_RMERR; }
void deinit() noexcept {}
void releaseBridge() noexcept {}
