// The tuner through the whole driver on a simulated stick: the sequence as it reaches the
// chip through the bridge's I2C gateway, overlapping tunes and power writes, and the frequency
// the chip ends up on.
#include <gtest/gtest.h>

#include <atomic>
#include <cmath>
#include <memory>
#include <thread>

#include "bridge/bridge_channel.h"
#include "demod/demod_control.h"
#include "sim/bridge_firmware.h"
#include "sim/i2c_bus.h"
#include "sim/stick.h"
#include "sim/tuner_chip.h"
#include "support/host_system.h"
#include "tuner/tuner_sequence.h"
#include "tuner_test_support.h"

namespace {

using Bytes = std::vector<uint8_t>;

// The writes of a tune as the chip must receive them (the pause left out).
std::vector<Bytes> ExpectedWrites(long frequencyKHz, long bandwidthMHz) {
    std::vector<Bytes> writes;
    for (const tuner_test::Event& e : tuner_test::Program(frequencyKHz, bandwidthMHz)) {
        if (!e.bytes.empty()) writes.push_back(e.bytes);
    }
    return writes;
}

class TunerStackTest : public testing::Test {
  protected:
    void SetUp() override {
        bus.Attach(sim::TunerChip::kAddress, &tuner);
        firmware = std::make_shared<sim::BridgeFirmware>(bus, true);
        sim::StickOptions options;
        options.state = sim::StickState::Running;
        stick = std::make_shared<sim::Stick>(options);
        stick->SetCommandProcessor(firmware);
        system = std::make_unique<kvstest::HostSystem>(host::ClockMode::Virtual);
        system->Plug(stick);
        ASSERT_NE(system->Current(), nullptr);
        ASSERT_EQ(TunerDevice(), system->Current()->Device());
        firmware->ClearFrames();
        tuner.ClearWrites();
        host::ClearRecordedDelays();
    }
    void TearDown() override { system.reset(); }

    std::vector<Bytes> ChipWrites() const {
        std::vector<Bytes> writes;
        for (const auto& w : tuner.Writes()) {
            EXPECT_TRUE(w.acknowledged);
            writes.push_back(w.bytes);
        }
        return writes;
    }

    sim::TunerChip tuner;
    sim::I2cBus bus;
    std::shared_ptr<sim::BridgeFirmware> firmware;
    std::shared_ptr<sim::Stick> stick;
    std::unique_ptr<kvstest::HostSystem> system;
};

TEST_F(TunerStackTest, ParkReachesTheChipByteForByte) {
    EXPECT_EQ(TunerSetFrequency(458000, 8), 1);
    EXPECT_EQ(ChipWrites(), ExpectedWrites(458000, 8));
    // Each register is its own I2C block-write frame to 0xC6.
    const auto frames = firmware->Frames();
    ASSERT_EQ(frames.size(), 55u);
    EXPECT_EQ(frames.front(), (Bytes{0x04, 0x04, 0xC6, 0x09, 0xB1, 0xFE}));
    EXPECT_EQ(frames[1], (Bytes{0x04, 0x03, 0xC6, 11, 0x16}));
    EXPECT_EQ(host::RecordedDelayMilliseconds(host::DelayKind::Sleep), std::vector<LONGLONG>{30});
    EXPECT_NEAR(double(tuner.TunedFrequencyHz()), 458e6, tuner.ResolutionHz());
}

TEST_F(TunerStackTest, PowerWritesGoToTheGivenDevice) {
    EXPECT_EQ(TunerWriteControlRegister(0xF0), 0u);
    EXPECT_TRUE(TunerSleep(system->Current()->Device()));
    EXPECT_EQ(ChipWrites(), (std::vector<Bytes>{{9, 0xF0, 0xFE}, {9, 0x00, 0xFE}}));
    EXPECT_FALSE(tuner.Awake());
    EXPECT_TRUE(TunerWake(system->Current()->Device()));
    EXPECT_TRUE(tuner.Awake());
}

// Two threads tune while a third wakes and sleeps the tuner: every tune reaches the chip as one
// unbroken run of its 55 writes, and the power writes fall only between tunes.
TEST_F(TunerStackTest, OverlappingTunesNeverInterleave) {
    constexpr int kTunes = 4;
    const long frequencies[2] = {458000, 858000};
    const std::vector<Bytes> expected[2] = {ExpectedWrites(458000, 8), ExpectedWrites(858000, 8)};
    PKSDEVICE device = system->Current()->Device();
    std::atomic<bool> go{false};
    auto tuneLoop = [&](int which) {
        while (!go) std::this_thread::yield();
        for (int i = 0; i < kTunes; ++i) TunerSetFrequency(frequencies[which], 8);
    };
    std::thread a(tuneLoop, 0), b(tuneLoop, 1);
    std::thread power([&] {
        while (!go) std::this_thread::yield();
        for (int i = 0; i < kTunes; ++i) {
            TunerWriteControlRegisterFor(device, 0xF0);
            std::this_thread::yield();
            TunerWriteControlRegisterFor(device, 0x00);
        }
    });
    go = true;
    a.join();
    b.join();
    power.join();

    const std::vector<Bytes> writes = ChipWrites();
    ASSERT_EQ(writes.size(), 2u * kTunes * 55 + 2 * kTunes);
    int tunes[2] = {0, 0};
    int powerWrites = 0;
    for (size_t i = 0; i < writes.size();) {
        if (writes[i] == Bytes{9, 0xF0, 0xFE} || writes[i] == Bytes{9, 0x00, 0xFE}) {
            ++powerWrites;
            ++i;
            continue;
        }
        // A tune starts here; it is the 458 or the 858 MHz one, told apart by register 14.
        ASSERT_LE(i + 55, writes.size());
        const int which = writes[i + 25] == expected[0][25] ? 0 : 1;
        const std::vector<Bytes> run(writes.begin() + i, writes.begin() + i + 55);
        ASSERT_EQ(run, expected[which]) << "tune interrupted at write " << i;
        ++tunes[which];
        i += 55;
    }
    EXPECT_EQ(tunes[0], kTunes);
    EXPECT_EQ(tunes[1], kTunes);
    EXPECT_EQ(powerWrites, 2 * kTunes);
    EXPECT_TRUE(system->KernelErrors().empty());
}

}  // namespace
