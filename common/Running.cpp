#include "common/Running.h"

std::atomic<bool> runningFlag{true};
