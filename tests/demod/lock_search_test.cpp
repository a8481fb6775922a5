// The lock search against a scripted demodulator: which settings are tried, how often each
// register is polled, what is flipped, what the search waits, and how access failures end it.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <numeric>
#include <utility>
#include <vector>

#include "demod/demod_control.h"
#include "demod_stack.h"
#include "scripted_demod.h"

using ::testing::ElementsAre;
using ::testing::ElementsAreArray;

namespace demod_test {
namespace {

using Setting = std::pair<int, int>;  // register 0x04 bits 1..0, register 0x37 bit 7

class LockSearchTest : public ::testing::Test {
  protected:
    void SetUp() override {
        chip.failTransfer = [this] { stack.FailNextReply(); };
        chip.SetRegister(0x32, 0x04, 0xFC);
        chip.SetRegister(0x32, 0x37, 0x7F);
        chip.SetRegister(0x32, 0x7C, 0x95);
        chip.SetRegister(0x32, 0xA2, 0x3C);
    }

    // The settings written before each attempt, in order.
    std::vector<Setting> SettingsTried() const {
        std::vector<Setting> settings;
        int searchMode = -1;
        for (const Access& a : chip.Log()) {
            if (!a.write || !a.ok) continue;
            if (a.registerNumber == 0x04) searchMode = a.value & 0x03;
            if (a.registerNumber == 0x37) settings.emplace_back(searchMode, a.value & 0x80);
        }
        return settings;
    }
    size_t Count(bool write, uint8_t reg) const {
        size_t n = 0;
        for (const Access& a : chip.Log()) n += a.write == write && a.registerNumber == reg;
        return n;
    }
    static std::vector<long long> Attempt(int detectPoll, int lockPolls, bool locked) {
        std::vector<long long> delays{5, 5, 5};
        delays.insert(delays.end(), detectPoll, 30);
        delays.insert(delays.end(), lockPolls, 20);
        if (locked) delays.insert(delays.end(), {5, 5, 5});
        return delays;
    }

