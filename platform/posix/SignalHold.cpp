// Holding the asynchronous signals on the calling thread (see SignalHold.h):
// pthread_sigmask with every signal but the synchronous processor faults,
// which the fault guard turns into exceptions and which a blocked mask would
// turn into a kill.
#include "platform/SignalHold.h"

#include <csignal>

#include <pthread.h>

namespace platform {

namespace {
thread_local sigset_t heldFrom;  // the mask before threadSignalsHold, this thread only
}  // namespace

void threadSignalsHold() noexcept {
    sigset_t all;
    sigfillset(&all);
    sigdelset(&all, SIGSEGV);
    sigdelset(&all, SIGBUS);
    sigdelset(&all, SIGFPE);
    sigdelset(&all, SIGILL);
    (void)pthread_sigmask(SIG_BLOCK, &all, &heldFrom);
}

void threadSignalsRelease() noexcept { (void)pthread_sigmask(SIG_SETMASK, &heldFrom, nullptr); }

}  // namespace platform
