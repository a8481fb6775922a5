// Reads the bus refuses, pipes of the wrong kind and an endpoint that keeps failing: no read is
// resubmitted from the stack of the call that submitted it, a pipe is used only for the role its
// type and direction fit, and a stalled interrupt endpoint is not hammered for ever.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <functional>
#include <string>
#include <thread>

#include "driver/stream_control.h"
#include "platform/debug_print.h"
#include "platform/host/debug_log.h"
#include "platform/host/device_node.h"
#include "platform/host/irql.h"
#include "platform/pool.h"
#include "support/host_system.h"
#include "support/scripted_stick.h"
#include "usb/cqzusb.h"

namespace {

using kvstest::HostedDevice;
using kvstest::HostSystem;
using kvstest::ScriptedStick;

// A stick whose bus refuses every request inside the call that hands it over, as a bus driver
// does with a block it will not take: the completion runs before IoCallDriver returns.
class RefusingStick : public host::DeviceNode {
  public:
    RefusingStick() {
        host::SetDeviceNode(&pdo_, this);
        pdo_.StackSize = 1;
        device_.PhysicalDeviceObject = &pdo_;
        device_.Context = &context_;
        context_.deviceActive = 1;
        context_.deviceKind = kDeviceKindKvs1122;
        context_.transport = &transport_;
        KeInitializeSpinLock(&context_.keyQueueLock);
        transport_.InitializeLocks();
        transport_.device = &device_;
        transport_.lowerDevice = &pdo_;
        info_.header.Length = sizeof(info_);
        info_.header.NumberOfPipes = 7;
        const struct {
            UCHAR address;
            USBD_PIPE_TYPE type;
        } layout[7] = {{0x81, UsbdPipeTypeBulk},        {0x01, UsbdPipeTypeBulk},
                       {0x82, UsbdPipeTypeIsochronous}, {0x83, UsbdPipeTypeIsochronous},
                       {0x84, UsbdPipeTypeBulk},        {0x05, UsbdPipeTypeBulk},
                       {0x86, UsbdPipeTypeInterrupt}};
        for (ULONG i = 0; i < 7; ++i) {
            // The driver walks Pipes[] past its declared one entry, into `more`.
            PUSBD_PIPE_INFORMATION pipe = i == 0 ? &info_.header.Pipes[0] : &info_.more[i - 1];
            pipe->EndpointAddress = layout[i].address;
            pipe->PipeType = layout[i].type;
            pipe->MaximumPacketSize = 64;
            pipe->PipeHandle = reinterpret_cast<USBD_PIPE_HANDLE>(uintptr_t{0x100} + i);
        }
        descriptors_.interfaceInfo = &info_.header;
        transport_.descriptors = &descriptors_;
    }
    ~RefusingStick() override { transport_.descriptors = nullptr; }

    NTSTATUS Dispatch(PIRP irp) override {
        ++requests;
        irp->IoStatus.Status = STATUS_INVALID_PARAMETER;
        irp->IoStatus.Information = 0;
        IoCompleteRequest(irp, IO_NO_INCREMENT);
        return STATUS_INVALID_PARAMETER;
    }

    CQZUSB& Transport() { return transport_; }
    int requests = 0;