    ScriptedDemod chip;
    DemodStack stack{chip};
};

const Setting kStep0{2, 0x00};
const Setting kStep2{0, 0x00};
const Setting kStep4{1, 0x80};

TEST_F(LockSearchTest, NoDetectionPollsEachTriedStepTwentyTimesAndGivesUp) {
    EXPECT_EQ(DemodAcquireLock(), kDemodNoLock);
    EXPECT_THAT(SettingsTried(), ElementsAre(kStep0, kStep2, kStep4));
    EXPECT_EQ(Count(false, 0x4B), 60u);
    EXPECT_EQ(Count(false, 0xA4), 0u);
    EXPECT_EQ(Count(true, 0x7C), 0u);
    std::vector<long long> expected;
    for (int i = 0; i < 3; ++i) {
        const auto attempt = Attempt(20, 0, false);
        expected.insert(expected.end(), attempt.begin(), attempt.end());
    }
    EXPECT_EQ(stack.Delays(), expected);
}

TEST_F(LockSearchTest, DetectionWithoutLockRunsEachStepThreeTimesFlippingTheInversion) {
    chip.fallback.detectOnPoll = 1;
    EXPECT_EQ(DemodAcquireLock(), kDemodNoLock);
    EXPECT_THAT(SettingsTried(), ElementsAre(kStep0, kStep0, kStep0, kStep2, kStep2, kStep2, kStep4,
                                             kStep4, kStep4));
    EXPECT_EQ(Count(true, 0x7C), 9u);
    EXPECT_EQ(Count(false, 0xA4), 90u);
    // Nine flips leave bit 7 inverted; the other bits are kept.
    EXPECT_EQ(chip.Register(0x32, 0x7C), 0x15);
    EXPECT_EQ(Count(true, 0x7D), 0u);
}

TEST_F(LockSearchTest, WorstCaseWaitsStayWithinTheSearchBound) {
    // Detection on the last first-stage poll, never a lock: the longest search there is.
    chip.fallback.detectOnPoll = 20;
    EXPECT_EQ(DemodAcquireLock(), kDemodNoLock);
    const auto delays = stack.Delays();
    EXPECT_EQ(std::accumulate(delays.begin(), delays.end(), 0LL), 9 * (15 + 600 + 200));
}

TEST_F(LockSearchTest, LockOnFirstSecondStagePollCopiesTheLockValueAndResets) {
    chip.fallback = {1, 1};
    EXPECT_EQ(DemodAcquireLock(), kDemodOk);
    EXPECT_EQ(chip.Register(0x32, 0x04), 0xFE);
    EXPECT_EQ(chip.Register(0x32, 0x37), 0x7F);
    EXPECT_EQ(chip.Register(0x32, 0x7D), 0x3C);
    EXPECT_EQ(chip.Register(0x32, 0x7C), 0x95);
    EXPECT_EQ(chip.AttemptsStarted(), 2);  // the attempt's reset and the final one
    EXPECT_EQ(stack.Delays(), Attempt(1, 1, true));
    // The final reset follows the copy to 0x7D.
    const auto log = chip.Log();
    size_t copy = 0;
    while (copy < log.size() && !(log[copy].write && log[copy].registerNumber == 0x7D)) ++copy;
    ASSERT_LT(copy + 9, log.size() + 1);
    for (size_t i = 1; i <= 6; ++i) EXPECT_EQ(log[copy + i].registerNumber, 0x00);
    EXPECT_EQ(log[copy + 7].registerNumber, 0x02);
    EXPECT_EQ(log[copy + 9].registerNumber, 0x02);
    EXPECT_EQ(log[copy + 9].value & 1, 1);
}

TEST_F(LockSearchTest, RetryCounterCarriesOverWhenAStepEndsWithoutDetection) {
    // Step 0: one attempt without lock, then one without detection. Step 2 then gets only the
    // two attempts the shared counter leaves, and step 4 locks.
    chip.attempts = {{1, {}}, {{}, {}}, {1, {}}, {1, {}}, {1, 1}};
    EXPECT_EQ(DemodAcquireLock(), kDemodOk);
    EXPECT_THAT(SettingsTried(), ElementsAre(kStep0, kStep0, kStep2, kStep2, kStep4));
    EXPECT_EQ(Count(true, 0x7C), 3u);
}

TEST_F(LockSearchTest, FailedPollNeverCountsAsAFlagSeenUnderEarlierSettings) {
    // Attempt 1 locks but the copy to 0x7D fails, so the search moves on. In attempt 2 every lock
    // status read fails: that must not be taken for the lock seen in attempt 1.
    chip.attempts = {{1, 1}, {1, {}}};
    int a4Reads = 0;
    int copies = 0;
    chip.accept = [&](const Access& a) {
        if (a.write && a.registerNumber == 0x7D && ++copies == 1) return false;
        if (!a.write && a.registerNumber == 0xA4 && ++a4Reads > 1) return false;
        return true;
    };
    EXPECT_EQ(DemodAcquireLock(), kDemodNoLock);
    EXPECT_EQ(copies, 1);
    // Attempt 2 (step 2) ran all ten polls and flipped the inversion; then nothing detects.
    EXPECT_EQ(Count(false, 0xA4), 11u);
    EXPECT_EQ(Count(true, 0x7C), 1u);
}

TEST_F(LockSearchTest, RegisterFailureInsideTheSearchEndsItAtOnce) {
    chip.accept = [](const Access& a) { return a.write || a.registerNumber != 0x37; };
    EXPECT_EQ(DemodAcquireLock(), kDemodNoLock);
    EXPECT_EQ(Count(false, 0x4B), 0u);
    EXPECT_EQ(Count(true, 0x04), 0u);

    chip.accept = [](const Access& a) { return !(a.write && a.registerNumber == 0x7C); };
    chip.fallback.detectOnPoll = 1;
    EXPECT_EQ(DemodAcquireLock(), kDemodNoLock);
    EXPECT_EQ(Count(false, 0xA4), 10u);
}

}  // namespace
}  // namespace demod_test
