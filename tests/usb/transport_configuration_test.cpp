// How the transport classifies a stick, selects its configuration, probes the bridge firmware and
// picks its stream pipe, also when the stick's descriptors are short or hostile.
#include <gtest/gtest.h>

#include "bridge/firmware_download.h"
#include "platform/host/kernel_errors.h"
#include "platform/host/ks_device_host.h"
#include "support/host_system.h"
#include "support/scripted_stick.h"
#include "usb/device_classification.h"

namespace {

using kvstest::HostedDevice;
using kvstest::HostSystem;
using kvstest::ScriptedStick;
using kvstest::SeenRequest;

bool IsProbe(const SeenRequest& r) {
    return r.function == URB_FUNCTION_GET_DESCRIPTOR_FROM_DEVICE &&
           r.descriptorType == USB_STRING_DESCRIPTOR_TYPE && r.descriptorIndex == 2 &&
           r.length == 136;
}
bool IsConfigurationRead(const SeenRequest& r) {
    return r.function == URB_FUNCTION_GET_DESCRIPTOR_FROM_DEVICE &&
           r.descriptorType == USB_CONFIGURATION_DESCRIPTOR_TYPE;
}
bool IsSelect(const SeenRequest& r) {
    return r.function == URB_FUNCTION_SELECT_CONFIGURATION;
}

struct StickCase {
    uint16_t vendorId;
    uint16_t productId;
    UCHAR kind;
    bool patchesProductId;
    size_t probesDuringSelection;  // the start's own probe comes on top (not for kind 3)
    ULONG streamPipeIndex;
    ULONG streamPipeType;  // with the scripted pipe list: 2 and 3 isochronous, 4 bulk
};

class ClassificationTest : public testing::TestWithParam<StickCase> {};

TEST_P(ClassificationTest, KindProbeAndStreamPipeFollowTheIds) {
    const StickCase& c = GetParam();
    EXPECT_EQ(ClassifyDevice(c.vendorId, c.productId).kind, c.kind);
    EXPECT_EQ(ClassifyDevice(c.vendorId, c.productId).patchProductId, c.patchesProductId);

    HostSystem system;
    auto stick = std::make_shared<ScriptedStick>(c.vendorId, c.productId, true);
    system.Plug(stick);
    HostedDevice* device = system.Current();
    ASSERT_NE(device, nullptr);
    ASSERT_EQ(device->startStatus, STATUS_SUCCESS);
    EXPECT_EQ(device->Context()->deviceKind, c.kind);
    EXPECT_EQ(device->Transport()->streamPipeType, c.streamPipeType);
    if (c.streamPipeType != 0) {
        EXPECT_EQ(device->Transport()->streamPipeIndex, c.streamPipeIndex);
    }

    const size_t startProbes = c.kind == kDeviceKind6688 ? 0 : 1;
    EXPECT_EQ(stick->CountRequests(IsProbe), c.probesDuringSelection + startProbes);

    DownloadImage image{};
    ASSERT_TRUE(CurrentDownloadImage(1, &image));
    EXPECT_EQ(image.patched, c.patchesProductId);
    if (c.patchesProductId) {
        EXPECT_EQ(image.patchWord, c.productId);
    }
}

INSTANTIATE_TEST_SUITE_P(
    Sticks, ClassificationTest,
    testing::Values(StickCase{0x3344, 0x1122, 1, false, 1, 3, UsbdPipeTypeIsochronous},
                    StickCase{0x3344, 0x1120, 2, true, 1, 4, UsbdPipeTypeBulk},
                    StickCase{0x0572, 0x6688, 3, false, 0, 2, UsbdPipeTypeIsochronous},
                    StickCase{0x3344, 0x2000, 2, true, 1, 4, UsbdPipeTypeBulk},
                    StickCase{0x3344, 0x1111, 0, false, 0, 0, 0},
                    StickCase{0x1234, 0x1122, 0, false, 0, 0, 0}));

TEST(FirmwareProbe, NeedsAllThreeMarksAndTheRequestOnTheWire) {
    HostSystem system;
    auto stick = std::make_shared<ScriptedStick>(0x3344, 0x1122, true);
    stick->runningProbeReply = {12, 3, 'G', 'G', 'X', 0, 'K', 0, 'V', 0, 'S', 0};
    system.Plug(stick);
    HostedDevice* device = system.Devices().front();
    // Not running: the transport keeps asking for firmware and gets no stream pipe; start tried a
    // download instead of creating the filter.
    EXPECT_EQ(device->Context()->transport->firmwareNeeded, 1u);
    EXPECT_EQ(device->Context()->transport->streamPipeType, 0u);
    EXPECT_TRUE(host::FilterFactories().empty());
    EXPECT_EQ(stick->CountRequests(IsProbe), 2u);
    EXPECT_EQ(device->Context()->transport->ProbeFirmware(), STATUS_SUCCESS);
}

TEST(Configuration, HeaderReadFailureEndsTheChainWithItsStatus) {
    HostSystem system;
    auto stick = std::make_shared<ScriptedStick>(0x3344, 0x1122, true);
    stick->intercept = [](const host::UsbRequest& r) -> std::optional<host::UsbAnswer> {
        const auto& d = r.urb->UrbControlDescriptorRequest;
        if (r.function == URB_FUNCTION_GET_DESCRIPTOR_FROM_DEVICE &&
            d.DescriptorType == USB_CONFIGURATION_DESCRIPTOR_TYPE)
            return host::UsbAnswer::Failure(STATUS_UNSUCCESSFUL, host::kUsbdStatusStallPid);
        return std::nullopt;
    };
    system.Plug(stick);
    HostedDevice* device = system.Current();
    ASSERT_NE(device, nullptr);
    EXPECT_EQ(stick->CountRequests(IsConfigurationRead), 1u);
    EXPECT_EQ(stick->CountRequests(IsSelect), 0u);
    EXPECT_EQ(device->Transport()->firmwareNeeded, 1u);
    EXPECT_EQ(device->Transport()->GetConfigurationDescriptor(), STATUS_UNSUCCESSFUL);
}

TEST(Configuration, SecondReplyClaimingMoreThanTheBufferIsNotWalkedPastIt) {
    HostSystem system;
    auto stick = std::make_shared<ScriptedStick>(0x3344, 0x1122, true);
    const std::vector<uint8_t> honest = stick->ConfigurationDescriptor();
    stick->configurationReply =
        [honest](uint32_t requested) -> std::optional<std::vector<uint8_t>> {
        if (requested == 9) return honest;
        // The whole buffer filled with a well-formed descriptor chain whose header claims 64 KiB:
        // a walk trusting the header would run past the buffer into whatever follows it.
        std::vector<uint8_t> hostile = honest;
        while (hostile.size() + 7 <= requested) {
            const uint8_t extra[] = {7, 5, 0x87, 2, 64, 0, 0};
            hostile.insert(hostile.end(), std::begin(extra), std::end(extra));
        }
        while (hostile.size() < requested) hostile.push_back(2);
        hostile[2] = 0xFF;
        hostile[3] = 0xFF;
        return hostile;
    };
    system.Plug(stick);
    HostedDevice* device = system.Current();
    ASSERT_NE(device, nullptr);
    EXPECT_EQ(device->startStatus, STATUS_SUCCESS);
    EXPECT_EQ(device->Transport()->streamPipeIndex, 3u);
    EXPECT_TRUE(HostSystem::KernelErrors().empty());
}

TEST(Configuration, ShortInterfaceLeavesTheStickWithoutTheMissingPipes) {
    HostSystem system;
    auto stick = std::make_shared<ScriptedStick>(0x3344, 0x1120, true);
    stick->endpoints.resize(4);  // positions 0 to 3: no stream pipe 4, no interrupt pipe 6
    system.Plug(stick);
    HostedDevice* device = system.Current();
    ASSERT_NE(device, nullptr);
    ASSERT_EQ(device->startStatus, STATUS_SUCCESS);
    CQZUSB* transport = device->Transport();
    EXPECT_EQ(transport->firmwareNeeded, 0u);
    EXPECT_EQ(transport->streamPipeType, 0u);
    EXPECT_EQ(transport->Pipe(4), nullptr);
    EXPECT_EQ(transport->Pipe(kPipeInterrupt), nullptr);
    EXPECT_EQ(transport->interruptIrp, nullptr);
    EXPECT_EQ(transport->SubmitInterruptRead(), STATUS_UNSUCCESSFUL);
    EXPECT_EQ(stick->InterruptReadsSeen(), 0u);
    // The command pipes are there and work.
    const UCHAR frame[] = {0x06, 0x00};
    ULONG moved = 0;
    EXPECT_EQ(transport->BulkWrite(frame, sizeof frame, &moved), STATUS_SUCCESS);
    EXPECT_EQ(moved, sizeof frame);
}

TEST(Configuration, NoAlternateSettingOneMeansNoInterface) {
    HostSystem system;
    auto stick = std::make_shared<ScriptedStick>(0x3344, 0x1122, true);
    stick->configurationReply = [](uint32_t) -> std::optional<std::vector<uint8_t>> {
        return std::vector<uint8_t>{9, 2, 18, 0, 1, 1, 0, 0x80, 50, 9, 4, 0, 0, 0, 0xFF, 0, 0, 0};
    };
    system.Plug(stick);
    HostedDevice* device = system.Devices().front();
    CQZUSB* transport = device->Transport();
    ASSERT_NE(transport, nullptr);
    EXPECT_EQ(stick->CountRequests(IsSelect), 0u);
    EXPECT_EQ(transport->descriptors->interfaceInfo, nullptr);
    ULONG moved = 0;
    UCHAR byte = 0;
    EXPECT_EQ(transport->BulkRead(&byte, 1, &moved), STATUS_INSUFFICIENT_RESOURCES);
    EXPECT_EQ(transport->BulkRead(nullptr, 1, &moved), STATUS_UNSUCCESSFUL);
}

}  // namespace
