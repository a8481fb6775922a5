// The interrupt reader: reports to the key queue and the status record, one read always pending,
// and cancellation that never races with the completion.
#include "usb/interrupt_reader.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <thread>

#include "bridge/signal_status.h"
#include "platform/host/irql.h"
#include "support/host_system.h"
#include "support/scripted_stick.h"

namespace {

using kvstest::HostedDevice;
using kvstest::HostSystem;
using kvstest::ScriptedStick;

// Waits until the stick has received `count` interrupt reads: the completion of the report before
// has then been handled completely (it submits the next read last).
bool WaitForInterruptReads(ScriptedStick& stick, size_t count) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (stick.InterruptReadsSeen() < count) {
        if (std::chrono::steady_clock::now() > deadline) return false;
        std::this_thread::sleep_for(std::chrono::microseconds(100));
    }
    return true;
}

class InterruptReaderTest : public testing::Test {
  protected:
    void SetUp() override {
        stick = std::make_shared<ScriptedStick>(0x3344, 0x1122, true);
        system.Plug(stick);
        device = system.Current();
        ASSERT_NE(device, nullptr);
        ASSERT_TRUE(WaitForInterruptReads(*stick, 1));
    }
    // Sends reports one by one, each handled before the next.
    void Deliver(const std::vector<std::vector<uint8_t>>& reports) {
        for (const auto& report : reports) {
            const size_t seen = stick->InterruptReadsSeen();
            stick->PushReport(report);
            ASSERT_TRUE(WaitForInterruptReads(*stick, seen + 1));
        }
    }

    HostSystem system;
    std::shared_ptr<ScriptedStick> stick;
    HostedDevice* device = nullptr;
};

TEST_F(InterruptReaderTest, FullKeyQueueLosesItsOldestKey) {
    std::vector<std::vector<uint8_t>> keys;
    for (int i = 0; i < 257; ++i) {
        keys.push_back({0xAA, static_cast<uint8_t>(i), static_cast<uint8_t>(i >> 8), 3, 4, 5});
    }
    Deliver(keys);
    DeviceContext* context = device->Context();
    EXPECT_EQ(context->keyCount, 256);
    EXPECT_EQ(context->keyReadIndex, context->keyWriteIndex);

    UCHAR entry[kKeyEntryBytes];
    ASSERT_TRUE(KeyQueueTake(context, entry));
    EXPECT_EQ(std::vector<uint8_t>(entry, entry + kKeyEntryBytes),
              (std::vector<uint8_t>{0xAA, 1, 0, 3, 4, 5}));
    int taken = 1;
    while (KeyQueueTake(context, entry)) ++taken;
    EXPECT_EQ(taken, 256);
    EXPECT_EQ(entry[1], 0);  // key 256, the newest
    EXPECT_EQ(entry[2], 1);

    Deliver({{0xAA, 9, 9, 9, 9, 9}});
    KeyQueueReset(context);
    EXPECT_FALSE(KeyQueueTake(context, entry));
}

TEST_F(InterruptReaderTest, FirstTwoStatusReportsAreCountedButNotDecoded) {
    Deliver({{0xBB, 0, 1, 0x64, 0x20, 0x00, 0x77}, {0xBB, 0, 1, 0x64, 0x20, 0x00, 0x77}});
    EXPECT_EQ(device->Context()->statusReportCount, 2);
    EXPECT_EQ(GetLockFlag(), 0);

    Deliver({{0xBB, 0, 1, 0x64, 0x20, 0x03, 0x77}});
    EXPECT_EQ(device->Context()->statusReportCount, 3);
    UCHAR record[kStatusRecordBytes];
    ReadStatusRecord(record);
    EXPECT_EQ(std::vector<uint8_t>(record, record + kStatusRecordBytes),
              (std::vector<uint8_t>{0, 1, 0x64, 0x20, 0x03, 0x77}));

    // A report of any other type changes nothing, and the reader goes on.
    Deliver({{0x00, 0, 0, 0, 0, 0, 0}, {0x17, 1, 2, 3, 4, 5, 6}});
    EXPECT_EQ(GetLockFlag(), 1);
    EXPECT_EQ(device->Context()->keyCount, 0);
    EXPECT_EQ(device->Context()->statusReportCount, 3);
    EXPECT_NE(device->Transport()->interruptIrp, nullptr);
}

