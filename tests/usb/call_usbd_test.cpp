// Synchronous requests: one at a time, at most one second each, and refused at once after stop.
#include <gtest/gtest.h>

#include <atomic>
#include <thread>

#include "driver/device_context.h"
#include "platform/host/clock.h"
#include "platform/host/debug_log.h"
#include "support/host_system.h"
#include "support/scripted_stick.h"

namespace {

using kvstest::HostedDevice;
using kvstest::HostSystem;
using kvstest::ScriptedStick;

const std::string kTimeOutLine =
    "KVS.BDA_DEBUG:  \xA1\xBE"
    "ERROR\xA1\xBF  CQZUSB::CallUSBD(Status TimeOut!!!).";
const std::string kRemovedLine =
    "KVS.BDA_DEBUG:  \xA1\xBE"
    "ERROR\xA1\xBF  CQZUSB::CallUSBD(Device is removed!!!).";

bool IsCommandWrite(const host::UsbRequest& r) {
    return r.function == URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER && r.endpoint.address == 0x01;
}

TEST(CallUsbd, UnansweredRequestCostsOneSecondOneMessageAndACancel) {
    HostSystem system;
    auto stick = std::make_shared<ScriptedStick>(0x3344, 0x1122, true);
    std::atomic<int> heldBack{1};
    stick->intercept = [&](const host::UsbRequest& r) -> std::optional<host::UsbAnswer> {
        if (IsCommandWrite(r) && heldBack.fetch_sub(1) > 0) return host::UsbAnswer::WaitForCancel();
        return std::nullopt;
    };
    system.Plug(stick);
    CQZUSB* transport = system.Current()->Transport();
    host::ClearRecordedDelays();
    host::ClearDebugLines();

    const UCHAR frame[] = {0x06, 0x00};
    ULONG moved = 0;
    const LONGLONG before = host::NowTicks();
    EXPECT_EQ(transport->BulkWrite(frame, sizeof frame, &moved), STATUS_CANCELLED);
    EXPECT_EQ(host::NowTicks() - before, 10000000);
    EXPECT_EQ(host::RecordedDelayMilliseconds(host::DelayKind::WaitTimeout),
              std::vector<LONGLONG>{1000});
    EXPECT_EQ(HostSystem::CountDebugLines(kTimeOutLine), 1u);
    EXPECT_EQ(transport->requestsInFlight, 0);

    // The next request goes through at once, and nothing is left of the cancelled one.
    EXPECT_EQ(transport->BulkWrite(frame, sizeof frame, &moved), STATUS_SUCCESS);
    EXPECT_EQ(moved, sizeof frame);
    EXPECT_EQ(host::NowTicks() - before, 10000000);
    EXPECT_EQ(HostSystem::CountDebugLines(kTimeOutLine), 1u);
    EXPECT_TRUE(HostSystem::KernelErrors().empty());
}

TEST(CallUsbd, AfterStopEveryRequestFailsAtOnceWithoutTheMutex) {
    HostSystem system;
    system.Plug(std::make_shared<ScriptedStick>(0x3344, 0x1122, true));
    HostedDevice* device = system.Current();
    system.Stop(*device);
    CQZUSB* transport = device->Transport();
    ASSERT_NE(transport, nullptr);

    // Another thread holds the request mutex for the whole check: a request that waited on it
    // would never come back.
    std::atomic<bool> held{false};
    std::atomic<bool> release{false};
    std::thread holder([&] {
        KeWaitForSingleObject(&transport->requestMutex, Executive, KernelMode, FALSE, nullptr);
        held = true;
        while (!release) std::this_thread::yield();
        KeReleaseMutex(&transport->requestMutex, FALSE);
    });
    while (!held) std::this_thread::yield();
    host::ClearDebugLines();

    const UCHAR frame[] = {0x06, 0x00};
    UCHAR reply[4];
    ULONG moved = 0;
    EXPECT_EQ(transport->BulkWrite(frame, sizeof frame, &moved), STATUS_UNSUCCESSFUL);
    EXPECT_EQ(transport->BulkRead(reply, sizeof reply, &moved), STATUS_UNSUCCESSFUL);
    EXPECT_EQ(transport->ProbeFirmware(), STATUS_UNSUCCESSFUL);
    EXPECT_EQ(HostSystem::CountDebugLines(kRemovedLine), 3u);
    release = true;
    holder.join();
}

// A caller queued on the request mutex when stop clears deviceActive is still counted: the idle
// wait of stop waits for it, and it does not submit once it gets the mutex.
TEST(CallUsbd, CallerQueuedOnTheMutexIsCountedAndRefusedAfterStop) {
    HostSystem system;
    auto stick = std::make_shared<ScriptedStick>(0x3344, 0x1122, true);
    system.Plug(stick);
    HostedDevice* device = system.Current();
    CQZUSB* transport = device->Transport();
    const size_t writesBefore =
        stick->CountRequests([](const kvstest::SeenRequest& r) { return r.endpoint == 0x01; });

    KeWaitForSingleObject(&transport->requestMutex, Executive, KernelMode, FALSE, nullptr);
    std::atomic<NTSTATUS> queuedResult{STATUS_PENDING};
    std::thread queued([&] {
        const UCHAR frame[] = {0x06, 0x00};
        ULONG moved = 0;
        queuedResult = transport->BulkWrite(frame, sizeof frame, &moved);
    });
    // The caller has passed its first look at deviceActive (it is counted) and waits for the
    // mutex. A caller that is not counted while it waits is what this test is about: then the
    // wait below gives up and the idle check fails.
    const auto limit = std::chrono::steady_clock::now() + std::chrono::seconds(2);
    while (ReadLongAcquire(&transport->requestsInFlight) == 0 &&
           std::chrono::steady_clock::now() < limit)
        std::this_thread::yield();
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    std::atomic<bool> idle{false};
    std::thread stop([&] {
        SetDeviceActive(device->Context(), 0);
        transport->WaitForIdle();
        idle = true;
    });
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    EXPECT_FALSE(idle) << "the idle wait missed a caller queued on the mutex";
    KeReleaseMutex(&transport->requestMutex, FALSE);
    queued.join();
    stop.join();
    EXPECT_EQ(queuedResult, STATUS_UNSUCCESSFUL);
    EXPECT_EQ(
        stick->CountRequests([](const kvstest::SeenRequest& r) { return r.endpoint == 0x01; }),
        writesBefore);
    EXPECT_EQ(HostSystem::CountDebugLines(kRemovedLine), 1u);
}

// The answer comes exactly as the one-second wait gives up on it (delivered in the window between
// the time-out and the cancel). The packet is still the driver's then: the cancel reaches a live
// packet, the answer counts, and the packet is freed once.
TEST(CallUsbd, AnswerArrivingAtTheTimeOutIsNotCancelledAfterItsPacketWasFreed) {
    std::atomic<bool> answer{false};  // outlive the system, whose bus calls the stick
    std::atomic<bool> held{false};
    HostSystem system;
    auto stick = std::make_shared<ScriptedStick>(0x3344, 0x1122, true);
    stick->intercept = [&](const host::UsbRequest& r) -> std::optional<host::UsbAnswer> {
        if (!IsCommandWrite(r) || answer) return std::nullopt;
        held = true;
        return host::UsbAnswer::WaitForWake();
    };
    PDEVICE_OBJECT pdo = system.Plug(stick);
    CQZUSB* transport = system.Current()->Transport();
    host::SetWaitTimeoutHook([&] {
        if (!held || answer) return;
        answer = true;
        system.Bus().Wake(pdo, 0x01);
        system.Bus().WaitUntilQuiet();
    });
    host::ClearDebugLines();

    const UCHAR frame[] = {0x06, 0x00};
    ULONG moved = 0;
    EXPECT_EQ(transport->BulkWrite(frame, sizeof frame, &moved), STATUS_SUCCESS);
    EXPECT_EQ(moved, sizeof frame);
    host::SetWaitTimeoutHook(nullptr);
    EXPECT_TRUE(answer);
    EXPECT_EQ(HostSystem::CountDebugLines(kTimeOutLine), 1u);
    EXPECT_EQ(HostSystem::PacketPoolBlocks(), 2u)
        << "only the pending interrupt read's packet and the transport's request packet";
    const auto errors = HostSystem::KernelErrors();
    EXPECT_TRUE(errors.empty()) << errors.front();
}

TEST(CallUsbd, RequestsFromSeveralThreadsAreServedOneAtATime) {
    HostSystem system;
    auto stick = std::make_shared<ScriptedStick>(0x3344, 0x1122, true);
    std::atomic<int> inside{0};
    std::atomic<int> most{0};
    stick->intercept = [&](const host::UsbRequest& r) -> std::optional<host::UsbAnswer> {
        const bool commandPipe = r.endpoint.address == 0x01 || r.endpoint.address == 0x81;
        if (r.function != URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER || !commandPipe)
            return std::nullopt;
        const int now = ++inside;
        int seen = most.load();
        while (now > seen && !most.compare_exchange_weak(seen, now)) {
        }
        std::this_thread::sleep_for(std::chrono::microseconds(200));
        --inside;
        return std::nullopt;
    };
    system.Plug(stick);
    CQZUSB* transport = system.Current()->Transport();
    // The bus serves the two command pipes in parallel; only the request mutex keeps a write and a
    // read apart, so two requests must never be with the stick at once.
    std::vector<std::thread> threads;
    std::atomic<int> failures{0};
    for (int t = 0; t < 4; ++t) {
        threads.emplace_back([&] {
            const UCHAR frame[] = {0x06, 0x00};
            UCHAR reply[8];
            for (int i = 0; i < 20; ++i) {
                ULONG moved = 0;
                if (transport->BulkWrite(frame, sizeof frame, &moved) != STATUS_SUCCESS) ++failures;
                if (transport->BulkRead(reply, sizeof reply, &moved) != STATUS_SUCCESS) ++failures;
            }
        });
    }
    for (std::thread& t : threads) t.join();
    EXPECT_EQ(failures, 0);
    EXPECT_EQ(most, 1);
    EXPECT_EQ(transport->requestsInFlight, 0);
}

}  // namespace
