// Tuning the simulated demodulator on the default air through the whole stack: which channels
// lock, at which step and attempt, what the stick then reports, and a search on an empty channel.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <numeric>

#include "demod/demod_control.h"
#include "demod_stack.h"
#include "sim/air.h"
#include "sim/air_signal.h"
#include "sim/demod_chip.h"

using ::testing::ElementsAre;

namespace demod_test {
namespace {

class AirTuneTest : public ::testing::Test {
  protected:
    sim::Air air = sim::Air::Default();
    DemodStack* stackRef = nullptr;
    sim::DemodChip chip{air, [this] { return stackRef->tuner.TunedFrequencyHz(); }};
    DemodStack stack{chip};
    void SetUp() override { stackRef = &stack; }
};

TEST_F(AirTuneTest, ChannelsLockAtTheStepTheirModeNeeds) {
    ASSERT_TRUE(DemodTune(stack.Device(), 474000, 8));
    auto seen = chip.GetObservations();
    ASSERT_TRUE(seen.lock.has_value());
    EXPECT_EQ(seen.lock->step, 0);
    EXPECT_EQ(seen.lock->attemptInStep, 1);
    // The final reset makes the chip acquire again, which takes the channel's detection and lock
    // times.
    EXPECT_EQ(chip.LockedTransmitter(), nullptr);
    host::AdvanceVirtualTime(35 * 10000);
    ASSERT_NE(chip.LockedTransmitter(), nullptr);
    EXPECT_EQ(chip.LockedTransmitter()->frequencyKHz, 474000u);
    EXPECT_THAT(sim::StatusReportFor(chip), ElementsAre(0xBB, 0, 1, 0xC8, 40, 0x00, 0));

    // Needs step 2 with the inversion that three failed step-0 attempts leave behind.
    ASSERT_TRUE(DemodTune(stack.Device(), 530000, 8));
    seen = chip.GetObservations();
    ASSERT_TRUE(seen.lock.has_value());
    EXPECT_EQ(seen.lock->step, 2);
    EXPECT_EQ(seen.lock->attemptInStep, 1);
    EXPECT_EQ(seen.lock->attemptsInSearch, 4);
    EXPECT_EQ(seen.inversionFlips, 3);

    ASSERT_TRUE(DemodTune(stack.Device(), 618000, 8));
    EXPECT_EQ(chip.GetObservations().lock->step, 4);
}

TEST_F(AirTuneTest, EmptyChannelSearchesInFullAndReportsNoLock) {
    stack.ClearDelays();
    EXPECT_FALSE(DemodTune(stack.Device(), 600000, 8));
    const auto delays = stack.Delays();
    // Reset, tuner pause, then three steps of reset and twenty first-stage polls.
    EXPECT_EQ(std::accumulate(delays.begin(), delays.end(), 0LL), 15 + 30 + 3 * (15 + 600));
    EXPECT_FALSE(chip.GetObservations().lock.has_value());
    EXPECT_EQ(chip.LockedTransmitter(), nullptr);
    EXPECT_THAT(sim::StatusReportFor(chip), ElementsAre(0xBB, 0, 0, 0, 0, 0, 0));

    // Parking leaves the channel: a lock held before is gone.
    ASSERT_TRUE(DemodTune(stack.Device(), 474000, 8));
    host::AdvanceVirtualTime(35 * 10000);
    ASSERT_NE(chip.LockedTransmitter(), nullptr);
    EXPECT_TRUE(ParkTuner());
    EXPECT_EQ(chip.LockedTransmitter(), nullptr);
}

// A transmitter with a rate of its own and a programme of a given length; the bridge's restart
// (command 0x06) begins the programme again at its first packet.
TEST_F(AirTuneTest, UnpacedProgrammeEndsAfterItsPacketsAndBeginsAgainOnRestart) {
    air.transmitters[0].bitsPerSecond = 0;
    air.transmitters[0].packets = 700;
    sim::TsGeneratorOptions paced;
    paced.bitsPerSecond = sim::kDmbtMaxBitsPerSecond;
    paced.realTime = true;
    sim::AirStreamSource source(chip, paced);
    ASSERT_TRUE(DemodTune(stack.Device(), 474000, 8));
    host::AdvanceVirtualTime(35 * 10000);
    ASSERT_NE(chip.LockedTransmitter(), nullptr);

    std::vector<uint8_t> stream(1000 * 188);
    // The first read leaves full however little time has passed; the programme then ends.
    EXPECT_EQ(source.Read(stream.data(), 512 * 188), 512u * 188);
    EXPECT_EQ(source.Read(stream.data() + 512 * 188, 512 * 188), 188u * 188);
    EXPECT_EQ(source.Read(stream.data(), 188), 0u);
    std::vector<uint8_t> again(188 * 3);
    source.Restart();
    ASSERT_EQ(source.Read(again.data(), again.size()), again.size());
    EXPECT_TRUE(std::equal(again.begin(), again.end(), stream.begin()));
}

TEST(AirTest, ParsesTransmittersAndRejectsBadText) {
    sim::Air air;
    std::string error;
    ASSERT_TRUE(sim::Air::Parse(
        "474000,mode=4,inversion=1,strength=0x1F04;506000,name=X,rate=0,packets=20000", air,
        error));
    ASSERT_EQ(air.transmitters.size(), 2u);
    EXPECT_FALSE(air.transmitters[0].bitsPerSecond.has_value());
    EXPECT_EQ(air.transmitters[0].packets, 0u);
    EXPECT_EQ(air.transmitters[1].bitsPerSecond, 0u);
    EXPECT_EQ(air.transmitters[1].packets, 20000u);
    EXPECT_EQ(air.transmitters[0].mode.searchModeBits, 0x01);
    EXPECT_TRUE(air.transmitters[0].mode.searchOption);
    EXPECT_TRUE(air.transmitters[0].mode.inversion);
    EXPECT_EQ(air.transmitters[0].strength, 0x1F04);
    EXPECT_EQ(air.transmitters[1].name, "X");
    EXPECT_EQ(air.Find(474'250'000)->frequencyKHz, 474000u);
    EXPECT_EQ(air.Find(474'251'000), nullptr);
    for (const char* bad : {"abc", "474000,mode=5", "474000,strength", "474000,foo=1", "0",
                            "474000,rate=-1", "474000,packets=1k"}) {
        EXPECT_FALSE(sim::Air::Parse(bad, air, error)) << bad;
    }
}

}  // namespace
}  // namespace demod_test

