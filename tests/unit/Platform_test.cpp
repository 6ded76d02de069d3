// The platform layer: events, the re-entrant lock, threads, the tick count,
// sockets and their clean-up, library loading, error texts, the executable's
// path, the notify-socket check, and the test support's process runner.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "platform/Clock.h"
#include "platform/Error.h"
#include "platform/Library.h"
#include "platform/Notify.h"
#include "platform/Process.h"
#include "platform/Socket.h"
#include "platform/Sync.h"
#include "platform/Thread.h"
#include "support/Loopback.h"
#include "support/NotifyReceiver.h"
#include "support/Process.h"

namespace {

constexpr int32_t kEPIPE = 32;
constexpr int32_t kECONNRESET = 104;
constexpr int32_t kEAGAIN = 11;
constexpr int32_t kEADDRINUSE = 98;

// A listening socket on an ephemeral port, closed at the end of the scope.
struct Listener {
    Listener() {
        s = platform::socketOpenTcp4();
        if (s != platform::kInvalidSocket && platform::socketBindAny4(s, 0) == 0 &&
            platform::socketListen(s, 8) == 0) {
            (void)platform::socketLocalPort(s, &port);
        }
    }
    ~Listener() {
        if (s != platform::kInvalidSocket) {
            platform::socketCloseHandle(s);
        }
    }
    platform::Socket s = platform::kInvalidSocket;
    uint16_t port = 0;
};

// A connected pair: client is a plain descriptor, server came from socketAccept.
struct Connection {
    explicit Connection(Listener& listener) {
        client = testsupport::connectLoopback(listener.port);
        server = platform::socketAccept(listener.s);
    }
    ~Connection() {
        if (client >= 0) {
            testsupport::closeDescriptor(client);
        }
        if (server != platform::kInvalidSocket) {
            platform::socketCloseHandle(server);
        }
    }
    int client = -1;
    platform::Socket server = platform::kInvalidSocket;
};

}  // namespace

TEST(Platform, ManualResetEventWakesEveryWaiterAndStaysSet) {
    EXPECT_FALSE(platform::eventSet(nullptr));
    EXPECT_FALSE(platform::eventReset(nullptr));
    EXPECT_FALSE(platform::eventWait(nullptr));
    platform::eventClose(nullptr);

    platform::Event* event = platform::eventCreate();
    ASSERT_NE(event, nullptr);
    std::atomic<int> woken{0};
    std::vector<std::thread> waiters;
    for (int i = 0; i < 3; ++i) {
        waiters.emplace_back([&] {
            EXPECT_TRUE(platform::eventWait(event));
            ++woken;
        });
    }
    EXPECT_TRUE(platform::eventSet(event));
    for (std::thread& waiter : waiters) {
        waiter.join();
    }
    EXPECT_EQ(woken.load(), 3);
    EXPECT_TRUE(platform::eventWait(event));  // still set
    EXPECT_TRUE(platform::eventReset(event));
    {
        std::lock_guard<std::mutex> hold(event->mutex);
        EXPECT_FALSE(event->signalled);
    }
    platform::eventClose(event);
}

// Runs body with the lock taken once more. The re-entry is in a function of
// its own: clang's thread-safety analysis knows no re-entrant locks and would
// refuse a second hold in the caller's body.
namespace {

template <class Body>
void holdAgain(platform::ReentrantLock& lock, Body body) {
    platform::ScopedLock inner(lock);
    body();
}

}  // namespace

TEST(Platform, ReentrantLockTracksOwnerAndDepth) {
    platform::ReentrantLock lock;
    EXPECT_FALSE(platform::lockHeldByMe(lock));
    {
        platform::ScopedLock outer(lock);
        holdAgain(lock, [&] {
            EXPECT_TRUE(platform::lockHeldByMe(lock));
            EXPECT_EQ(lock.depth, 2);
            bool otherHolds = true;
            bool otherTook = true;
            std::thread other([&] {
                otherHolds = platform::lockHeldByMe(lock);
                otherTook = lock.mutex.try_lock();
            });
            other.join();
            EXPECT_FALSE(otherHolds);
            EXPECT_FALSE(otherTook);
        });
    }
    EXPECT_FALSE(platform::lockHeldByMe(lock));
    EXPECT_EQ(lock.depth, 0);
    std::thread other([&] {
        platform::ScopedLock hold(lock);
        EXPECT_TRUE(platform::lockHeldByMe(lock));
    });
    other.join();
}