  private:
    struct InterfaceWithPipes {
        USBD_INTERFACE_INFORMATION header;
        USBD_PIPE_INFORMATION more[6];
    };
    KSDEVICE device_{};
    DEVICE_OBJECT pdo_{};
    DeviceContext context_{};
    CQZUSB transport_{};
    TransportDescriptors descriptors_{};
    InterfaceWithPipes info_{};
};

struct RefusedReader {
    const char* name;
    std::function<void(CQZUSB&)> start;
    int submissions;  // what the reader hands the bus: every read once
    const char* routine;
};

class RefusedRead : public testing::TestWithParam<RefusedReader> {};

TEST_P(RefusedRead, EndsTheReadInsteadOfResubmittingOnTheSubmittersStack) {
    host::ClearDebugLines();
    RefusingStick stick;
    GetParam().start(stick.Transport());
    EXPECT_EQ(stick.requests, GetParam().submissions);
    EXPECT_EQ(ReadLongAcquire(&stick.Transport().isoReadsOutstanding), 0);
    EXPECT_EQ(ReadLongAcquire(&stick.Transport().bulkReadsOutstanding), 0);
    EXPECT_EQ(stick.Transport().interruptIrp, nullptr);
    size_t lines = 0;
    for (const std::string& line : host::DebugLines())
        if (line.find(GetParam().routine) != std::string::npos) ++lines;
    EXPECT_EQ(lines, static_cast<size_t>(GetParam().submissions));
    EXPECT_EQ(HostSystem::PacketPoolBlocks(), 0u);
}

INSTANTIATE_TEST_SUITE_P(
    Readers, RefusedRead,
    testing::Values(RefusedReader{"Isochronous",
                                  [](CQZUSB& t) {
                                      t.streamPipeType = UsbdPipeTypeIsochronous;
                                      t.streamPipeIndex = 3;
                                      t.StartReader();
                                  },
                                  10, "IsoIrp_Complete"},
                    RefusedReader{"Bulk",
                                  [](CQZUSB& t) {
                                      t.streamPipeType = UsbdPipeTypeBulk;
                                      t.streamPipeIndex = 4;
                                      t.StartReader();
                                  },
                                  10, "BulkIrp_Complete"},
                    RefusedReader{"Interrupt", [](CQZUSB& t) { t.SubmitInterruptRead(); }, 1,
                                  "IntIrp_Complete"}),
    [](const testing::TestParamInfo<RefusedReader>& info) { return info.param.name; });

// A pipe at a role's position whose type or direction does not fit the role is left unused (and
// said so), whatever the rest of the stick does.
struct WrongPipeCase {
    const char* name;
    uint16_t productId;  // 0x1122: stream pipe 3; 0x1120: stream pipe 4
    size_t position;
    kvstest::EndpointSpec endpoint;
    bool streamPipe;     // whether a stream pipe is chosen all the same
    bool interruptRead;  // whether the interrupt reader runs all the same
};

class WrongPipe : public testing::TestWithParam<WrongPipeCase> {};

TEST_P(WrongPipe, IsNotUsedForItsRole) {
    const WrongPipeCase& c = GetParam();
    HostSystem system;
    auto stick = std::make_shared<ScriptedStick>(0x3344, c.productId, true);
    stick->endpoints[c.position] = c.endpoint;
    system.Plug(stick);
    HostedDevice* device = system.Current();
    ASSERT_NE(device, nullptr);
    EXPECT_EQ(device->startStatus, STATUS_SUCCESS);
    CQZUSB* transport = device->Transport();
    EXPECT_EQ(transport->streamPipeType != 0, c.streamPipe);
    EXPECT_EQ(transport->interruptIrp != nullptr, c.interruptRead);
    const std::string line = std::string(kDebugPrefix) + " " + kErrorMarker + " Pipe " +
                             std::to_string(c.position) +
                             " has the wrong type or direction and is not used.";
    EXPECT_EQ(HostSystem::CountDebugLines(line), 1u);
    // The stream starts only on a pipe that fits.
    StartStreamLocked(device->Device());
    system.WaitForPnpIdle();
    EXPECT_EQ(stick->CountRequests([&](const kvstest::SeenRequest& r) {
        return r.endpoint == c.endpoint.address && r.function != URB_FUNCTION_SELECT_CONFIGURATION;
    }),
              0u);
    EXPECT_TRUE(HostSystem::KernelErrors().empty());
}

INSTANTIATE_TEST_SUITE_P(
    Roles, WrongPipe,
    testing::Values(
        WrongPipeCase{"InterruptPipeIsochronous",
                      0x1122,
                      6,
                      {0x87, UsbdPipeTypeIsochronous, 64},
                      true,
                      false},
        WrongPipeCase{"InterruptPipeOut", 0x1122, 6, {0x07, UsbdPipeTypeInterrupt, 8}, true, false},
        WrongPipeCase{"InterruptPipeBulk", 0x1120, 6, {0x87, UsbdPipeTypeBulk, 64}, true, false},
        WrongPipeCase{"BulkStreamPipeOut", 0x1120, 4, {0x04, UsbdPipeTypeBulk, 512}, false, true},
        WrongPipeCase{
            "IsoStreamPipeOut", 0x1122, 3, {0x03, UsbdPipeTypeIsochronous, 512}, false, true},
        WrongPipeCase{
            "StreamPipeInterrupt", 0x1122, 3, {0x83, UsbdPipeTypeInterrupt, 64}, false, true}),
    [](const testing::TestParamInfo<WrongPipeCase>& info) { return info.param.name; });

// Reads of a stalled interrupt endpoint fail at once: after a few in a row the reader rests
// (with a line on the debug output) instead of resubmitting for as long as the stick is plugged;
// a stream start lets it try again.
TEST(InterruptStall, ReaderRestsAfterFailuresInARowAndAStreamStartResumesIt) {
    std::atomic<bool> stalled{false};  // outlives the system, whose bus calls the stick
    HostSystem system;
    auto stick = std::make_shared<ScriptedStick>(0x3344, 0x1122, true);
    stick->intercept = [&](const host::UsbRequest& r) -> std::optional<host::UsbAnswer> {
        if (stalled && r.endpoint.type == UsbdPipeTypeInterrupt)
            return host::UsbAnswer::Failure(STATUS_UNSUCCESSFUL, host::kUsbdStatusStallPid);
        return std::nullopt;
    };
    system.Plug(stick);
    HostedDevice* device = system.Current();
    ASSERT_NE(device->Transport()->interruptIrp, nullptr);

    auto countFailures = [&] {
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(200);
        while (std::chrono::steady_clock::now() < deadline && system.Bus().WorkInProgress())
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        return stick->InterruptReadsSeen();
    };
    stalled = true;
    const size_t before = stick->InterruptReadsSeen();
    stick->PushReport({0xAA, 1, 2, 3, 4, 5});  // the pending read is answered: with the stall
    EXPECT_EQ(countFailures(), before + 7) << "eight reads fail, the pending one included";
    EXPECT_EQ(device->Transport()->interruptIrp, nullptr);
    const std::string line = std::string(kDebugPrefix) + " " + kErrorMarker +
                             " IntIrp_Complete(Reads keep failing, status= 0xc0000001): the "
                             "reader rests.";
    EXPECT_EQ(HostSystem::CountDebugLines(line), 1u);

    // The stall is gone: the next stream start brings the reader back, and the key comes.
    stalled = false;
    StartStreamLocked(device->Device());
    system.WaitForPnpIdle();
    EXPECT_EQ(device->Context()->keyCount, 1);
    EXPECT_NE(device->Transport()->interruptIrp, nullptr);
    EXPECT_TRUE(host::IrqlViolations().empty());
}

}  // namespace