namespace demod_test {
namespace {

// The chip's strength reading is a 13-bit AGC level split over 0x3E (bits 7..0) and 0x3F
// (bits 12..8); it saturates at full scale, reads the noise floor on an empty channel, and the
// status report carries the same reading.
TEST(DemodChipStrength, RegistersHoldTheAgcReadingSplitOverTwoRegisters) {
    sim::Air air;
    std::string error;
    ASSERT_TRUE(sim::Air::Parse("474000,strength=0x1F04;530000,strength=0xFFFF", air, error));
    uint64_t tunedHz = 0;
    sim::DemodChip chip(
        air, [&] { return tunedHz; }, [] { return int64_t{1000}; });
    struct Case {
        uint64_t hz;
        uint8_t low;
        uint8_t high;
    };
    for (const Case& c :
         {Case{474000000, 0x04, 0x1F}, Case{530000000, 0xFF, 0x1F}, Case{600000000, 0x05, 0x00}}) {
        tunedHz = c.hz;
        uint8_t value[2] = {};
        ASSERT_TRUE(chip.Read(0x32, 0x3E, &value[0], 1));
        ASSERT_TRUE(chip.Read(0x32, 0x3F, &value[1], 1));
        EXPECT_EQ(value[0], c.low) << c.hz;
        EXPECT_EQ(value[1], c.high) << c.hz;
    }
    EXPECT_EQ(sim::StrengthReadingOf(&air.transmitters[1]), 0x1FFF);
}

}  // namespace
}  // namespace demod_test