namespace {

void setEventThread(void* argument) {
    platform::eventSet(static_cast<platform::Event*>(argument));
}

void markRan(void* argument) {
    static_cast<std::atomic<bool>*>(argument)->store(true);
}

}  // namespace

namespace {

// Records the thread it runs on, retires it when asked, and signals.
struct ReusableRun {
    platform::Event* done = nullptr;  // set at the end of each run
    std::atomic<uint64_t> thread{0};  // threadCurrentId of the last run
    bool retire = false;              // the run calls threadRetire
};

void recordThread(void* argument) {
    auto* run = static_cast<ReusableRun*>(argument);
    run->thread.store(platform::threadCurrentId());
    if (run->retire) {
        platform::threadRetire();
    }
    platform::eventSet(run->done);
}

// Runs recordThread through threadStartReusable and waits for it; the id of the thread it ran on.
uint64_t runReusable(ReusableRun* run, size_t stackBytes) {
    platform::eventReset(run->done);
    EXPECT_EQ(platform::threadStartReusable(recordThread, run, stackBytes), 0);
    EXPECT_TRUE(platform::eventWait(run->done));
    return run->thread.load();
}

}  // namespace

TEST(Platform, ReusableThreadsServeLaterStartsOfTheirStackSizeUnlessRetired) {
    // Stack sizes no other test uses, so only this test's threads park with them.
    constexpr size_t kReused = 200 * 1024;
    constexpr size_t kOther = 216 * 1024;
    constexpr size_t kRetired = 232 * 1024;
    ReusableRun run;
    run.done = platform::eventCreate();
    ASSERT_NE(run.done, nullptr);

    // A thread parks once its function has returned and serves a later start
    // (polled: a start may come before the thread has parked).
    std::vector<uint64_t> seen{runReusable(&run, kReused)};
    bool reused = false;
    for (int i = 0; i < 200 && !reused; ++i) {
        uint64_t id = runReusable(&run, kReused);
        reused = std::find(seen.begin(), seen.end(), id) != seen.end();
        seen.push_back(id);
    }
    EXPECT_TRUE(reused);

    // Never one made with another stack size.
    uint64_t other = runReusable(&run, kOther);
    EXPECT_EQ(std::find(seen.begin(), seen.end(), other), seen.end());

    // A retired thread ends with its function.
    run.retire = true;
    uint64_t retired = runReusable(&run, kRetired);
    run.retire = false;
    for (int i = 0; i < 20; ++i) {
        EXPECT_NE(runReusable(&run, kRetired), retired);
    }
    EXPECT_NE(platform::threadStartReusable(nullptr, nullptr), 0);
    platform::eventClose(run.done);
}

TEST(Platform, DetachedThreadsRunOrReportWhyNot) {
    platform::Event* done = platform::eventCreate();
    ASSERT_NE(done, nullptr);
    EXPECT_EQ(platform::threadStartDetached(setEventThread, done), 0);
    EXPECT_TRUE(platform::eventWait(done));
    platform::eventReset(done);
    EXPECT_EQ(platform::threadStartDetached(setEventThread, done, 256 * 1024), 0);
    EXPECT_TRUE(platform::eventWait(done));
    platform::eventClose(done);

    // A thread that cannot start reports the error number and never runs.
    std::atomic<bool> ran{false};
    EXPECT_NE(platform::threadStartDetached(markRan, &ran, size_t{1} << 50), 0);
    EXPECT_NE(platform::threadStartDetached(nullptr, nullptr), 0);
    EXPECT_FALSE(ran.load());

    EXPECT_NE(platform::threadCurrentId(), 0u);
    uint64_t mine = platform::threadCurrentId();
    uint64_t theirs = 0;
    std::thread other([&] { theirs = platform::threadCurrentId(); });
    other.join();
    EXPECT_NE(mine, theirs);
    EXPECT_EQ(mine, platform::threadCurrentId());
}

namespace {
uint32_t fixedTicks() {
    return 0xFFFFFFF0u;
}
}  // namespace

TEST(Platform, TickCountCanBeSubstituted) {
    uint32_t before = platform::tickCount();
    platform::sleepMs(2);
    EXPECT_GE(platform::tickCount() - before, 2u);
    platform::tickCountSubstitute(fixedTicks);
    EXPECT_EQ(platform::tickCount(), 0xFFFFFFF0u);
    platform::tickCountSubstitute(nullptr);
    EXPECT_NE(platform::tickCount(), 0xFFFFFFF0u);
}

