// The guard on Windows takes every structured exception that nothing else
// handles, software ones (RaiseException) as well as processor faults,
// continuable or not, on any thread: the guard answers its code, the report
// names the operation and the exception's own code, and the lock taken inside
// the body is free afterwards. Through the DTC doubles: a library that raises
// inside DTC_XaOpen, the worker's DTC_XaStart, DTC_XaPrepare or DTC_XaRecover
// makes the request answer -0x220001, and the next request is served.
#include <gtest/gtest.h>

#include <string>
#include <thread>

#include "common/Codes.h"
#include "platform/FaultGuard.h"
#include "platform/Sync.h"
#include "report/Guard.h"
#include "unit/XaTestSupport.h"

using namespace xatest;

namespace {

constexpr uint32_t kRpcUnavailable = dtcdouble::kRpcServerUnavailable;  // 1722
constexpr uint32_t kForeignCode = 0xE0434352;  // a code with the top bit: reported negative
constexpr bool kNoncontinuable = false;
constexpr bool kContinuable = true;

platform::ReentrantLock bodyLock;

bool lockFreeForOthers() {
    bool taken = false;
    std::thread other([&] {
        if (bodyLock.mutex.try_lock()) {
            taken = true;
            bodyLock.mutex.unlock();
        }
    });
    other.join();
    return taken;
}

// Raises the code inside a guarded body that holds bodyLock; returns the
// guard's result and what was printed.
int32_t guardedRaise(const char* operation, uint32_t code, bool continuable, std::string* printed) {
    testing::internal::CaptureStdout();
    int32_t result = guardedCall(operation, kExceptionCaught, [&]() -> int32_t {
        platform::ScopedLock hold(bodyLock);
        dtcdouble::raiseSoftware(code, continuable);
        return 0;
    });
    *printed = testing::internal::GetCapturedStdout();
    return result;
}

void expectRaisesCaught() {
    std::string printed;
    EXPECT_EQ(guardedRaise("xa_prepare", kRpcUnavailable, kNoncontinuable, &printed), kExceptionCaught);
    EXPECT_EQ(printed, "Exception in xa_prepare : 1722\n");
    EXPECT_TRUE(lockFreeForOthers());

    EXPECT_EQ(guardedRaise("xa_commit", kRpcUnavailable, kContinuable, &printed), kExceptionCaught);
    EXPECT_EQ(printed, "Exception in xa_commit : 1722\n");
    EXPECT_TRUE(lockFreeForOthers());

    EXPECT_EQ(guardedRaise("main loop", kForeignCode, kNoncontinuable, &printed), kExceptionCaught);
    EXPECT_EQ(printed, "Exception in main loop : " + std::to_string(static_cast<int32_t>(kForeignCode)) + "\n");
    EXPECT_TRUE(lockFreeForOthers());

    // Again: nothing of the first catch is left in the way of the next.
    EXPECT_EQ(guardedRaise("xa_prepare", kRpcUnavailable, kNoncontinuable, &printed), kExceptionCaught);
    EXPECT_EQ(printed, "Exception in xa_prepare : 1722\n");
    // And ordinary C++ exceptions keep their own code.
    testing::internal::CaptureStdout();
    EXPECT_EQ(guardedCall("xa_end", kExceptionCaught, []() -> int32_t { throw 1; }), kExceptionCaught);
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "Exception in xa_end : -529697949\n");
}

}  // namespace

TEST(Win32Guard, SoftwareExceptionsBecomeReportsWithTheirCodeOnEveryThread) {
    platform::faultGuardInstall();
    expectRaisesCaught();
    std::thread worker([] { expectRaisesCaught(); });
    worker.join();
}

TEST(Win32Guard, ADtcLibraryThatRaisesIsAnsweredAndTheServiceGoesOn) {
    freshStart();
    Request r;
    // Inside DTC_XaOpen, on the connection thread binding the coordinator.
    dtcdouble::setRaise(dtcdouble::kOpen, dtcdouble::kRpcServerUnavailable);
    {
        Reports reports;
        EXPECT_EQ(r.run(xa_prepare, xid("raise-open")), kExceptionCaught);
        std::string text = reports.text();
        EXPECT_EQ(countLines(text, "Exception in init : 1722"), 1) << text;
    }
    dtcdouble::setRaise(dtcdouble::kOpen, 0);
    EXPECT_EQ(r.run(xa_prepare, xid("raise-open")), XA_OK);

    // Inside DTC_XaPrepare, on the connection thread under bridgeLock: another
    // thread binds and prepares at once afterwards.
    dtcdouble::setRaise(dtcdouble::kPrepare, dtcdouble::kRpcServerUnavailable);
    {
        Reports reports;
        EXPECT_EQ(r.run(xa_prepare, xid("raise-prepare")), kExceptionCaught);
        EXPECT_EQ(r.replyLength(), 8u);
        std::string text = reports.text();
        EXPECT_EQ(countLines(text, "Exception in xa_prepare : 1722"), 1) << text;
    }
    dtcdouble::setRaise(dtcdouble::kPrepare, 0);
    std::thread other([] {
        Request again;
        EXPECT_EQ(again.run(xa_prepare, xid("raise-prepare")), XA_OK);
    });
    other.join();

    // Inside DTC_XaRecover, continuable this time.
    dtcdouble::setRaise(dtcdouble::kRecover, dtcdouble::kRpcServerUnavailable, true);
    {
        Reports reports;
        EXPECT_EQ(r.run(xa_recover, nullXid(), TMSTARTRSCAN), kExceptionCaught);
        std::string text = reports.text();
        EXPECT_EQ(countLines(text, "Exception in xa_recover : 1722"), 1) << text;
    }
    dtcdouble::setRaise(dtcdouble::kRecover, 0);
    EXPECT_EQ(r.run(xa_recover, nullXid(), TMSTARTRSCAN), 0);

    // Inside the worker's DTC_XaStart: the worker reports it and leaves, the
    // start answers the exception code, and the branch can be started again.
    dtcdouble::setRaise(dtcdouble::kStart, dtcdouble::kRpcServerUnavailable);
    {
        Reports reports;
        EXPECT_EQ(r.run(xa_start, xid("raise-worker")), kExceptionCaught);
        EXPECT_EQ(r.replyLength(), 8u);
        std::string text = reports.text();
        EXPECT_EQ(countLines(text, "Exception in thread_run : 1722"), 1) << text;
    }
    dtcdouble::setRaise(dtcdouble::kStart, 0);
    EXPECT_TRUE(waitNoRecords());
    EXPECT_EQ(r.run(xa_start, xid("raise-worker")), XA_OK);
    EXPECT_EQ(r.run(xa_end, xid("raise-worker"), TMSUCCESS), XA_OK);
    EXPECT_EQ(r.run(xa_rollback, xid("raise-worker")), XA_OK);
    EXPECT_TRUE(waitNoRecords());
    deinit();
}
