// The bus refuses at submission what the USB driver stack refuses: isochronous packet counts per
// link speed and polling interval, block lengths per function, the direction flag; and it tells
// a driver the link speed through the bus interface of IRP_MN_QUERY_INTERFACE.
#include <gtest/gtest.h>

#include <functional>
#include <memory>
#include <vector>

#include "platform/host/clock.h"
#include "platform/host/kernel_errors.h"
#include "platform/host/kernel_state.h"
#include "platform/host/usb_bus.h"
#include "sim/stick_descriptors.h"
#include "usb_bus/urb_submitter.h"

namespace {

using host::UsbAnswer;
using host::UsbRequest;
using host::UsbSpeed;
using testing_usb::Submission;
using testing_usb::UrbBuffer;

constexpr size_t kBulkInPipe = 3;  // 0x86 bulk IN
constexpr size_t kIsoPipe = 4;     // 0x87 isochronous IN, bInterval 1

class Device : public host::UsbDeviceModel {
  public:
    explicit Device(UsbSpeed speed) : speed_(speed) {}
    UsbAnswer Handle(const UsbRequest&) override { return UsbAnswer::Success(); }
    UsbSpeed LinkSpeed() const override { return speed_; }

  private:
    UsbSpeed speed_;
};

class UsbRequestRulesTest : public testing::TestWithParam<UsbSpeed> {
  protected:
    void SetUp() override {
        host::ResetKernelState();
        host::SetClockMode(host::ClockMode::Virtual);
        device_ = bus_.Plug(std::make_shared<Device>(GetParam()));
        const sim::DescriptorSet descriptors =
            sim::BuiltInDescriptors(0x3344, 0x1122, sim::DescriptorLayout::RomImage,
                                    sim::StreamTransfer::Isochronous, true);
        interface_ = testing_usb::SelectAlternateSetting(device_, descriptors.configuration, 1);
        ASSERT_FALSE(interface_.empty());
    }
    void TearDown() override { EXPECT_TRUE(host::KernelErrors().empty()); }
    USBD_PIPE_HANDLE Pipe(size_t position) {
        return testing_usb::PipeAt(interface_, position).PipeHandle;
    }