TEST_F(InterruptReaderTest, FailedReadIsResubmittedCancelledReadEndsTheReader) {
    std::atomic<int> failNext{1};
    stick->intercept = [&](const host::UsbRequest& r) -> std::optional<host::UsbAnswer> {
        if (r.endpoint.type == UsbdPipeTypeInterrupt && failNext.fetch_sub(1) > 0)
            return host::UsbAnswer::Failure(STATUS_UNSUCCESSFUL,
                                            host::kUsbdStatusDeviceNotResponding);
        return std::nullopt;
    };
    // The pending read is answered with the failure; the fresh read that follows gets the key.
    const size_t seen = stick->InterruptReadsSeen();
    stick->PushReport({0xAA, 1, 2, 3, 4, 5});
    ASSERT_TRUE(WaitForInterruptReads(*stick, seen + 2));
    EXPECT_EQ(device->Context()->keyCount, 1);

    device->Transport()->CancelInterruptRead();
    EXPECT_EQ(device->Transport()->interruptIrp, nullptr);
    const size_t afterCancel = stick->InterruptReadsSeen();
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    EXPECT_EQ(stick->InterruptReadsSeen(), afterCancel);
}

TEST_F(InterruptReaderTest, SubmittingWhileAReadIsPendingKeepsOneRead) {
    const size_t seen = stick->InterruptReadsSeen();
    EXPECT_EQ(device->Transport()->SubmitInterruptRead(), STATUS_SUCCESS);
    EXPECT_EQ(stick->InterruptReadsSeen(), seen);
}

TEST(InterruptReader, Kind3StickHasNoReaderAndCancelReturnsAtOnce) {
    HostSystem system;
    auto stick = std::make_shared<ScriptedStick>(0x0572, 0x6688, true);
    system.Plug(stick);
    CQZUSB* transport = system.Current()->Transport();
    EXPECT_EQ(transport->interruptIrp, nullptr);
    EXPECT_EQ(transport->SubmitInterruptRead(), STATUS_UNSUCCESSFUL);
    host::ClearRecordedDelays();
    transport->CancelInterruptRead();
    EXPECT_TRUE(HostSystem::SleepMilliseconds().empty());
    EXPECT_EQ(stick->InterruptReadsSeen(), 0u);
}

// Reports stream in while power transitions cancel and restart the reader: every packet is
// released exactly once, no cancel reaches a released packet, and nothing waits at dispatch
// level. Run under ThreadSanitizer and AddressSanitizer too.
TEST(InterruptReaderRace, CancelLoopsAgainstCompletionsUnderLoad) {
    HostSystem system;
    auto stick = std::make_shared<ScriptedStick>(0x3344, 0x1122, true);
    system.Plug(stick);
    HostedDevice* device = system.Current();
    std::atomic<bool> done{false};
    std::thread reporter([&] {
        uint8_t n = 0;
        while (!done) {
            stick->PushReport({0xAA, n++, 0, 0, 0, 0});
            stick->PushReport({0xBB, 0, 1, 2, 3, 4, 5});
            std::this_thread::sleep_for(std::chrono::microseconds(50));
        }
    });
    for (int i = 0; i < 60; ++i) {
        device->ks->SetPower(PowerDeviceD3, PowerDeviceD0);
        EXPECT_EQ(device->Transport()->interruptIrp, nullptr);
        device->ks->SetPower(PowerDeviceD0, PowerDeviceD3);
    }
    done = true;
    reporter.join();
    system.Stop(*device);
    system.Remove(*device);
    EXPECT_EQ(HostSystem::DriverPoolBytes(), 0u);
    EXPECT_EQ(HostSystem::PacketPoolBlocks(), 0u);
    EXPECT_TRUE(HostSystem::KernelErrors().empty());
    EXPECT_TRUE(host::IrqlViolations().empty());
}

}  // namespace
