// The tune sequence and the tuner power operations as they reach the wire: frame order of a whole
// tune, the tuner's register-9 writes, and that concurrent tunes do not interleave.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <thread>
#include <vector>

#include "bridge/bridge_channel.h"
#include "demod/demod_control.h"
#include "demod_stack.h"
#include "scripted_demod.h"

using ::testing::ElementsAre;
using Bytes = std::vector<uint8_t>;

namespace demod_test {
namespace {

Bytes Read(uint8_t address, uint8_t reg) {
    return {0x84, 0x03, address, reg, 0x01};
}
Bytes Write(uint8_t reg, uint8_t value, uint8_t address = 0x32) {
    return {0x05, 0x03, address, reg, value};
}
bool IsTunerWrite(const Bytes& frame) {
    return frame.size() >= 3 && frame[0] == 0x04 && frame[2] == 0xC6;
}

class TuneSequenceTest : public ::testing::Test {
  protected:
    void SetUp() override {
        chip.failTransfer = [this] { stack.FailNextReply(); };
    }

    // Soft reset as the wire shows it, with register 0x02 holding `reset` before.
    static void AppendReset(std::vector<Bytes>& frames, uint8_t reset) {
        for (int i = 0; i < 6; ++i) frames.push_back(Read(0x32, 0x00));
        frames.push_back(Read(0x32, 0x02));
        frames.push_back(Write(0x02, reset & 0xFE));
        frames.push_back(Write(0x02, reset | 0x01));
    }

    ScriptedDemod chip;
    DemodStack stack{chip};
};

TEST_F(TuneSequenceTest, TuneSendsResetTunerSetUpSearchAndFinalResetInOrder) {
    chip.fallback = {1, 1};
    chip.SetRegister(0x32, 0x02, 0x01);
    chip.SetRegister(0x32, 0x07, 0xFF);
    chip.SetRegister(0x32, 0xA2, 0x42);
    ASSERT_TRUE(DemodTune(stack.Device(), 474000, 8));
    const std::vector<Bytes> frames = stack.Frames();
    ASSERT_EQ(frames.size(), 9 + 55 + 14 + 4 + 9 + 2 + 2 + 9u);

    std::vector<Bytes> expected;
    AppendReset(expected, 0x01);
    std::vector<Bytes> tail = {Read(0x32, 0x07),  Write(0x07, 0xF3),       Write(0x09, 0xCB),
                               Write(0x0A, 0x6B), Write(0x0B, 0x28),       Write(0x0C, 0x2F),
                               Read(0x32, 0x07),  Write(0x07, 0x70),       Read(0x32, 0x03),
                               Write(0x03, 0x00), Read(0x32, 0x7E),        Write(0x7E, 0x01),
                               Read(0x36, 0xC5),  Write(0xC5, 0x00, 0x36), Read(0x32, 0x04),
                               Read(0x32, 0x37),  Write(0x04, 0x02),       Write(0x37, 0x00)};
    AppendReset(tail, 0x01);
    tail.push_back(Read(0x32, 0x4B));
    tail.push_back(Read(0x32, 0xA4));
    tail.push_back(Read(0x32, 0xA2));
    tail.push_back(Write(0x7D, 0x42));
    AppendReset(tail, 0x01);

    for (size_t i = 0; i < 9; ++i) EXPECT_EQ(frames[i], expected[i]) << "frame " << i;
    for (size_t i = 9; i < 9 + 55; ++i) EXPECT_TRUE(IsTunerWrite(frames[i])) << "frame " << i;
    for (size_t i = 0; i < tail.size(); ++i)
        EXPECT_EQ(frames[64 + i], tail[i]) << "frame " << 64 + i;
    EXPECT_EQ(stack.tuner.TunedFrequencyHz() / 1000000, 474u);
}

TEST_F(TuneSequenceTest, SetUpFailuresShowOnlyThroughTheSearch) {
    // Every set-up access fails; the sequence still runs the search and reports what it found.
    chip.accept = [](const Access& a) {
        return !(a.registerNumber == 0x07 || a.registerNumber == 0x03 || a.registerNumber == 0x09);
    };
    chip.fallback = {1, 1};
    EXPECT_TRUE(DemodTune(stack.Device(), 474000, 8));
    EXPECT_THAT(stack.Delays(), ElementsAre(5, 5, 5, 30, 5, 5, 5, 30, 20, 5, 5, 5));
    stack.ClearDelays();
    chip.fallback = {};
    EXPECT_FALSE(DemodTune(stack.Device(), 474000, 8));
    EXPECT_EQ(stack.Delays().size(), 3 + 1 + 3 * (3 + 20u));
}

TEST_F(TuneSequenceTest, WithoutADeviceNothingIsTuned) {
    EXPECT_FALSE(DemodTune(nullptr, 474000, 8));
    EXPECT_TRUE(stack.Frames().empty());
    EXPECT_TRUE(stack.Delays().empty());
}

TEST_F(TuneSequenceTest, WakeSleepAndParkReachTheTuner) {
    EXPECT_TRUE(TunerWake(stack.Device()));
    EXPECT_EQ(TunerDevice(), stack.Device());
    EXPECT_TRUE(TunerSleep(stack.Device()));
    EXPECT_THAT(stack.Frames(),
                ElementsAre(Bytes{0x04, 0x04, 0xC6, 0x09, 0xF0, 0xFE},
                            Bytes{0x04, 0x04, 0xC6, 0x09, 0x00, 0xFE}, Bytes{0x06, 0x00}));
    stack.ClearFrames();
    EXPECT_TRUE(ParkTuner());
    const auto frames = stack.Frames();
    EXPECT_EQ(frames.size(), 55u);
    EXPECT_EQ(stack.tuner.TunedFrequencyHz() / 1000000, 458u);
    EXPECT_THAT(stack.Delays(), ElementsAre(30));
}

TEST_F(TuneSequenceTest, ConcurrentTunesDoNotInterleave) {
    chip.fallback = {1, 1};
    chip.SetRegister(0x32, 0x02, 0x01);
    ASSERT_TRUE(DemodTune(stack.Device(), 530000, 8));
    const std::vector<Bytes> one = stack.Frames();
    stack.ClearFrames();

    bool results[2] = {};
    std::thread a([&] { results[0] = DemodTune(stack.Device(), 530000, 8); });
    std::thread b([&] { results[1] = DemodTune(stack.Device(), 530000, 8); });
    a.join();
    b.join();
    EXPECT_TRUE(results[0]);
    EXPECT_TRUE(results[1]);
    std::vector<Bytes> two = one;
    two.insert(two.end(), one.begin(), one.end());
    EXPECT_EQ(stack.Frames(), two);
}

}  // namespace
}  // namespace demod_test
