// The simulated stick: what it presents in each state, how it routes transfers, its faults and
// its re-enumeration.
#include "sim/stick.h"

#include <atomic>
#include <optional>
#include <set>

#include "bridge/firmware_images.h"
#include "sim/stick_fixture.h"

namespace {

using stick_testing::Bytes;
using stick_testing::StickTest;
using stick_testing::Submission;
using stick_testing::UrbBuffer;

const Bytes kFirmwareMarker = {0x06, 0x03, 0x47, 0x47, 0x47, 0x47};

struct PresentationCase {
    const char* name;
    sim::StickOptions options;
    size_t streamPosition;
    UCHAR streamAddress;
    USBD_PIPE_TYPE streamType;
    size_t pipes;
};

const PresentationCase kPresentations[] = {
    {"boot_iso",
     {0x3344, 0x1122, sim::StickState::Boot, sim::StreamTransfer::Isochronous, {}},
     4,
     0x87,
     UsbdPipeTypeIsochronous,
     7},
    {"running_iso",
     {0x3344, 0x1122, sim::StickState::Running, sim::StreamTransfer::Isochronous, {}},
     4,
     0x87,
     UsbdPipeTypeIsochronous,
     7},
    {"running_bulk",
     {0x3344, 0x1120, sim::StickState::Running, sim::StreamTransfer::Bulk, {}},
     4,
     0x88,
     UsbdPipeTypeBulk,
     7},
    {"position2_iso",
     {0x0572, 0x6688, sim::StickState::Running, sim::StreamTransfer::Isochronous, {}},
     2,
     0x82,
     UsbdPipeTypeIsochronous,
     4},
    {"position2_bulk",
     {0x0572, 0x6688, sim::StickState::Boot, sim::StreamTransfer::Bulk, {}},
     2,
     0x82,
     UsbdPipeTypeBulk,
     4},
};

class StickPresentation : public StickTest, public testing::WithParamInterface<PresentationCase> {};

TEST_P(StickPresentation, AnswersDescriptorsProbeAndConfiguration) {
    const PresentationCase& c = GetParam();
    PlugStick(c.options);

    const Bytes device = Descriptor(USB_DEVICE_DESCRIPTOR_TYPE, 0, 18);
    ASSERT_EQ(device.size(), 18u);
    EXPECT_EQ(device[8] | device[9] << 8, c.options.vendorId);
    EXPECT_EQ(device[10] | device[11] << 8, c.options.productId);

    // The header alone, then the whole configuration asked for with room to spare.
    const Bytes header = Descriptor(USB_CONFIGURATION_DESCRIPTOR_TYPE, 0, 9);
    ASSERT_EQ(header.size(), 9u);
    const size_t total = header[2] | header[3] << 8;
    EXPECT_EQ(Descriptor(USB_CONFIGURATION_DESCRIPTOR_TYPE, 0, total + 16).size(), total);

    // The firmware probe: string 2, length 136.
    const Bytes probe = Descriptor(USB_STRING_DESCRIPTOR_TYPE, 2, 136);
    const bool running = c.options.state == sim::StickState::Running;
    if (running) {
        EXPECT_EQ(probe, kFirmwareMarker);
    } else {
        ASSERT_GE(probe.size(), 5u);
        EXPECT_FALSE(probe[2] == 0x47 && probe[3] == 0x47 && probe[4] == 0x47);
    }
    EXPECT_TRUE(Descriptor(USB_STRING_DESCRIPTOR_TYPE, 9, 64).empty());  // no such string

    SelectAlternateSetting1();
    const auto* interface = reinterpret_cast<const USBD_INTERFACE_INFORMATION*>(interface_.data());
    ASSERT_EQ(interface->NumberOfPipes, c.pipes);
    EXPECT_NE(interface->InterfaceHandle, nullptr);
    EXPECT_EQ(interface->Class, 0xFF);
    EXPECT_EQ(Pipe(0).EndpointAddress, 0x81);
    EXPECT_EQ(Pipe(0).PipeType, UsbdPipeTypeBulk);
    EXPECT_EQ(Pipe(0).MaximumPacketSize, 64);
    EXPECT_EQ(Pipe(1).EndpointAddress, 0x01);
    EXPECT_EQ(Pipe(c.streamPosition).EndpointAddress, c.streamAddress);
    EXPECT_EQ(Pipe(c.streamPosition).PipeType, c.streamType);
    if (c.pipes == 7) {
        EXPECT_EQ(Pipe(6).EndpointAddress, 0x8A);
        EXPECT_EQ(Pipe(6).PipeType, UsbdPipeTypeInterrupt);
        EXPECT_EQ(Pipe(6).MaximumPacketSize, 64);
    }
    std::set<USBD_PIPE_HANDLE> handles;
    for (size_t i = 0; i < c.pipes; ++i) {
        EXPECT_NE(Pipe(i).PipeHandle, nullptr);
        handles.insert(Pipe(i).PipeHandle);
    }
    EXPECT_EQ(handles.size(), c.pipes);
}

INSTANTIATE_TEST_SUITE_P(Sticks, StickPresentation, testing::ValuesIn(kPresentations),
                         [](const auto& info) { return std::string(info.param.name); });

// Records command frames and answers with a scripted reply (negative: no answer).
class RecordingProcessor : public sim::CommandProcessor {
  public:
    void OnCommandFrame(const uint8_t* frame, size_t length) override {
        frames.emplace_back(frame, frame + length);
        if (onFrame) onFrame();
    }
    long TakeReply(uint8_t* out, size_t capacity) override {
        if (replyLength < 0) return replyLength;
        const size_t count = std::min(static_cast<size_t>(replyLength), capacity);
        for (size_t i = 0; i < count; ++i) out[i] = static_cast<uint8_t>(0x10 + i);
        return static_cast<long>(count);
    }
    std::vector<Bytes> frames;
    long replyLength = 5;
    std::function<void()> onFrame;
};

// Counting bytes, as many as asked for.
class CountingSource : public sim::TransportStreamSource {
  public:
    size_t Read(uint8_t* out, size_t capacity) override {
        for (size_t i = 0; i < capacity; ++i) out[i] = static_cast<uint8_t>(next++);
        return capacity;
    }
    uint32_t next = 0;
};

class StickRouting : public StickTest {
  protected:
    void SetUp() override {
        StickTest::SetUp();
        PlugStick({0x3344, 0x1122, sim::StickState::Running, sim::StreamTransfer::Isochronous, {}});
        stick_->SetCommandProcessor(processor_);
        SelectAlternateSetting1();
    }
    std::shared_ptr<RecordingProcessor> processor_ = std::make_shared<RecordingProcessor>();
};

TEST_F(StickRouting, CommandFramesGoToTheProcessorAndRepliesComeBack) {
    Bytes frame = {0x8A, 0x00};
    EXPECT_EQ(Transfer(1, frame, false), STATUS_SUCCESS);
    EXPECT_EQ(frame.size(), 2u);
    ASSERT_EQ(processor_->frames.size(), 1u);
    EXPECT_EQ(processor_->frames[0], (Bytes{0x8A, 0x00}));

    Bytes reply(64);
    EXPECT_EQ(Transfer(0, reply, true), STATUS_SUCCESS);
    EXPECT_EQ(reply, (Bytes{0x10, 0x11, 0x12, 0x13, 0x14}));

    // No reply: the read stays until it is cancelled.
    processor_->replyLength = -1;
    Bytes buffer(64);
    UrbBuffer urb;
    testing_usb::BuildTransfer(urb.get(), Pipe(0).PipeHandle, buffer.data(), 64, true);
    Submission unanswered(device_, urb.get());
    EXPECT_FALSE(unanswered.Wait(std::chrono::milliseconds(30)));
    IoCancelIrp(unanswered.irp());
    ASSERT_TRUE(unanswered.Wait());
    EXPECT_EQ(unanswered.status(), STATUS_CANCELLED);
}

TEST_F(StickRouting, InterruptReadsWaitForReportsAndTakeThemInOrder) {
    Bytes buffer(64);
    UrbBuffer urb;
    testing_usb::BuildTransfer(urb.get(), Pipe(6).PipeHandle, buffer.data(), 64, true);
    Submission first(device_, urb.get());
    EXPECT_FALSE(first.Wait(std::chrono::milliseconds(30)));
    stick_->QueueInterruptReport({0xAA, 1, 2, 3, 4, 5});
    stick_->QueueInterruptReport({0xBB, 0, 1, 0x20, 0x03, 0x50, 0});
    ASSERT_TRUE(first.Wait());
    EXPECT_EQ(urb->UrbBulkOrInterruptTransfer.TransferBufferLength, 6u);
    EXPECT_EQ(buffer[0], 0xAA);

    Bytes second(64);
    EXPECT_EQ(Transfer(6, second, true), STATUS_SUCCESS);
    EXPECT_EQ(second, (Bytes{0xBB, 0, 1, 0x20, 0x03, 0x50, 0}));
    EXPECT_EQ(stick_->QueuedInterruptReports(), 0u);
}

TEST_F(StickRouting, IsochronousReadsFillPacketsAndSkipFailedOnes) {
    auto source = std::make_shared<CountingSource>();
    stick_->SetStreamSource(source);
    stick_->SetIsoPacketErrorHook(
        [](uint64_t read, uint32_t packet) { return read == 0 && packet == 1; });
    constexpr ULONG kPackets = 8;  // the bus takes a multiple of 8 on a high-speed pipe
    // Slots of the endpoint's packet size: the stick fills every packet up to it.
    const ULONG kStride = Pipe(4).MaximumPacketSize;
    ASSERT_EQ(kStride, 1020u);
    Bytes buffer(kPackets * kStride, 0xEE);
    UrbBuffer urb(testing_usb::IsoBlockBytes(kPackets));
    testing_usb::BuildIsoRead(urb.get(), Pipe(4).PipeHandle, buffer.data(), kPackets, kStride);
    Submission read(device_, urb.get());
    ASSERT_TRUE(read.Wait());
    EXPECT_EQ(read.status(), STATUS_SUCCESS);
    const USBD_ISO_PACKET_DESCRIPTOR* packet = urb->UrbIsochronousTransfer.IsoPacket;
    // A plain byte stream: each packet as full as the endpoint allows.
    const ULONG kCarried = kStride;
    EXPECT_EQ(packet[0].Length, kCarried);
    EXPECT_EQ(packet[1].Length, 0u);
    EXPECT_EQ(packet[1].Status, sim::kFailedPacketStatus);
    EXPECT_EQ(packet[2].Length, kCarried);
    EXPECT_EQ(packet[2].Status, USBD_STATUS_SUCCESS);
    EXPECT_EQ(urb->UrbIsochronousTransfer.ErrorCount, 1u);
    EXPECT_EQ(urb->UrbIsochronousTransfer.TransferBufferLength, (kPackets - 1) * kCarried);
    // The failed packet took nothing from the stream: packet 2 goes on where packet 0 ended.
    EXPECT_EQ(buffer[2 * kStride], static_cast<uint8_t>(kCarried));
    EXPECT_EQ(buffer[kStride - 1], static_cast<uint8_t>(kCarried - 1));
    EXPECT_EQ(buffer[kStride], 0xEE);
}

// Slots smaller than the endpoint's packet size: a full packet overruns its slot, and the host
// controller delivers none of it (the bytes are lost on the bus and counted by the stick).
TEST_F(StickRouting, IsochronousPacketLargerThanItsSlotIsAnOverrun) {
    auto source = std::make_shared<CountingSource>();
    stick_->SetStreamSource(source);
    constexpr ULONG kPackets = 8;
    constexpr ULONG kStride = 512;
    Bytes buffer(kPackets * kStride, 0xEE);
    UrbBuffer urb(testing_usb::IsoBlockBytes(kPackets));
    testing_usb::BuildIsoRead(urb.get(), Pipe(4).PipeHandle, buffer.data(), kPackets, kStride);
    Submission read(device_, urb.get());
    ASSERT_TRUE(read.Wait());
    const USBD_ISO_PACKET_DESCRIPTOR* packet = urb->UrbIsochronousTransfer.IsoPacket;
    for (ULONG i = 0; i < kPackets; ++i) {
        EXPECT_EQ(packet[i].Status, sim::kOverrunPacketStatus) << i;
        EXPECT_EQ(packet[i].Length, 0u) << i;
    }
    EXPECT_EQ(buffer, Bytes(kPackets * kStride, 0xEE));
    EXPECT_EQ(stick_->OverrunBytes(), kPackets * 1020u);
}

// A stick with nothing to send still ends each isochronous read once its frames have passed (one
// packet per 125 us microframe on this high-speed pipe), so a driver draining its reads at stop is
// never left waiting.
TEST_F(StickRouting, IsochronousReadWithoutDataCompletesEmptyOnSchedule) {
    class SilentSource : public sim::TransportStreamSource {
      public:
        size_t Read(uint8_t*, size_t) override { return 0; }
    };
    stick_->SetStreamSource(std::make_shared<SilentSource>());
    constexpr ULONG kPackets = 8;
    Bytes buffer(kPackets * 512);
    for (int r = 0; r < 2; ++r) {
        UrbBuffer urb(testing_usb::IsoBlockBytes(kPackets));
        testing_usb::BuildIsoRead(urb.get(), Pipe(4).PipeHandle, buffer.data(), kPackets, 512);
        const LONGLONG submitted = host::NowTicks();
        auto completed = std::make_shared<LONGLONG>(0);
        Submission read(device_, urb.get(), [completed] { *completed = host::NowTicks(); });
        ASSERT_TRUE(read.Wait());
        EXPECT_EQ(read.status(), STATUS_SUCCESS);
        const LONGLONG start =
            (submitted + sim::kMicroframeTicks - 1) / sim::kMicroframeTicks * sim::kMicroframeTicks;
        EXPECT_EQ(*completed, start + kPackets * sim::kMicroframeTicks);
        EXPECT_EQ(urb->UrbIsochronousTransfer.TransferBufferLength, 0u);
        EXPECT_EQ(urb->UrbIsochronousTransfer.IsoPacket[0].Length, 0u);
    }
}

TEST_F(StickTest, BulkStreamReadsWaitForDataAndLeaveFull) {
    PlugStick({0x3344, 0x1120, sim::StickState::Running, sim::StreamTransfer::Bulk, {}});
    SelectAlternateSetting1();
    Bytes buffer(8192);
    UrbBuffer urb;
    testing_usb::BuildTransfer(urb.get(), Pipe(4).PipeHandle, buffer.data(), 8192, true);
    Submission read(device_, urb.get());
    EXPECT_FALSE(read.Wait(std::chrono::milliseconds(30)));  // no stream yet
    stick_->SetStreamSource(std::make_shared<CountingSource>());
    ASSERT_TRUE(read.Wait());  // picked up by the bus's retry poll
    EXPECT_EQ(read.status(), STATUS_SUCCESS);
    // A stream that is there whenever the stick reads refills the FIFO as the packets leave it.
    EXPECT_EQ(urb->UrbBulkOrInterruptTransfer.TransferBufferLength, 8192u);
    EXPECT_EQ(buffer[5000], static_cast<uint8_t>(5000));
}

TEST_F(StickRouting, InjectedFaultsHitOnlyTheMatchingRequest) {
    // A failed command write never reaches the processor.
    stick_->FailNextTransfer(sim::OnEndpoint(0x01));
    Bytes frame = {0x01, 0x00};
    EXPECT_EQ(Transfer(1, frame, false), STATUS_UNSUCCESSFUL);
    EXPECT_TRUE(processor_->frames.empty());

    stick_->ShortenNextTransfer(3, sim::OnEndpoint(0x81));
    Bytes reply(64);
    EXPECT_EQ(Transfer(0, reply, true), STATUS_SUCCESS);
    EXPECT_EQ(reply.size(), 3u);

    // The probe hangs once; the next probe is answered.
    stick_->HangNextRequest(sim::OnDescriptor(USB_STRING_DESCRIPTOR_TYPE, 2));
    EXPECT_EQ(Descriptor(USB_DEVICE_DESCRIPTOR_TYPE, 0, 18).size(), 18u);
    Bytes buffer(136);
    UrbBuffer urb;
    testing_usb::BuildDescriptorRequest(urb.get(), USB_STRING_DESCRIPTOR_TYPE, 2, buffer.data(),
                                        136);
    Submission hung(device_, urb.get());
    EXPECT_FALSE(hung.Wait(std::chrono::milliseconds(30)));
    IoCancelIrp(hung.irp());
    ASSERT_TRUE(hung.Wait());
    EXPECT_EQ(hung.status(), STATUS_CANCELLED);
    EXPECT_EQ(Descriptor(USB_STRING_DESCRIPTOR_TYPE, 2, 136), kFirmwareMarker);
}

TEST_F(StickRouting, UnplugFromInsideTheFirmwareFailsTheFrameThatCausedIt) {
    std::vector<PDEVICE_OBJECT> departed;
    bus_.SetDepartureCallback([&](PDEVICE_OBJECT device) { departed.push_back(device); });
    processor_->onFrame = [this] { stick_->Unplug(); };
    Bytes frame = {0x01, 0x00};
    EXPECT_EQ(Transfer(1, frame, false), STATUS_DEVICE_NOT_CONNECTED);
    bus_.WaitForPnpIdle();
    EXPECT_EQ(departed, std::vector<PDEVICE_OBJECT>{device_});
    EXPECT_EQ(stick_->DeviceObject(), nullptr);
    bus_.Shutdown();
}

// A descriptor set laid out as in the rom image: product 0x1120, bulk stream, "GGG" string 2.
Bytes RomDescriptorSet() {
    Bytes set(sim::kRomDescriptorSetBytes, 0);
    const sim::DescriptorSet source = sim::BuiltInDescriptors(
        0x3344, 0x1120, sim::DescriptorLayout::RomImage, sim::StreamTransfer::Bulk, true);
    std::copy(source.device.begin(), source.device.end(), set.begin());
    std::copy(source.configuration.begin(), source.configuration.end(), set.begin() + 0x1C);
    const Bytes strings = {0x04, 0x03, 0x09, 0x04, 0x06, 0x03, 'K',  0,    'V', 0,
                           0x06, 0x03, 0x47, 0x47, 0x47, 0x47, 0x04, 0x03, '1', 0};
    std::copy(strings.begin(), strings.end(), set.begin() + 0xB4);
    return set;
}

TEST_F(StickTest, ReEnumeratesAsANewDeviceWithTheRomImageDescriptors) {
    std::vector<PDEVICE_OBJECT> arrived, departed;
    bus_.SetArrivalCallback([&](PDEVICE_OBJECT device) { arrived.push_back(device); });
    bus_.SetDepartureCallback([&](PDEVICE_OBJECT device) { departed.push_back(device); });
    PDEVICE_OBJECT boot =
        PlugStick({0x3344, 0x1122, sim::StickState::Boot, sim::StreamTransfer::Isochronous, {}});
    SelectAlternateSetting1();
    const Bytes set = RomDescriptorSet();
    ASSERT_TRUE(stick_->PresentRomImage(set.data(), set.size()));
    EXPECT_FALSE(stick_->PresentRomImage(set.data(), 100));

    // The firmware start: the stick answers the reply read, then leaves and comes back.
    stick_->ReEnumerateAfter(sim::OnEndpoint(0x81), sim::StickState::Running);
    Bytes frame = {0x8A, 0x00}, reply(5);
    EXPECT_EQ(Transfer(1, frame, false), STATUS_SUCCESS);
    EXPECT_EQ(Transfer(0, reply, true), STATUS_SUCCESS);
    ASSERT_TRUE(stick_->WaitForArrivals(2, std::chrono::seconds(5)));
    bus_.WaitForPnpIdle();

    PDEVICE_OBJECT running = stick_->DeviceObject();
    ASSERT_NE(running, nullptr);
    EXPECT_NE(running, boot);
    EXPECT_EQ(arrived, (std::vector<PDEVICE_OBJECT>{boot, running}));
    EXPECT_EQ(departed, std::vector<PDEVICE_OBJECT>{boot});
    EXPECT_EQ(stick_->Arrivals(), 2u);
    EXPECT_TRUE(Descriptor(USB_DEVICE_DESCRIPTOR_TYPE, 0, 18, boot).empty());

    const Bytes device = Descriptor(USB_DEVICE_DESCRIPTOR_TYPE, 0, 18, running);
    ASSERT_EQ(device.size(), 18u);
    EXPECT_EQ(device[10] | device[11] << 8, 0x1120);
    EXPECT_EQ(Descriptor(USB_STRING_DESCRIPTOR_TYPE, 2, 136, running), kFirmwareMarker);
    device_ = running;
    SelectAlternateSetting1();
    EXPECT_EQ(Pipe(4).EndpointAddress, 0x88);
    EXPECT_EQ(Pipe(4).PipeType, UsbdPipeTypeBulk);
    bus_.Shutdown();  // its notifications still use this test's lists
}

// The endpoint descriptors of a configuration, in order.
std::vector<Bytes> EndpointsOf(const Bytes& configuration) {
    std::vector<Bytes> endpoints;
    for (size_t at = 0; at + 2 <= configuration.size() && configuration[at] >= 2;
         at += configuration[at]) {
        if (configuration[at + 1] == USB_ENDPOINT_DESCRIPTOR_TYPE && at + 7 <= configuration.size())
            endpoints.emplace_back(configuration.begin() + at, configuration.begin() + at + 7);
    }
    return endpoints;
}

// The bus speed decides what the running stick presents: at high speed its configuration (the
// stream as 512-byte bulk 0x88), at full speed the other-speed one (isochronous 0x87, 1020 bytes,
// one packet per frame), whether the descriptors come from the downloaded rom image or are the
// stick's own; a forced transfer applies to the stick's own descriptors only.
struct SpeedCase {
    const char* name;
    sim::BusSpeed speed;
    bool downloaded;
    std::optional<sim::StreamTransfer> forced;
    uint8_t endpoint;
    uint8_t attributes;
    uint16_t packetBytes;
};

class StickSpeed : public testing::TestWithParam<SpeedCase> {};

TEST_P(StickSpeed, PresentsTheConfigurationForItsSpeed) {
    const SpeedCase& c = GetParam();
    sim::StickOptions options = stick_testing::RunningStickAt(c.speed);
    options.streamTransfer = c.forced;
    sim::Stick stick(options);
    if (c.downloaded) {
        const FirmwareImageData rom = EmbeddedFirmwareImage(kRomImageNumber);
        ASSERT_EQ(rom.length, 2 * sim::kRomDescriptorSetBytes);
        ASSERT_TRUE(stick.PresentRomImage(rom.bytes + sim::kRomDescriptorSetBytes,
                                          sim::kRomDescriptorSetBytes));
        stick.SetState(sim::StickState::Boot);
        stick.ReEnumerate(sim::StickState::Running);  // off the bus: takes effect at once
    }
    const Bytes configuration = stick.Descriptors().configuration;
    ASSERT_GE(configuration.size(), 9u);
    EXPECT_EQ(configuration[1], USB_CONFIGURATION_DESCRIPTOR_TYPE);
    const std::vector<Bytes> endpoints = EndpointsOf(configuration);
    ASSERT_EQ(endpoints.size(), 7u);
    const Bytes& stream = endpoints[4];
    EXPECT_EQ(stream[2], c.endpoint);
    EXPECT_EQ(stream[3] & 3, c.attributes);
    EXPECT_EQ(stream[4] | stream[5] << 8, c.packetBytes);
    if (c.attributes == 1) {
        EXPECT_EQ(stream[6], 1) << "one packet every frame";
    }
}

INSTANTIATE_TEST_SUITE_P(
    Speeds, StickSpeed,
    testing::Values(SpeedCase{"HighImage", sim::BusSpeed::High, true, std::nullopt, 0x88, 2, 512},
                    SpeedCase{"FullImage", sim::BusSpeed::Full, true, std::nullopt, 0x87, 1, 1020},
                    SpeedCase{"FullImageIgnoresForced", sim::BusSpeed::Full, true,
                              sim::StreamTransfer::Bulk, 0x87, 1, 1020},
                    SpeedCase{"HighOwn", sim::BusSpeed::High, false, std::nullopt, 0x88, 2, 512},
                    SpeedCase{"FullOwn", sim::BusSpeed::Full, false, std::nullopt, 0x87, 1, 1020},
                    SpeedCase{"HighOwnForcedIso", sim::BusSpeed::High, false,
                              sim::StreamTransfer::Isochronous, 0x87, 1, 1020}),
    [](const testing::TestParamInfo<SpeedCase>& info) { return info.param.name; });

}  // namespace
