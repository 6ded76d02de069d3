// The fault guard: real processor faults inside guardedCall become reports
// with Windows-style codes, the faulting thread goes on, and RAII clean-up
// inside the body has run (a lock taken there is free afterwards).
#include <gtest/gtest.h>

#include <new>
#include <stdexcept>
#include <string>
#include <thread>

#include "platform/FaultGuard.h"
#include "platform/Sync.h"
#include "report/Guard.h"

namespace {

constexpr int32_t kCaught = -0x220001;

// The sanitizers would stop these before the processor does; the point here
// is the processor's own fault.
__attribute__((noinline, no_sanitize("undefined"))) void writeThroughNull() {
    volatile int* volatile target = nullptr;
    *target = 1;
}

volatile int quotientSink;

__attribute__((noinline, no_sanitize("undefined"))) void divideByZero() {
    volatile int numerator = 7;
    volatile int denominator = 0;
    quotientSink = numerator / denominator;  // stored, so the division cannot be dropped
}

__attribute__((noinline)) void illegalInstruction() {
    __builtin_trap();
}

platform::ReentrantLock bodyLock;

// Runs a faulting body under the guard with bodyLock held inside it; returns
// the guard's result and the printed report.
template <typename Fault>
int32_t guardedFault(const char* operation, Fault fault, std::string* printed) {
    testing::internal::CaptureStdout();
    int32_t result = guardedCall(operation, kCaught, [&]() -> int32_t {
        platform::ScopedLock hold(bodyLock);
        fault();
        return 0;
    });
    *printed = testing::internal::GetCapturedStdout();
    return result;
}

// True when another thread can take bodyLock now.
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

void expectFaultsCaught() {
    std::string printed;
    EXPECT_EQ(guardedFault("xa_start", writeThroughNull, &printed), kCaught);
    EXPECT_EQ(printed, "Exception in xa_start : -1073741819\n");
    EXPECT_FALSE(platform::lockHeldByMe(bodyLock));
    EXPECT_TRUE(lockFreeForOthers());

    EXPECT_EQ(guardedFault("xa_end", divideByZero, &printed), kCaught);
    EXPECT_EQ(printed, "Exception in xa_end : -1073741676\n");
    EXPECT_TRUE(lockFreeForOthers());

    EXPECT_EQ(guardedFault("xa_commit", illegalInstruction, &printed), kCaught);
    EXPECT_EQ(printed, "Exception in xa_commit : -1073741795\n");
    EXPECT_TRUE(lockFreeForOthers());

    // The signals are not left blocked: the same fault is caught again.
    EXPECT_EQ(guardedFault("xa_start", writeThroughNull, &printed), kCaught);
    EXPECT_EQ(printed, "Exception in xa_start : -1073741819\n");
}

}  // namespace

TEST(FaultGuard, ProcessorFaultsBecomeReportsAndReleaseTheLock) {
    platform::faultGuardInstall();
    platform::faultGuardInstall();  // a second install changes nothing
    expectFaultsCaught();
    // The calling thread goes on with ordinary work.
    EXPECT_EQ(guardedCall("xa_prepare", kCaught, [] { return 3; }), 3);
}

TEST(FaultGuard, FaultsOnAnotherThreadAreCaughtThere) {
    platform::faultGuardInstall();
    std::thread worker([] { expectFaultsCaught(); });
    worker.join();
}

TEST(FaultGuard, ExceptionCodes) {
    std::string printed;
    testing::internal::CaptureStdout();
    EXPECT_EQ(guardedCall("recover", kCaught, []() -> int32_t { throw std::bad_alloc(); }), kCaught);
    EXPECT_EQ(guardedCall("forget", kCaught, []() -> int32_t { throw std::runtime_error("x"); }), kCaught);
    EXPECT_EQ(guardedCall("forget", kCaught, []() -> int32_t { throw 42; }), kCaught);
    bool ran = guardedRun("main loop", [] { throw platform::ProcessorFault{platform::kAccessViolation}; });
    EXPECT_FALSE(ran);
    EXPECT_TRUE(guardedRun("main loop", [] {}));
    printed = testing::internal::GetCapturedStdout();
    EXPECT_EQ(printed,
              "Exception in recover : -1073741801\n"
              "Exception in forget : -529697949\n"
              "Exception in forget : -529697949\n"
              "Exception in main loop : -1073741819\n");
}
