// One application session through the receiver filter with each build of the driver, on the
// virtual clock: the filter opened and both pins created and running, a tune that locks and
// frames taken from the output pin, a tune to an empty channel, the signal read after each, the
// pins stopped and closed, the stick unplugged. The Windows image must send the bridge the same
// frames in the same order as the host build, ask for the same delays, print the same debug
// lines and answer the application alike; on the bulk pipe it also delivers the same frames.
// Both return every pool byte and request packet after removal.
#include <gtest/gtest.h>

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
    NTSTATUS open = STATUS_PENDING;
    NTSTATUS run = STATUS_PENDING;
    NTSTATUS tuneLocked = STATUS_PENDING;
    NTSTATUS tuneEmpty = STATUS_PENDING;
    NTSTATUS stop = STATUS_PENDING;
    host::BdaSignalReading lockedSignal;
    host::BdaSignalReading emptySignal;
    uint64_t tunerHzWhileLocked = 0;
    uint64_t tunerHzAtTheEnd = 0;
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
        {
            host::BdaReceiverApplication app(device->Device(), 8);
            r.open = app.Open();
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

    const SessionRun image = RunSession(InstallImage(), GetParam());
    UninstallImage();
    EXPECT_EQ(FirstFault(), "");
    EXPECT_EQ(image.open, host.open);
    EXPECT_EQ(image.run, host.run);
    EXPECT_EQ(image.tuneLocked, host.tuneLocked);
    EXPECT_EQ(image.tuneEmpty, host.tuneEmpty);
    EXPECT_EQ(image.stop, host.stop);
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
