// The service run: serviceMain on its own thread, the stop control on the main
// thread, and the stop sequence.
//
// Life of a service run:
//  1. main (no argument, started by the service manager) calls serviceDispatch
//     before any other thread exists; it blocks the stop signal, so every thread
//     started afterwards inherits the block and none is ever killed by it.
//  2. serviceDispatch starts serviceMain on a detached thread and waits for the
//     stop signal, or for serviceMain's wake when the listener ended by itself.
//  3. serviceMain reports start pending, runs the listener (which reports running
//     once it is bound), and reports stopped when the listener has returned.
//  4. On the stop signal the main thread waits until the start-pending report
//     is out (a stop that comes while the service is starting is handled then,
//     so the manager always sees start pending first), and runs
//     serviceCtrlHandler(SERVICE_CONTROL_STOP): stop pending, then stopService.
//  5. The main thread returns once serviceMain has reported stopped; the
//     process exits with code 0.
//
// State: the one ServiceRun record below, reached from both threads, and the
// close of the listening socket, guarded by listenSocketMutex.
#include "service/Runtime.h"

#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <mutex>

#include "common/Running.h"
#include "net/ConnectionLoop.h"
#include "net/Listener.h"
#include "platform/Clock.h"
#include "platform/Error.h"
#include "platform/Notify.h"
#include "platform/Signals.h"
#include "platform/Socket.h"
#include "platform/Thread.h"
#include "report/Guard.h"
#include "report/Metrics.h"
#include "report/Report.h"
#include "report/Status.h"
#include "xa/Binding.h"
#include "xa/Registry.h"
#include "xa/Requests.h"

namespace {

// How long the main thread waits, after the stop sequence, for the listener to
// return and serviceMain to report stopped. The listener returns at once when
// its socket is shut down; the bound only matters if it never does.
constexpr auto kStoppedReportBound = std::chrono::milliseconds(3000);
// How often, while it waits, the main thread shuts the listening socket down again.
constexpr auto kShutdownRepeat = std::chrono::milliseconds(100);

// What the two threads of a service run tell each other. Made by serviceDispatch
// and never freed: serviceMain's thread may still be leaving its last unlock
// while the process ends.
struct ServiceRun {
    std::mutex mutex;
    std::condition_variable changed;
    bool startReported = false;  // guarded by mutex; the start-pending report was made (or failed)
    bool stopReported = false;   // guarded by mutex; serviceMain reported stopped
};

ServiceRun* serviceRun = nullptr;  // set once by serviceDispatch before serviceMain's thread starts

// The listening socket is shut down by the stop sequence (which wakes the
// listener) but closed only once the listener has let go of it: a descriptor
// closed under a thread still in listen() or accept() could be reused by
// another socket of the process before that thread's next call on it.
std::mutex listenSocketMutex;   // guards the shutdown and close of listenSocket between the two threads
bool listenerReturned = false;  // guarded by listenSocketMutex; acceptLoop has returned
bool closeRequested = false;    // guarded by listenSocketMutex; the stop sequence wants it closed

// Closes listenSocket and clears it. Needs listenSocketMutex.
void closeListenSocket() {
    platform::Socket listening = listenSocket.exchange(platform::kInvalidSocket);
    if (listening != platform::kInvalidSocket) (void)platform::socketCloseHandle(listening);
}

// Shuts listenSocket down again while the listener has not returned: a
// listener caught between its running-flag check and its listen() re-arms a
// socket that was shut down, and only a further shutdown wakes its accept.
void shutDownListenSocketAgain() {
    std::lock_guard<std::mutex> hold(listenSocketMutex);
    if (listenerReturned) return;
    platform::Socket listening = listenSocket.load();
    if (listening != platform::kInvalidSocket) (void)platform::socketShutdownBoth(listening);
}

void markRun(bool ServiceRun::*field) noexcept {
    if (serviceRun == nullptr) return;
    std::lock_guard<std::mutex> hold(serviceRun->mutex);
    serviceRun->*field = true;
    serviceRun->changed.notify_all();
}

// Tells the service manager why the service stopped by itself (STATUS=, and
// ERRNO= when a system call failed), so that its status shows the reason.
void notifyListenerFailure(int32_t result, int32_t error) noexcept {
    char text[512];
    if (error != 0) {
        char reason[256];
        if (platform::errorText(error, reason, sizeof reason) == 0) reason[0] = '\0';
        std::snprintf(text, sizeof text, "STATUS=Listener failed with error %d: %s\nERRNO=%d", error, reason, error);
    } else {
        std::snprintf(text, sizeof text, "STATUS=Listener failed: %d", result);
    }
    (void)platform::serviceNotify(text);
}

void serviceMainThread(void*) { serviceMain(0, nullptr); }

}  // namespace