TEST(Platform, CleanupEndsBlockedReceivesAndSparesReusedNumbers) {
    ASSERT_EQ(platform::socketsStartup(), 0);
    Listener listener;
    ASSERT_NE(listener.port, 0);
    Connection blocked(listener);
    ASSERT_GE(blocked.client, 0);
    ASSERT_NE(blocked.server, platform::kInvalidSocket);

    // A connection that was closed leaves the list before its number is
    // reused: a socket that gets the same number is not shut down.
    platform::Socket closedEarly;
    {
        Connection early(listener);
        closedEarly = early.server;
    }
    Listener reuser;  // takes the lowest free number, usually the one just closed
    Connection reused(reuser);
    ASSERT_NE(reused.server, platform::kInvalidSocket);
    bool sameNumber = reuser.s == closedEarly || reused.server == closedEarly;

    std::atomic<int32_t> received{-2};
    std::thread receiver([&] {
        char byte;
        received = platform::socketReceive(blocked.server, &byte, 1);
    });
    platform::socketsCleanup();
    receiver.join();
    EXPECT_LE(received.load(), 0);

    // The socket that got the number is untouched by the clean-up; the
    // reused listener's accepted connection was shut down like any other.
    if (sameNumber) {
        Connection third(reuser);
        EXPECT_NE(third.server, platform::kInvalidSocket);
        EXPECT_EQ(testsupport::sendBytes(third.client, "x", 1), 1);
        char byte = 0;
        EXPECT_EQ(platform::socketReceive(third.server, &byte, 1), 1);
        EXPECT_EQ(byte, 'x');
    }
}

TEST(Platform, SocketErrorsAreKeptAndNeverRaiseSignals) {
    Listener listener;
    ASSERT_NE(listener.port, 0);

    // The port is taken.
    platform::Socket second = platform::socketOpenTcp4();
    EXPECT_EQ(platform::socketBindAny4(second, listener.port), -1);
    EXPECT_EQ(platform::socketLastError(), kEADDRINUSE);
    platform::socketCloseHandle(second);

    {
        Connection c(listener);
        ASSERT_NE(c.server, platform::kInvalidSocket);
        // Receive time-out.
        ASSERT_EQ(platform::socketSetReceiveTimeout(c.server, 50), 0);
        char buffer[16];
        EXPECT_EQ(platform::socketReceive(c.server, buffer, sizeof buffer), -1);
        EXPECT_EQ(platform::socketLastError(), kEAGAIN);
        ASSERT_EQ(platform::socketSetReceiveTimeout(c.server, 0), 0);

        // Bytes waiting.
        EXPECT_EQ(testsupport::sendBytes(c.client, "hello", 5), 5);
        EXPECT_EQ(platform::socketReceive(c.server, buffer, 2), 2);
        uint32_t available = 0;
        EXPECT_EQ(platform::socketBytesAvailable(c.server, &available), 0);
        EXPECT_EQ(available, 3u);
        EXPECT_EQ(platform::socketReceive(c.server, buffer, -1), -1);

        // A peer that has gone: send fails with an error number, no SIGPIPE.
        testsupport::closeDescriptor(c.client);
        c.client = -1;
        int32_t result = 0;
        for (int i = 0; i < 100 && result >= 0; ++i) {
            result = platform::socketSend(c.server, buffer, 5);
        }
        EXPECT_EQ(result, -1);
        EXPECT_TRUE(platform::socketLastError() == kEPIPE || platform::socketLastError() == kECONNRESET);
    }

    // Bad descriptors.
    uint32_t available = 7;
    EXPECT_EQ(platform::socketBytesAvailable(platform::kInvalidSocket, &available), -1);
    EXPECT_EQ(available, 0u);
    EXPECT_EQ(platform::socketCloseHandle(platform::kInvalidSocket), -1);

    // Shutting a listening socket down wakes a thread blocked in accept.
    std::atomic<platform::Socket> accepted{0};
    std::thread acceptor([&] { accepted = platform::socketAccept(listener.s); });
    // The acceptor may not be blocked yet; shutdown makes any later accept fail too.
    platform::socketShutdownBoth(listener.s);
    acceptor.join();
    EXPECT_EQ(accepted.load(), platform::kInvalidSocket);
}