    host::UsbBus bus_;
    PDEVICE_OBJECT device_ = nullptr;
    std::vector<uint8_t> interface_;
};

struct Rule {
    const char* what;
    ULONG packets;
    bool acceptedAtFullSpeed;
    bool acceptedAtHighSpeed;
    std::function<void(PURB)> spoil;  // breaks the block after it was built (null: leaves it)
};

TEST_P(UsbRequestRulesTest, IsochronousBlocksAreCheckedAtSubmission) {
    const bool high = GetParam() == UsbSpeed::High;
    const Rule rules[] = {
        {"one packet", 1, true, false, nullptr},
        {"eight packets", 8, true, true, nullptr},
        {"248 packets", 248, true, true, nullptr},
        {"255 packets: the most at full speed", 255, true, false, nullptr},
        {"256 packets", 256, false, true, nullptr},
        {"512 packets", 512, false, true, nullptr},
        {"1024 packets: the most at high speed", 1024, false, true, nullptr},
        {"1032 packets", 1032, false, false, nullptr},
        {"no packets", 0, false, false, nullptr},
        {"header as GET_ISO_URB_SIZE gives it", 8, true, true,
         [](PURB urb) { urb->UrbHeader.Length = GET_ISO_URB_SIZE(8); }},
        {"header two descriptors longer than the block", 8, false, false,
         [](PURB urb) { urb->UrbHeader.Length += 2 * sizeof(USBD_ISO_PACKET_DESCRIPTOR); }},
        {"header shorter than the block", 8, false, false,
         [](PURB urb) { urb->UrbHeader.Length -= sizeof(USBD_ISO_PACKET_DESCRIPTOR); }},
        {"direction flag missing on an IN pipe", 8, false, false,
         [](PURB urb) {
             urb->UrbIsochronousTransfer.TransferFlags &= ~USBD_TRANSFER_DIRECTION_IN;
         }},
        {"offsets falling", 8, false, false,
         [](PURB urb) { urb->UrbIsochronousTransfer.IsoPacket[3].Offset = 0; }},
        {"a packet outside the buffer", 8, false, false,
         [](PURB urb) {
             urb->UrbIsochronousTransfer.IsoPacket[7].Offset =
                 urb->UrbIsochronousTransfer.TransferBufferLength;
         }},
    };
    for (const Rule& rule : rules) {
        SCOPED_TRACE(rule.what);
        const ULONG packets = rule.packets;
        std::vector<uint8_t> data(packets * 4 + 4);
        UrbBuffer urb(testing_usb::IsoBlockBytes(packets + 2));
        testing_usb::BuildIsoRead(urb.get(), Pipe(kIsoPipe), data.data(), packets, 4);
        if (rule.spoil) rule.spoil(urb.get());
        Submission submission(device_, urb.get());
        const bool accepted = high ? rule.acceptedAtHighSpeed : rule.acceptedAtFullSpeed;
        if (accepted) {
            ASSERT_TRUE(submission.Wait());
            EXPECT_EQ(submission.status(), STATUS_SUCCESS);
        } else {
            // Refused inside the submitting call, before the device saw anything.
            EXPECT_EQ(submission.dispatchResult(), STATUS_INVALID_PARAMETER);
            EXPECT_TRUE(submission.Done());
            EXPECT_EQ(urb->UrbHeader.Status, host::kUsbdStatusInvalidParameter);
        }
    }
}

TEST_P(UsbRequestRulesTest, FixedBlocksMustCarryTheirStructuresLength) {
    uint8_t data[64];
    struct Case {
        const char* what;
        std::function<void(PURB)> build;
    };
    const Case cases[] = {
        {"bulk transfer one word too long",
         [&](PURB urb) {
             testing_usb::BuildTransfer(urb, Pipe(kBulkInPipe), data, 64, true);
             urb->UrbHeader.Length += 8;
         }},
        {"bulk read without the direction flag",
         [&](PURB urb) { testing_usb::BuildTransfer(urb, Pipe(kBulkInPipe), data, 64, false); }},
        {"descriptor request one word short",
         [&](PURB urb) {
             testing_usb::BuildDescriptorRequest(urb, USB_DEVICE_DESCRIPTOR_TYPE, 0, data, 18);
             urb->UrbHeader.Length -= 8;
         }},
        {"pipe abort with a header-only length",
         [&](PURB urb) {
             urb->UrbHeader.Length = sizeof(_URB_HEADER);
             urb->UrbHeader.Function = URB_FUNCTION_ABORT_PIPE;
             urb->UrbPipeRequest.PipeHandle = Pipe(kBulkInPipe);
         }},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        UrbBuffer urb(256);
        c.build(urb.get());
        Submission refused(device_, urb.get());
        EXPECT_EQ(refused.dispatchResult(), STATUS_INVALID_PARAMETER);
        EXPECT_TRUE(refused.Done());
        EXPECT_EQ(urb->UrbHeader.Status, host::kUsbdStatusInvalidParameter);
    }
}

NTSTATUS SignalDone(PDEVICE_OBJECT, PIRP, PVOID context) {
    KeSetEvent(static_cast<PKEVENT>(context), IO_NO_INCREMENT, FALSE);
    return STATUS_MORE_PROCESSING_REQUIRED;
}

// Sends IRP_MN_QUERY_INTERFACE for `type` and returns the packet's status.
NTSTATUS QueryInterface(PDEVICE_OBJECT device, const GUID& type, USHORT version,
                        USB_BUS_INTERFACE_USBDI_V1* bus) {
    PIRP irp = IoAllocateIrp(device->StackSize, FALSE);
    KEVENT done;
    KeInitializeEvent(&done, NotificationEvent, FALSE);
    irp->IoStatus.Status = STATUS_NOT_SUPPORTED;
    PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(irp);
    next->MajorFunction = IRP_MJ_PNP;
    next->MinorFunction = IRP_MN_QUERY_INTERFACE;
    next->Parameters.QueryInterface.InterfaceType = &type;
    next->Parameters.QueryInterface.Size = sizeof *bus;
    next->Parameters.QueryInterface.Version = version;
    next->Parameters.QueryInterface.Interface = reinterpret_cast<PINTERFACE>(bus);
    IoSetCompletionRoutine(irp, SignalDone, &done, TRUE, TRUE, TRUE);
    if (IofCallDriver(device, irp) == STATUS_PENDING)
        KeWaitForSingleObject(&done, Executive, KernelMode, FALSE, nullptr);
    const NTSTATUS status = irp->IoStatus.Status;
    IoFreeIrp(irp);
    return status;
}

TEST_P(UsbRequestRulesTest, BusInterfaceTellsTheLinkSpeed) {
    USB_BUS_INTERFACE_USBDI_V1 bus{};
    ASSERT_EQ(QueryInterface(device_, kUsbBusInterfaceUsbdiGuid, USB_BUSIF_USBDI_VERSION_1, &bus),
              STATUS_SUCCESS);
    ASSERT_NE(bus.IsDeviceHighSpeed, nullptr);
    EXPECT_EQ(bus.IsDeviceHighSpeed(bus.BusContext) != FALSE, GetParam() == UsbSpeed::High);

    // Another interface, or version 0 that has no IsDeviceHighSpeed: not answered.
    const GUID other = {0x12345678, 0x1, 0x2, {0, 1, 2, 3, 4, 5, 6, 7}};
    USB_BUS_INTERFACE_USBDI_V1 untouched{};
    EXPECT_EQ(QueryInterface(device_, other, USB_BUSIF_USBDI_VERSION_1, &untouched),
              STATUS_NOT_SUPPORTED);
    EXPECT_EQ(QueryInterface(device_, kUsbBusInterfaceUsbdiGuid, 0, &untouched),
              STATUS_NOT_SUPPORTED);
    EXPECT_EQ(untouched.IsDeviceHighSpeed, nullptr);
}

INSTANTIATE_TEST_SUITE_P(Speeds, UsbRequestRulesTest,
                         testing::Values(UsbSpeed::Full, UsbSpeed::High),
                         [](const testing::TestParamInfo<UsbSpeed>& info) {
                             return info.param == UsbSpeed::Full ? "FullSpeed" : "HighSpeed";
                         });

TEST(UsbRequestRuleTable, PacketMultipleFollowsThePollingPeriod) {
    EXPECT_EQ(host::IsoPacketMultiple(UsbSpeed::High, 1), 8u);
    EXPECT_EQ(host::IsoPacketMultiple(UsbSpeed::High, 2), 4u);
    EXPECT_EQ(host::IsoPacketMultiple(UsbSpeed::High, 3), 2u);
    EXPECT_EQ(host::IsoPacketMultiple(UsbSpeed::High, 4), 1u);
    EXPECT_EQ(host::IsoPacketMultiple(UsbSpeed::High, 16), 1u);
    EXPECT_EQ(host::IsoPacketMultiple(UsbSpeed::Full, 1), 1u);
    EXPECT_EQ(host::IsoPacketMultiple(UsbSpeed::Full, 8), 1u);
}

}  // namespace
