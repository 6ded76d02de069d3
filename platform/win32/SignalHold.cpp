// Holding signals (see SignalHold.h) on Windows: nothing to hold, since no
// console control or stop request is delivered to an arbitrary thread.
#include "platform/SignalHold.h"

namespace platform {

void threadSignalsHold() noexcept {}

void threadSignalsRelease() noexcept {}

}  // namespace platform
