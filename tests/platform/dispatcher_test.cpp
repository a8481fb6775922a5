#include <atomic>
#include <chrono>
#include <future>
#include <thread>

#include "kernel_fixture.h"

namespace {

using host::DelayKind;

class DispatcherTest : public KernelTest {};

TEST_F(DispatcherTest, MutexIsRecursiveForItsOwnerAndExclusiveForOthers) {
    KMUTEX mutex;
    KeInitializeMutex(&mutex, 0);
    ASSERT_EQ(KeWaitForSingleObject(&mutex, Executive, KernelMode, FALSE, nullptr), STATUS_SUCCESS);
    ASSERT_EQ(KeWaitForSingleObject(&mutex, Executive, KernelMode, FALSE, nullptr), STATUS_SUCCESS);

    auto otherThreadGetsIt = [&] {
        NTSTATUS status = STATUS_UNSUCCESSFUL;
        std::thread([&] {
            LARGE_INTEGER poll{};
            status = KeWaitForSingleObject(&mutex, Executive, KernelMode, FALSE, &poll);
            if (status == STATUS_SUCCESS) KeReleaseMutex(&mutex, FALSE);
        }).join();
        return status == STATUS_SUCCESS;
    };
    EXPECT_FALSE(otherThreadGetsIt());
    KeReleaseMutex(&mutex, FALSE);
    EXPECT_FALSE(otherThreadGetsIt()) << "one release of two acquisitions must keep the mutex";
    KeReleaseMutex(&mutex, FALSE);
    EXPECT_TRUE(otherThreadGetsIt());
    EXPECT_TRUE(host::KernelErrors().empty());
}

TEST_F(DispatcherTest, MutexReleaseByNonOwnerIsRecordedAndIgnored) {
    host::ScopedViolationCapture expected;  // the calls below break rules on purpose
    KMUTEX mutex;
    KeInitializeMutex(&mutex, 0);
    KeWaitForSingleObject(&mutex, Executive, KernelMode, FALSE, nullptr);
    std::thread([&] { KeReleaseMutex(&mutex, FALSE); }).join();
    EXPECT_EQ(ErrorsMentioning("does not own"), 1u);
    KeReleaseMutex(&mutex, FALSE);
    KeReleaseMutex(&mutex, FALSE);
    EXPECT_EQ(ErrorsMentioning("not held"), 1u);
}

TEST_F(DispatcherTest, MutexBlocksWaiterUntilReleased) {
    KMUTEX mutex;
    KeInitializeMutex(&mutex, 0);
    KeWaitForSingleObject(&mutex, Executive, KernelMode, FALSE, nullptr);
    std::atomic<bool> acquired{false};
    std::thread waiter([&] {
        KeWaitForSingleObject(&mutex, Executive, KernelMode, FALSE, nullptr);
        acquired = true;
        KeReleaseMutex(&mutex, FALSE);
    });
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    EXPECT_FALSE(acquired);
    KeReleaseMutex(&mutex, FALSE);
    waiter.join();
    EXPECT_TRUE(acquired);
}

TEST_F(DispatcherTest, SynchronizationEventWakesOneWaiterAndResets) {
    KEVENT event;
    KeInitializeEvent(&event, SynchronizationEvent, FALSE);
    std::atomic<int> woken{0};
    std::thread a([&] {
        KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, nullptr);
        ++woken;
    });
    std::thread b([&] {
        KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, nullptr);
        ++woken;
    });
    KeSetEvent(&event, IO_NO_INCREMENT, FALSE);
    while (woken.load() < 1) std::this_thread::yield();
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
    EXPECT_EQ(woken.load(), 1);
    EXPECT_EQ(KeReadStateEvent(&event), 0);
    KeSetEvent(&event, IO_NO_INCREMENT, FALSE);
    a.join();
    b.join();
    EXPECT_EQ(woken.load(), 2);
}

TEST_F(DispatcherTest, NotificationEventStaysSignalledUntilCleared) {
    KEVENT event;
    KeInitializeEvent(&event, NotificationEvent, FALSE);
    EXPECT_EQ(KeSetEvent(&event, IO_NO_INCREMENT, FALSE), 0);
    LARGE_INTEGER poll{};
    EXPECT_EQ(KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, &poll), STATUS_SUCCESS);
    EXPECT_EQ(KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, &poll), STATUS_SUCCESS);
    KeClearEvent(&event);
    EXPECT_EQ(KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, &poll), STATUS_TIMEOUT);
}

// Where waiters serve the bus, a waiter lets the dispatcher lock go while it serves. An event
// signalled in that moment ends the wait: nobody wakes a thread that is not blocked yet, so the
// waiter looks again before it blocks.
TEST_F(DispatcherTest, EventSignalledWhileTheWaiterServesTheBusEndsTheWait) {
    KEVENT event;
    KeInitializeEvent(&event, NotificationEvent, FALSE);
    std::atomic<int> looks{0};
    host::SetWaiterService([&] {
        if (looks++ == 0) std::thread([&] { KeSetEvent(&event, IO_NO_INCREMENT, FALSE); }).join();
        return false;  // nothing was ready on the bus
    });
    std::promise<NTSTATUS> result;
    std::thread waiter([&] {
        result.set_value(KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, nullptr));
    });
    std::future<NTSTATUS> done = result.get_future();
    const bool ended = done.wait_for(std::chrono::seconds(10)) == std::future_status::ready;
    if (!ended) KeSetEvent(&event, IO_NO_INCREMENT, FALSE);  // let the lost waiter go
    waiter.join();
    host::ClearWaiterService();
    EXPECT_TRUE(ended) << "the signal came while the waiter served the bus and was lost";
    EXPECT_EQ(done.get(), STATUS_SUCCESS);
}

