// The stop control on POSIX: SIGTERM, received through a signalfd, and an
// eventfd through which the service's thread wakes the main thread. Both
// descriptors are made once by stopSignalBlock on the main thread, before any
// other thread exists, and live as long as the process.
#include "platform/Signals.h"

#include <cerrno>
#include <csignal>
#include <cstdint>

#include <poll.h>
#include <pthread.h>
#include <sys/eventfd.h>
#include <sys/signalfd.h>
#include <unistd.h>

#include <atomic>

namespace platform {

namespace {
std::atomic<int> stopSignalFd{-1};  // signalfd for SIGTERM, -1 before stopSignalBlock
std::atomic<int> wakeFd{-1};        // eventfd written by stopSignalWake
}  // namespace

int32_t stopSignalBlock() noexcept {
    sigset_t stopSet;
    sigemptyset(&stopSet);
    sigaddset(&stopSet, SIGTERM);
    int wake = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    if (wake < 0) return errno;
    int signals = signalfd(-1, &stopSet, SFD_CLOEXEC | SFD_NONBLOCK);
    if (signals < 0) {
        int error = errno;
        close(wake);
        return error;
    }
    // Blocked, SIGTERM stays pending until the signalfd reads it, whichever
    // thread it was sent to; threads started later inherit the mask.
    int error = pthread_sigmask(SIG_BLOCK, &stopSet, nullptr);
    if (error != 0) {
        close(signals);
        close(wake);
        return error;
    }
    wakeFd.store(wake);
    stopSignalFd.store(signals);
    return 0;
}

StopWake stopSignalWait() noexcept {
    int signals = stopSignalFd.load();
    int wake = wakeFd.load();
    if (signals < 0 || wake < 0) {
        errno = EBADF;
        return StopWake::Failed;
    }
    for (;;) {
        pollfd fds[2] = {{signals, POLLIN, 0}, {wake, POLLIN, 0}};
        int ready = poll(fds, 2, -1);
        if (ready < 0) {
            if (errno == EINTR) continue;
            return StopWake::Failed;
        }
        // A stop signal wins over a wake that came at the same time: the stop
        // sequence must run when the manager asked for it.
        if (fds[0].revents & POLLIN) {
            signalfd_siginfo info;
            if (read(signals, &info, sizeof info) == static_cast<ssize_t>(sizeof info)) return StopWake::StopRequested;
            continue;  // taken by nobody else; a short read cannot happen, poll again
        }
        if (fds[1].revents & POLLIN) {
            uint64_t count = 0;
            (void)!read(wake, &count, sizeof count);
            return StopWake::Woken;
        }
        if ((fds[0].revents | fds[1].revents) & (POLLERR | POLLNVAL)) {
            errno = EBADF;
            return StopWake::Failed;
        }
    }
}

void stopSignalWake() noexcept {
    int wake = wakeFd.load();
    if (wake < 0) return;
    uint64_t one = 1;
    int saved = errno;
    (void)!write(wake, &one, sizeof one);
    errno = saved;
}

}  // namespace platform