TEST(Platform, LibrariesErrorsAndPaths) {
    platform::LibraryHandle math = platform::libraryLoad("libm.so.6");
    ASSERT_NE(math, nullptr);
    EXPECT_NE(platform::librarySymbol(math, "cos"), nullptr);
    EXPECT_EQ(platform::librarySymbol(math, "no_such_symbol_here"), nullptr);
    EXPECT_TRUE(platform::libraryFree(math));
    EXPECT_EQ(platform::libraryLoad("libmorvalen-no-such-library.so"), nullptr);
    EXPECT_EQ(platform::libraryLoad(nullptr), nullptr);
    EXPECT_EQ(platform::librarySymbol(nullptr, "cos"), nullptr);
    EXPECT_FALSE(platform::libraryFree(nullptr));

    char text[64];
    EXPECT_EQ(platform::errorText(13, text, sizeof text), strlen("Permission denied"));
    EXPECT_STREQ(text, "Permission denied");
    EXPECT_EQ(platform::errorText(13, text, 5), 4u);  // cut, terminated
    EXPECT_STREQ(text, "Perm");
    EXPECT_EQ(platform::errorText(99999, text, sizeof text), 0u);
    EXPECT_STREQ(text, "");
    platform::setLastError(22);
    EXPECT_EQ(platform::lastError(), 22);

    char path[4096];
    size_t length = platform::executablePath(path, sizeof path);
    ASSERT_GT(length, 0u);
    EXPECT_EQ(std::string(path).find("unit_Platform_test"), length - strlen("unit_Platform_test"));
    EXPECT_EQ(platform::executablePath(path, 4), 0u);
    EXPECT_STREQ(path, "");
}

TEST(Platform, ServiceManagerPresentOnlyWithAUsableNotifySocket) {
    testsupport::unsetEnvironment("NOTIFY_SOCKET");
    EXPECT_FALSE(platform::serviceManagerPresent());
    EXPECT_LE(platform::serviceNotify("READY=1"), 0);
    testsupport::setEnvironment("NOTIFY_SOCKET", "");
    EXPECT_FALSE(platform::serviceManagerPresent());
    testsupport::setEnvironment("NOTIFY_SOCKET", "relative/path");
    EXPECT_FALSE(platform::serviceManagerPresent());
    testsupport::setEnvironment("NOTIFY_SOCKET", "@morvalen-nobody-binds-this");
    EXPECT_FALSE(platform::serviceManagerPresent());

    testsupport::NotifyReceiver receiver;
    ASSERT_TRUE(receiver.bound);
    testsupport::setEnvironment("NOTIFY_SOCKET", receiver.address);
    EXPECT_TRUE(platform::serviceManagerPresent());
    EXPECT_GT(platform::serviceNotify("STATUS=x"), 0);
    testsupport::NotifyMessage message = testsupport::notifyNextMessage(receiver, 5000);
    EXPECT_EQ(message.text, "STATUS=x");
    // Inherited from another service: not ours.
    testsupport::setEnvironment("SYSTEMD_EXEC_PID", "1");
    EXPECT_FALSE(platform::serviceManagerPresent());
    testsupport::unsetEnvironment("SYSTEMD_EXEC_PID");
    testsupport::unsetEnvironment("NOTIFY_SOCKET");
}

TEST(TestSupport, ProcessRunnerCollectsOutputExitAndSignals) {
    testsupport::ChildProcess child;
    ASSERT_TRUE(testsupport::startProcess(&child, "/bin/sh", {"-c", "echo \"$GREETING\"; echo oops >&2; exit 3"},
                                          {"GREETING=hello"}));
    testsupport::ExitStatus status;
    ASSERT_TRUE(testsupport::waitForExit(&child, 10000, &status));
    EXPECT_TRUE(status.exited);
    EXPECT_EQ(status.code, 3);
    EXPECT_EQ(testsupport::readOutput(child), "hello\noops\n");

    testsupport::ChildProcess sleeper;
    ASSERT_TRUE(testsupport::startProcess(&sleeper, "/bin/sh", {"-c", "echo ready; exec sleep 30"}));
    ASSERT_TRUE(testsupport::waitForOutput(sleeper, "ready", 10000));
    EXPECT_FALSE(testsupport::waitForOutput(sleeper, "never", 20));
    EXPECT_FALSE(testsupport::waitForExit(&sleeper, 20, &status));
    EXPECT_TRUE(testsupport::sendSignal(sleeper, 15));
    ASSERT_TRUE(testsupport::waitForExit(&sleeper, 10000, &status));
    EXPECT_FALSE(status.exited);
    EXPECT_EQ(status.signal, 15);
    EXPECT_FALSE(testsupport::sendSignal(sleeper, 15));

    testsupport::ChildProcess missing;
    EXPECT_FALSE(testsupport::startProcess(&missing, "/nonexistent/program", {}));
    EXPECT_FALSE(testsupport::waitForTcpPort(1, 30));
}
