// The running flag: true from process start; only the stop sequence clears it,
// and nothing sets it again. The listener and every connection loop read it at
// the start of each pass, without a lock.
#pragma once

#include <atomic>

extern std::atomic<bool> runningFlag;
