#include <chrono>
#include <functional>
#include <thread>

#include "kernel_fixture.h"

namespace {

class IrqlTest : public KernelTest {};

// Each of these would block or sleep at DISPATCH_LEVEL: a bug check (service_rules_test.cpp);
// under a capture it is recorded and returns at once.
struct BlockingCall {
    const char* name;
    std::function<void()> call;
};

TEST_F(IrqlTest, BlockingAtDispatchLevelIsReportedAndDoesNotBlock) {
    host::ScopedViolationCapture expected;  // the calls below break rules on purpose
    static KEVENT event;
    static KMUTEX heldElsewhere;
    KeInitializeEvent(&event, NotificationEvent, FALSE);
    KeInitializeMutex(&heldElsewhere, 0);
    std::thread([] {
        KeWaitForSingleObject(&heldElsewhere, Executive, KernelMode, FALSE, nullptr);
    }).join();

    const BlockingCall calls[] = {
        {"untimed event wait",
         [] { KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, nullptr); }},
        {"timed event wait",
         [] {
             LARGE_INTEGER t = RelativeMs(1000);
             KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, &t);
         }},
        {"sleep",
         [] {
             LARGE_INTEGER t = RelativeMs(100);
             KeDelayExecutionThread(KernelMode, FALSE, &t);
         }},
        {"mutex acquire",
         [] { KeWaitForSingleObject(&heldElsewhere, Executive, KernelMode, FALSE, nullptr); }},
    };
    for (const BlockingCall& blocking : calls) {
        SCOPED_TRACE(blocking.name);
        host::ClearIrqlViolations();
        auto start = std::chrono::steady_clock::now();
        {
            host::ScopedIrql dispatch(DISPATCH_LEVEL);
            blocking.call();
        }
        EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(500));
        ASSERT_EQ(host::IrqlViolations().size(), 1u);
        EXPECT_EQ(host::IrqlViolations()[0].irql, DISPATCH_LEVEL);
    }
    EXPECT_TRUE(host::RecordedDelays().empty()) << "nothing was slept";
}

TEST_F(IrqlTest, PollingAtDispatchLevelIsAllowed) {
    KEVENT event;
    KeInitializeEvent(&event, NotificationEvent, TRUE);
    host::ScopedIrql dispatch(DISPATCH_LEVEL);
    LARGE_INTEGER poll{};
    EXPECT_EQ(KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, &poll), STATUS_SUCCESS);
    EXPECT_TRUE(host::IrqlViolations().empty());
}

TEST_F(IrqlTest, SpinLockRaisesToDispatchAndRestores) {
    KSPIN_LOCK lock;
    KeInitializeSpinLock(&lock);
    KIRQL old;
    KeAcquireSpinLock(&lock, &old);
    EXPECT_EQ(old, PASSIVE_LEVEL);
    EXPECT_EQ(KeGetCurrentIrql(), DISPATCH_LEVEL);
    KeReleaseSpinLock(&lock, old);
    EXPECT_EQ(KeGetCurrentIrql(), PASSIVE_LEVEL);
    EXPECT_TRUE(host::KernelErrors().empty());
}

TEST_F(IrqlTest, SpinLockExcludesOtherThreads) {
    KSPIN_LOCK lock;
    KeInitializeSpinLock(&lock);
    long counter = 0;  // plain: only the lock orders the increments (TSan checks)
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t) {
        threads.emplace_back([&] {
            for (int i = 0; i < 2000; ++i) {
                KIRQL old;
                KeAcquireSpinLock(&lock, &old);
                ++counter;
                KeReleaseSpinLock(&lock, old);
            }
        });
    }
    for (auto& thread : threads) thread.join();
    EXPECT_EQ(counter, 8000);
}

TEST_F(IrqlTest, SpinLockMisuseIsReported) {
    host::ScopedViolationCapture expected;  // the calls below break rules on purpose
    KSPIN_LOCK lock;
    KeInitializeSpinLock(&lock);
    KIRQL old;
    KeAcquireSpinLock(&lock, &old);
    KeAcquireSpinLockAtDpcLevel(&lock);  // would spin forever in the kernel
    EXPECT_EQ(ErrorsMentioning("acquired again"), 1u);
    std::thread([&] {
        host::ScopedIrql dispatch(DISPATCH_LEVEL);
        KeReleaseSpinLockFromDpcLevel(&lock);
    }).join();
    EXPECT_EQ(ErrorsMentioning("does not hold"), 1u);
    KeReleaseSpinLock(&lock, old);
    KeReleaseSpinLock(&lock, old);
    EXPECT_EQ(ErrorsMentioning("while not held"), 1u);
}

TEST_F(IrqlTest, UnbalancedCriticalRegionAndRaisedThreadExitAreReported) {
    host::ScopedViolationCapture expected;  // the calls below break rules on purpose
    KeEnterCriticalRegion();
    EXPECT_EQ(host::CriticalRegionDepth(), 1);
    KeLeaveCriticalRegion();
    KeLeaveCriticalRegion();
    EXPECT_EQ(ErrorsMentioning("KeLeaveCriticalRegion"), 1u);
    std::thread([] {
        KIRQL old;
        KeRaiseIrql(DISPATCH_LEVEL, &old);
        KeEnterCriticalRegion();
    }).join();
    EXPECT_EQ(ErrorsMentioning("thread ended at IRQL 2"), 1u);
    EXPECT_EQ(ErrorsMentioning("inside 1 critical region"), 1u);
}

}  // namespace