int32_t runListener() noexcept {
    createBridgeLock();
    // Which completion mode runs, once per start (MORVALEN_PARALLEL_COMPLETIONS).
    bool parallel = parallelCompletions();
    reportInfo(parallel ? "Completion mode: parallel" : "Completion mode: serial");
    metricsSetCompletionMode(parallel);
    metricsSetSources(connectionsOpen, threadDatenAlive);
    connectionLoopSetHandlers(requestHandlers);
    return acceptLoop();
}

void serviceMain(int /*argc*/, char** /*argv*/) noexcept {
    bool failedByItself = false;
    int32_t result = 0;
    int32_t error = 0;
    (void)guardedRun("serviceMain", [&] {
        // Stands for the registered control handler: reports now reach the manager.
        statusAttachServiceManager(true);
        uint32_t started = reportStatus(SERVICE_START_PENDING, 0, 3000);
        markRun(&ServiceRun::startReported);
        if (started != 0) {
            result = runListener();
            error = result == -1 ? platform::socketLastError() : 0;
            {
                std::lock_guard<std::mutex> hold(listenSocketMutex);
                listenerReturned = true;
                if (closeRequested) closeListenSocket();
            }
            // The stop sequence clears the running flag before it closes the
            // socket; a flag still set means the listener ended by itself.
            failedByItself = runningFlag.load();
        }
    });
    (void)reportStatus(SERVICE_STOPPED, 0, 0);
    // After the stopped report, whose status text would replace it: the reason
    // is what the manager shows for the stopped service.
    if (failedByItself) notifyListenerFailure(result, error);
    markRun(&ServiceRun::startReported);
    markRun(&ServiceRun::stopReported);
    platform::stopSignalWake();
}

void serviceCtrlHandler(uint32_t control) noexcept {
    if (control == SERVICE_CONTROL_STOP) {
        (void)reportStatus(SERVICE_STOP_PENDING, 0, 0);
        (void)stopService();
        return;
    }
    // Every other control (an interrogation): report the current state again.
    (void)reportStatus(statusSnapshot().dwCurrentState, 0, 0);
}

int32_t stopService() noexcept {
    (void)guardedRun("stopService", [] {
        reportInfo("Stop Service");
        runningFlag.store(false);
        {
            // Shut down at once, which wakes a blocked accept; closed now if
            // the listener has already returned, else by its thread when it does.
            std::lock_guard<std::mutex> hold(listenSocketMutex);
            platform::Socket listening = listenSocket.load();
            if (listening != platform::kInvalidSocket) (void)platform::socketShutdownBoth(listening);
            closeRequested = true;
            if (listenerReturned) closeListenSocket();
        }
        platform::socketsCleanup();
        platform::sleepMs(100);
        releaseBridge();
    });
    return 0;
}

bool serviceDispatch() noexcept {
    if (!platform::serviceManagerPresent()) return false;
    if (platform::stopSignalBlock() != 0) return false;
    serviceRun = new (std::nothrow) ServiceRun;
    if (serviceRun == nullptr) return false;
    if (platform::threadStartDetached(serviceMainThread, nullptr) != 0) {
        // No thread for the service: tell the manager and end, as a service
        // whose main function could not run.
        reportError("Cannot start the service thread");
        (void)reportStatus(SERVICE_STOPPED, 0, 0);
        return true;
    }

    platform::StopWake wake = platform::stopSignalWait();
    std::unique_lock<std::mutex> hold(serviceRun->mutex);
    if (wake != platform::StopWake::Woken) {
        // The stop control (a failed wait counts as one: a service that can no
        // longer hear its stop signal must not run on uncontrolled). It is
        // handled once the start-pending report is out and only while the
        // service has not already stopped by itself.
        serviceRun->changed.wait(hold, [] { return serviceRun->startReported; });
        bool alreadyStopped = serviceRun->stopReported;
        hold.unlock();
        if (!alreadyStopped) serviceCtrlHandler(SERVICE_CONTROL_STOP);
        hold.lock();
        auto deadline = std::chrono::steady_clock::now() + kStoppedReportBound;
        while (!serviceRun->stopReported) {
            if (std::chrono::steady_clock::now() >= deadline) {
                // The listener did not return: end the run all the same.
                hold.unlock();
                (void)reportStatus(SERVICE_STOPPED, 0, 0);
                return true;
            }
            if (!serviceRun->changed.wait_for(hold, kShutdownRepeat, [] { return serviceRun->stopReported; })) {
                hold.unlock();
                shutDownListenSocketAgain();
                hold.lock();
            }
        }
        return true;
    }
    serviceRun->changed.wait(hold, [] { return serviceRun->stopReported; });
    return true;
}
