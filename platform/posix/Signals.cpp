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

namespace {

void (*reloadHandler)() = nullptr;  // written once before the watcher starts

void* reloadWatcher(void*) {
    sigset_t hangUp;
    sigemptyset(&hangUp);
    sigaddset(&hangUp, SIGHUP);
    for (;;) {
        int received = 0;
        if (sigwait(&hangUp, &received) == 0 && received == SIGHUP) reloadHandler();
    }
    return nullptr;
}

}  // namespace

int32_t reloadSignalWatch(void (*onReload)()) noexcept {
    reloadHandler = onReload;
    sigset_t hangUp;
    sigemptyset(&hangUp);
    sigaddset(&hangUp, SIGHUP);
    sigset_t all;
    sigfillset(&all);
    sigset_t before;
    // The watcher starts with every signal blocked, so that no signal meant
    // for the process (SIGTERM above all) is ever delivered to it; the caller
    // keeps SIGHUP blocked, so only the watcher's sigwait takes it.
    if (pthread_sigmask(SIG_BLOCK, &all, &before) != 0) return -1;
    pthread_t watcher;
    pthread_attr_t attributes;
    int made = pthread_attr_init(&attributes);
    if (made == 0) {
        (void)pthread_attr_setdetachstate(&attributes, PTHREAD_CREATE_DETACHED);
        (void)pthread_attr_setstacksize(&attributes, 256 * 1024);
        made = pthread_create(&watcher, &attributes, reloadWatcher, nullptr);
        (void)pthread_attr_destroy(&attributes);
    }
    sigaddset(&before, SIGHUP);
    if (made != 0) sigdelset(&before, SIGHUP);
    (void)pthread_sigmask(SIG_SETMASK, &before, nullptr);
    return made == 0 ? 0 : -1;
}

}  // namespace platform