TEST_F(DispatcherTest, VirtualTimedWaitTimesOutOnlyWhenNoWorkIsInProgress) {
    KEVENT event;
    KeInitializeEvent(&event, NotificationEvent, FALSE);
    LARGE_INTEGER start;
    KeQuerySystemTime(&start);
    LARGE_INTEGER oneSecond = RelativeMs(1000);

    // Idle: the wait times out at once and costs exactly its time-out in virtual time.
    EXPECT_EQ(KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, &oneSecond),
              STATUS_TIMEOUT);
    LARGE_INTEGER after;
    KeQuerySystemTime(&after);
    EXPECT_EQ(after.QuadPart - start.QuadPart, 10000000);
    ASSERT_EQ(host::RecordedDelays().size(), 1u);
    EXPECT_EQ(host::RecordedDelays()[0].kind, DelayKind::WaitTimeout);
    EXPECT_EQ(host::RecordedDelays()[0].Milliseconds(), 1000);

    // Busy: the wait lasts (in real time) until the work signals the event, however long.
    host::ClearRecordedDelays();
    std::atomic<bool> busy{true};
    host::SetProgressProbe([&] { return busy.load(); });
    std::thread worker([&] {
        std::this_thread::sleep_for(std::chrono::milliseconds(30));
        KeSetEvent(&event, IO_NO_INCREMENT, FALSE);
        busy = false;
    });
    EXPECT_EQ(KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, &oneSecond),
              STATUS_SUCCESS);
    worker.join();
    EXPECT_TRUE(host::RecordedDelays().empty());

    // Busy, then idle without signalling: the wait times out once the work is over.
    KeClearEvent(&event);
    busy = true;
    std::thread idler([&] {
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
        busy = false;
    });
    EXPECT_EQ(KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, &oneSecond),
              STATUS_TIMEOUT);
    idler.join();
    EXPECT_EQ(host::RecordedDelayMilliseconds(DelayKind::WaitTimeout), std::vector<LONGLONG>{1000});
}

TEST_F(DispatcherTest, SleepsAndTimersAdvanceVirtualTimeAndAreRecorded) {
    LARGE_INTEGER start;
    KeQuerySystemTime(&start);
    LARGE_INTEGER sleep = RelativeMs(200);
    auto realStart = std::chrono::steady_clock::now();
    EXPECT_EQ(KeDelayExecutionThread(KernelMode, FALSE, &sleep), STATUS_SUCCESS);

    KTIMER timer;
    KeInitializeTimerEx(&timer, SynchronizationTimer);
    EXPECT_FALSE(KeSetTimer(&timer, RelativeMs(100), nullptr));
    EXPECT_EQ(KeWaitForSingleObject(&timer, Executive, KernelMode, FALSE, nullptr), STATUS_SUCCESS);
    // A synchronization timer resets when a wait is satisfied: polling it now finds it unsignalled.
    LARGE_INTEGER poll{};
    EXPECT_EQ(KeWaitForSingleObject(&timer, Executive, KernelMode, FALSE, &poll), STATUS_TIMEOUT);

    // An absolute due time 50 ms ahead.
    KTIMER notification;
    KeInitializeTimer(&notification);
    LARGE_INTEGER due;
    KeQuerySystemTime(&due);
    due.QuadPart += 50 * 10000;
    KeSetTimer(&notification, due, nullptr);
    EXPECT_EQ(KeWaitForSingleObject(&notification, Executive, KernelMode, FALSE, nullptr),
              STATUS_SUCCESS);
    EXPECT_EQ(KeWaitForSingleObject(&notification, Executive, KernelMode, FALSE, &poll),
              STATUS_SUCCESS)
        << "a notification timer stays signalled";

    EXPECT_LT(std::chrono::steady_clock::now() - realStart, std::chrono::milliseconds(200));
    LARGE_INTEGER end;
    KeQuerySystemTime(&end);
    EXPECT_EQ(end.QuadPart - start.QuadPart, 350 * 10000);
    EXPECT_EQ(host::RecordedDelayMilliseconds(DelayKind::Sleep), std::vector<LONGLONG>{200});
    EXPECT_EQ(host::RecordedDelayMilliseconds(DelayKind::TimerWait),
              (std::vector<LONGLONG>{100, 50}));
    EXPECT_TRUE(host::KernelErrors().empty());
}

TEST_F(DispatcherTest, WaitOnTimerThatIsNotSetIsReportedInsteadOfHanging) {
    host::ScopedViolationCapture expected;  // the calls below break rules on purpose
    KTIMER timer;
    KeInitializeTimerEx(&timer, SynchronizationTimer);
    EXPECT_EQ(KeWaitForSingleObject(&timer, Executive, KernelMode, FALSE, nullptr), STATUS_TIMEOUT);
    EXPECT_EQ(ErrorsMentioning("not set"), 1u);
}

TEST_F(DispatcherTest, RealModeWaitsReallyWait) {
    host::SetClockMode(host::ClockMode::Real);
    KEVENT event;
    KeInitializeEvent(&event, NotificationEvent, FALSE);
    LARGE_INTEGER timeout = RelativeMs(20);
    auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, &timeout),
              STATUS_TIMEOUT);
    KTIMER timer;
    KeInitializeTimerEx(&timer, SynchronizationTimer);
    KeSetTimer(&timer, RelativeMs(20), nullptr);
    EXPECT_EQ(KeWaitForSingleObject(&timer, Executive, KernelMode, FALSE, nullptr), STATUS_SUCCESS);
    EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(40));
}

}  // namespace
