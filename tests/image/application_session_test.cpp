// One application session through the receiver filter with each build of the driver, on the
// virtual clock: the device's capabilities queried and its power taken down and up again, the
// filter opened and both pins created, a sweep of requests into every handler
// (node properties through the filter and through a pin, with good, short and refused values;
// the change methods; topology creation; intersections of every size), the pins running, a tune
// that locks and frames taken from the output pin, a tune to an empty channel, the signal read
// after each, the pins stopped and closed, the stick unplugged. The Windows image must answer
// every request as the host build does, send the bridge the same frames in the same order, ask
// for the same delays and print the same debug lines; on the bulk pipe it also delivers the
// same frames. Both return every pool byte and request packet after removal.
#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "image_fixture.h"
#include "platform/host/bda_receiver_application.h"
#include "platform/host/clock.h"
#include "platform/host/ks_services.h"
#include "sim/air.h"
#include "sim/air_signal.h"
#include "sim/bridge_firmware.h"
#include "sim/demod_chip.h"
#include "sim/i2c_bus.h"
#include "sim/stick.h"
#include "sim/tuner_chip.h"
#include "support/host_system.h"

namespace kvsbda_image_test {
namespace {

using Bytes = std::vector<uint8_t>;

constexpr uint8_t kDemodLowAddress = 0x32;
constexpr uint8_t kDemodHighAddress = 0x36;
constexpr size_t kFramesTaken = 3;
constexpr long long kReaderPollMs = 100;

struct SessionRun {
    NTSTATUS capabilities = STATUS_PENDING;
    NTSTATUS open = STATUS_PENDING;
    NTSTATUS run = STATUS_PENDING;
    NTSTATUS tuneLocked = STATUS_PENDING;
    NTSTATUS tuneEmpty = STATUS_PENDING;
    NTSTATUS stop = STATUS_PENDING;
    host::BdaSignalReading lockedSignal;
    host::BdaSignalReading emptySignal;
    uint64_t tunerHzWhileLocked = 0;
    uint64_t tunerHzAtTheEnd = 0;
    std::vector<std::string> answers;  // the request sweep's, one line each
    std::vector<Bytes> frames;
    std::vector<Bytes> bridgeFrames;
    std::vector<long long> sleeps;
    std::vector<std::string> debugLines;
    size_t filtersOpen = 0;
    size_t bdaContexts = 0;
    size_t driverPoolBytes = 0;
    size_t packetBlocks = 0;
    size_t linkBlocks = 0;
    std::vector<std::string> kernelErrors;
};

std::string Hex(const uint8_t* bytes, size_t count) {
    static const char kDigits[] = "0123456789abcdef";
    std::string text;
    for (size_t i = 0; i < count; ++i) {
        text += kDigits[bytes[i] >> 4];
        text += kDigits[bytes[i] & 15];
    }
    return text;
}

// A request's answer: status, bytes returned and the data buffer's content.
std::string Answer(const std::string& request, NTSTATUS status, ULONG returned, const Bytes& data) {
    return request + " -> " + std::to_string(static_cast<uint32_t>(status)) + " returned " +
           std::to_string(returned) + " [" + Hex(data.data(), data.size()) + "]";
}

struct NodeItem {
    const GUID* set;
    const char* name;
    ULONG id;
};

// Every node property the filter declares, and ids past them.
const NodeItem kNodeItems[] = {
    {&KSPROPSETID_BdaFrequencyFilter, "frequency", KSPROPERTY_BDA_RF_TUNER_FREQUENCY},
    {&KSPROPSETID_BdaFrequencyFilter, "frequency", KSPROPERTY_BDA_RF_TUNER_POLARITY},
    {&KSPROPSETID_BdaFrequencyFilter, "frequency", KSPROPERTY_BDA_RF_TUNER_BANDWIDTH},
    {&KSPROPSETID_BdaFrequencyFilter, "frequency", KSPROPERTY_BDA_RF_TUNER_FREQUENCY_MULTIPLIER},
    {&KSPROPSETID_BdaSignalStats, "signal", KSPROPERTY_BDA_SIGNAL_STRENGTH},
    {&KSPROPSETID_BdaSignalStats, "signal", KSPROPERTY_BDA_SIGNAL_QUALITY},
    {&KSPROPSETID_BdaSignalStats, "signal", KSPROPERTY_BDA_SIGNAL_PRESENT},
    {&KSPROPSETID_BdaSignalStats, "signal", KSPROPERTY_BDA_SIGNAL_LOCKED},
    {&KSPROPSETID_BdaDigitalDemodulator, "demodulator", KSPROPERTY_BDA_MODULATION_TYPE},
    {&KSPROPSETID_BdaDigitalDemodulator, "demodulator", KSPROPERTY_BDA_INNER_FEC_TYPE},
    {&KSPROPSETID_BdaDigitalDemodulator, "demodulator", KSPROPERTY_BDA_INNER_FEC_RATE},
    {&KSPROPSETID_BdaDigitalDemodulator, "demodulator", KSPROPERTY_BDA_OUTER_FEC_TYPE},
    {&KSPROPSETID_BdaDigitalDemodulator, "demodulator", KSPROPERTY_BDA_OUTER_FEC_RATE},
    {&KSPROPSETID_BdaDigitalDemodulator, "demodulator", KSPROPERTY_BDA_SYMBOL_RATE},
    {&KSPROPSETID_BdaDigitalDemodulator, "demodulator", KSPROPERTY_BDA_SPECTRAL_INVERSION},
    {&KSPROPSETID_BdaDigitalDemodulator, "demodulator", KSPROPERTY_BDA_GUARD_INTERVAL},
    {&KSPROPSETID_BdaDigitalDemodulator, "demodulator", KSPROPERTY_BDA_TRANSMISSION_MODE},
    {&KSPROPSETID_BdaDigitalDemodulator, "demodulator", 9},
};
// Values a set tries: accepted ones, refused ones, and the frequency window's edges.
constexpr ULONG kValues[] = {1, 3, 20, 99, 449999, 474400, 0xFFFFFFFF};

// Requests into every handler the filter has, on the filter and on the output pin, before the
// pins run. Commits only ever see frequencies outside the window or on empty channels, so no
// stream starts here.
std::vector<std::string> SweepRequests(host::BdaReceiverApplication& app) {
    std::vector<std::string> answers;
    host::KsHandle* handles[] = {app.Filter(), app.OutputPinHandle()};
    const char* handleNames[] = {"filter", "pin"};
    for (size_t h = 0; h < 2; ++h) {
        host::KsHandle& handle = *handles[h];
        for (const NodeItem& item : kNodeItems) {
            for (ULONG node : {app.TunerNode(), app.DemodulatorNode(), 2u}) {
                const std::string at = std::string(handleNames[h]) + " " + item.name + " " +
                                       std::to_string(item.id) + " node " + std::to_string(node);
                for (ULONG size : {4u, 3u, 8u}) {
                    Bytes data(size, 0xEE);
                    ULONG returned = 0;
                    const NTSTATUS status =
                        handle.Property({*item.set, item.id, KSPROPERTY_TYPE_GET, node, {}},
                                        data.data(), size, &returned);
                    answers.push_back(
                        Answer(at + " get " + std::to_string(size), status, returned, data));
                }
                for (ULONG value : kValues) {
                    Bytes data(sizeof value);
                    std::memcpy(data.data(), &value, sizeof value);
                    ULONG returned = 0;
                    const NTSTATUS status =
                        handle.Property({*item.set, item.id, KSPROPERTY_TYPE_SET, node, {}},
                                        data.data(), sizeof value, &returned);
                    answers.push_back(
                        Answer(at + " set " + std::to_string(value), status, returned, data));
                }
                Bytes support(sizeof(KSPROPERTY_DESCRIPTION) + 16, 0);
                ULONG returned = 0;
                const NTSTATUS status =
                    handle.Property({*item.set, item.id, KSPROPERTY_TYPE_BASICSUPPORT, node, {}},
                                    support.data(), static_cast<ULONG>(support.size()), &returned);
                answers.push_back(Answer(at + " support", status, returned, support));
            }
        }
    }
    // The change methods in and out of order, with short and full data.
    for (ULONG id : {3u, 2u, 1u, 0u, 1u, 3u, 2u, 3u, 7u}) {
        for (ULONG size : {0u, 2u, 4u}) {
            Bytes data(size, 0xEE);
            ULONG returned = 0;
            const NTSTATUS status = app.Filter()->Method(
                {KSMETHODSETID_BdaChangeSync, id, KSMETHOD_TYPE_SEND, std::nullopt, {}},
                size != 0 ? data.data() : nullptr, size, &returned);
            answers.push_back(
                Answer("change " + std::to_string(id) + " data " + std::to_string(size), status,
                       returned, data));
        }
    }
    // Topology creation for pairs of the template and others.
    for (const auto& [input, output] : {std::pair{0u, 1u}, std::pair{1u, 0u}, std::pair{0u, 5u}}) {
        host::KsRequestHeader header{KSMETHODSETID_BdaDeviceConfiguration,
                                     KSMETHOD_BDA_CREATE_TOPOLOGY, KSMETHOD_TYPE_SEND, std::nullopt,
                                     Bytes(8)};
        std::memcpy(header.instance.data(), &input, 4);
        std::memcpy(header.instance.data() + 4, &output, 4);
        ULONG returned = 0;
        const NTSTATUS status = app.Filter()->Method(header, nullptr, 0, &returned);
        answers.push_back(Answer("topology " + std::to_string(input) + "-" + std::to_string(output),
                                 status, returned, {}));
    }
    // Each pin's own range offered back to it, whole and cut short, into buffers of every size
    // around the format's.
    for (ULONG pin : {0u, 1u}) {
        std::vector<Bytes> ranges;
        answers.push_back(
            Answer("ranges " + std::to_string(pin), app.Filter()->DataRanges(pin, &ranges), 0, {}));
        for (const Bytes& range : ranges) {
            for (size_t cut : {range.size(), size_t{40}}) {
                host::KsRequestHeader header{
                    KSPROPSETID_Pin, KSPROPERTY_PIN_DATAINTERSECTION, KSPROPERTY_TYPE_GET,
                    std::nullopt, Bytes(8 + sizeof(KSMULTIPLE_ITEM) + ((cut + 7) & ~size_t{7}))};
                std::memcpy(header.instance.data(), &pin, 4);
                const KSMULTIPLE_ITEM list{
                    static_cast<ULONG>(sizeof(KSMULTIPLE_ITEM) + ((cut + 7) & ~size_t{7})), 1};
                std::memcpy(header.instance.data() + 8, &list, sizeof list);
                std::memcpy(header.instance.data() + 8 + sizeof list, range.data(), cut);
                for (ULONG size : {0u, 63u, 64u, 87u, 88u, 120u}) {
                    Bytes data(size, 0xEE);
                    ULONG returned = 0;
                    const NTSTATUS status = app.Filter()->Property(
                        header, size != 0 ? data.data() : nullptr, size, &returned);
                    answers.push_back(Answer("intersect " + std::to_string(pin) + " range " +
                                                 std::to_string(cut) + " into " +
                                                 std::to_string(size),
                                             status, returned, data));
                }
            }
        }
    }
    return answers;
}

SessionRun RunSession(host::DriverEntryFunction entry, sim::StreamTransfer transfer) {
    SessionRun r;
    {
        // The chips and the stick outlive the system, whose removal still reaches them.
        sim::Air air = sim::Air::Default();
        sim::TunerChip tuner;
        sim::DemodChip demod(air, [&tuner] { return tuner.TunedFrequencyHz(); });
        sim::I2cBus i2c;
        i2c.Attach(kDemodLowAddress, &demod);
        i2c.Attach(kDemodHighAddress, &demod);
        i2c.Attach(sim::TunerChip::kAddress, &tuner);
        auto firmware = std::make_shared<sim::BridgeFirmware>(i2c, true);
        sim::StickOptions options;
        options.state = sim::StickState::Running;
        options.streamTransfer = transfer;
        auto stick = std::make_shared<sim::Stick>(options);
        sim::AttachBridgeFirmware(stick, firmware);
        sim::TsGeneratorOptions stream;
        stream.realTime = false;
        stick->SetStreamSource(std::make_shared<sim::AirStreamSource>(demod, stream));

        kvstest::HostSystem system(host::ClockMode::Virtual, 4, entry);
        system.Plug(stick);
        kvstest::HostedDevice* device = system.Current();
        if (device == nullptr) return r;
        r.capabilities = device->ks->QueryCapabilities();
        device->ks->SetPower(PowerDeviceD3, PowerDeviceD0);
        device->ks->SetPower(PowerDeviceD0, PowerDeviceD3);
        {
            host::BdaReceiverApplication app(device->Device(), 8);
            r.open = app.Open();
            if (r.open == STATUS_SUCCESS) r.answers = SweepRequests(app);
            r.run = app.Run();
            r.tuneLocked = app.Tune(474000).Status();
            // The tune ends with a reset after which the demodulator acquires again.
            host::AdvanceVirtualTime(50 * 10000);
            app.Frames().WaitForFrames(kFramesTaken, 10000);
            r.frames = app.Frames().Take(kFramesTaken);
            r.lockedSignal = app.ReadSignal();
            r.tunerHzWhileLocked = tuner.TunedFrequencyHz();
            r.tuneEmpty = app.Tune(600000).Status();
            r.emptySignal = app.ReadSignal();
            r.tunerHzAtTheEnd = tuner.TunedFrequencyHz();
            r.stop = app.Stop();
            app.Close();
        }
        r.filtersOpen = host::KsFiltersOpen();
        r.bdaContexts = host::BdaFilterContextsAlive();
        r.bridgeFrames = firmware->Frames();
        stick->Unplug();
        system.WaitForPnpIdle();
        // The waits of a stop for its reads to end poll every 100 ms; how many polls that takes
        // is timing.
        for (long long ms : kvstest::HostSystem::SleepMilliseconds())
            if (ms != kReaderPollMs) r.sleeps.push_back(ms);
        r.debugLines = kvstest::HostSystem::DebugLines();
    }
    r.driverPoolBytes = kvstest::HostSystem::DriverPoolBytes();
    r.packetBlocks = kvstest::HostSystem::PacketPoolBlocks();
    r.linkBlocks = kvstest::HostSystem::LinkNamePoolBlocks();
    r.kernelErrors = kvstest::HostSystem::KernelErrors();
    return r;
}

class ApplicationSession : public KvsbdaImageTest,
                           public ::testing::WithParamInterface<sim::StreamTransfer> {};

TEST_P(ApplicationSession, TheImageDoesWhatTheHostBuildDoes) {
    const bool bulk = GetParam() == sim::StreamTransfer::Bulk;
    const SessionRun host = RunSession(nullptr, GetParam());
    ASSERT_EQ(host.tuneLocked, STATUS_SUCCESS);
    ASSERT_EQ(host.frames.size(), kFramesTaken);
    ASSERT_EQ(host.lockedSignal.locked, 1u);
    ASSERT_EQ(host.emptySignal.locked, 0u);
    ASSERT_GT(host.answers.size(), 1000u);

    const SessionRun image = RunSession(InstallImage(), GetParam());
    UninstallImage();
    EXPECT_EQ(FirstFault(), "");
    EXPECT_EQ(image.capabilities, host.capabilities);
    EXPECT_EQ(image.open, host.open);
    EXPECT_EQ(image.run, host.run);
    EXPECT_EQ(image.tuneLocked, host.tuneLocked);
    EXPECT_EQ(image.tuneEmpty, host.tuneEmpty);
    EXPECT_EQ(image.stop, host.stop);
    ASSERT_EQ(image.answers.size(), host.answers.size());
    for (size_t i = 0; i < host.answers.size(); ++i) EXPECT_EQ(image.answers[i], host.answers[i]);
    for (const auto& [a, b] : {std::pair{image.lockedSignal, host.lockedSignal},
                               std::pair{image.emptySignal, host.emptySignal}}) {
        EXPECT_EQ(a.strength, b.strength);
        EXPECT_EQ(a.present, b.present);
        EXPECT_EQ(a.quality, b.quality);
        EXPECT_EQ(a.locked, b.locked);
        EXPECT_EQ(a.status, b.status);
    }
    EXPECT_EQ(image.tunerHzWhileLocked, host.tunerHzWhileLocked);
    EXPECT_EQ(image.tunerHzAtTheEnd, host.tunerHzAtTheEnd);
    EXPECT_EQ(image.bridgeFrames, host.bridgeFrames);
    EXPECT_EQ(image.sleeps, host.sleeps);
    EXPECT_EQ(image.debugLines, host.debugLines);
    ASSERT_EQ(image.frames.size(), host.frames.size());
    for (size_t i = 0; i < host.frames.size(); ++i) {
        EXPECT_EQ(image.frames[i].size(), host.frames[i].size()) << "frame " << i;
        // An isochronous stop lets its reads drain: how many were still with the bus when the
        // demodulator locked, and took the stick's first packets, is timing.
        if (bulk) {
            EXPECT_TRUE(image.frames[i] == host.frames[i]) << "frame " << i;
        }
    }
    for (const SessionRun* run : {&host, &image}) {
        EXPECT_EQ(run->filtersOpen, 0u);
        EXPECT_EQ(run->bdaContexts, 0u);
        EXPECT_EQ(run->driverPoolBytes, 0u);
        EXPECT_EQ(run->packetBlocks, 0u);
        EXPECT_EQ(run->linkBlocks, 0u);
    }
    EXPECT_EQ(image.kernelErrors, host.kernelErrors);
}

INSTANTIATE_TEST_SUITE_P(Transfers, ApplicationSession,
                         ::testing::Values(sim::StreamTransfer::Bulk,
                                           sim::StreamTransfer::Isochronous),
                         [](const ::testing::TestParamInfo<sim::StreamTransfer>& info) {
                             return info.param == sim::StreamTransfer::Bulk ? "Bulk"
                                                                            : "Isochronous";
                         });

}  // namespace
}  // namespace kvsbda_image_test
