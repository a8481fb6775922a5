// Register access and set-up of the demodulator: which address serves a register, what each
// set-up step writes, and the result code each failed access gives.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <functional>
#include <vector>

#include "demod/demod_control.h"
#include "demod_stack.h"
#include "scripted_demod.h"

using ::testing::ElementsAre;
using Bytes = std::vector<uint8_t>;

namespace demod_test {
namespace {

class DemodSetupTest : public ::testing::Test {
  protected:
    void SetUp() override {
        chip.failTransfer = [this] { stack.FailNextReply(); };
    }

    // Fails the first access that matches.
    void FailFirst(bool write, uint8_t reg) {
        chip.accept = [write, reg, done = false](const Access& a) mutable {
            if (done || a.write != write || a.registerNumber != reg) return true;
            done = true;
            return false;
        };
    }

    ScriptedDemod chip;
    DemodStack stack{chip};
};

TEST_F(DemodSetupTest, RegistersFromC0AreReadAtTheSecondAddress) {
    chip.SetRegister(0x32, 0xBF, 0x11);
    chip.SetRegister(0x36, 0xC0, 0x22);
    UCHAR low = 0;
    UCHAR high = 0;
    EXPECT_EQ(DemodReadRegister(0xBF, &low), kDemodOk);
    EXPECT_EQ(DemodReadRegister(0xC0, &high), kDemodOk);
    EXPECT_EQ(low, 0x11);
    EXPECT_EQ(high, 0x22);
    EXPECT_THAT(stack.Frames(), ElementsAre(Bytes{0x84, 0x03, 0x32, 0xBF, 0x01},
                                            Bytes{0x84, 0x03, 0x36, 0xC0, 0x01}));

    FailFirst(false, 0x10);
    UCHAR value = 0x5A;
    EXPECT_EQ(DemodReadRegister(0x10, &value), kDemodReadFailed);
    EXPECT_EQ(value, 0x5A);
    EXPECT_EQ(DemodReadRegister(0x10, nullptr), kDemodReadFailed);
}

TEST_F(DemodSetupTest, SetUpWritesTheFixedValuesAndKeepsTheOtherBits) {
    chip.SetRegister(0x32, 0x07, 0xFF);
    chip.SetRegister(0x32, 0x03, 0xFF);
    chip.SetRegister(0x32, 0x7E, 0x00);
    chip.SetRegister(0x36, 0xC5, 0xFF);
    EXPECT_EQ(DemodLoadDefaults(0), kDemodOk);
    EXPECT_EQ(DemodSetMode07(0), kDemodOk);
    EXPECT_EQ(DemodConfigure(), kDemodOk);
    EXPECT_EQ(chip.Register(0x32, 0x07), 0x70);
    EXPECT_EQ(chip.Register(0x32, 0x09), 0xCB);
    EXPECT_EQ(chip.Register(0x32, 0x0A), 0x6B);
    EXPECT_EQ(chip.Register(0x32, 0x0B), 0x28);
    EXPECT_EQ(chip.Register(0x32, 0x0C), 0x2F);
    EXPECT_EQ(chip.Register(0x32, 0x03), 0xFE);
    EXPECT_EQ(chip.Register(0x32, 0x7E), 0x01);
    EXPECT_EQ(chip.Register(0x36, 0xC5), 0xE0);

    chip.SetRegister(0x32, 0x07, 0x44);
    EXPECT_EQ(DemodSetMode07(1), kDemodOk);
    EXPECT_EQ(chip.Register(0x32, 0x07), 0xC7);
    EXPECT_EQ(DemodSetMode07(2), kDemodOk);
    EXPECT_EQ(chip.Register(0x32, 0x07), 0xC7);
    stack.ClearFrames();
    EXPECT_EQ(DemodLoadDefaults(2), kDemodSetupFailed);
    EXPECT_TRUE(stack.Frames().empty());
}

struct FailureCase {
    const char* name;
    bool write;
    uint8_t reg;
    std::function<UCHAR()> operation;
    UCHAR expected;
};

TEST_F(DemodSetupTest, EachFailedAccessGivesItsCode) {
    const FailureCase cases[] = {
        {"reset probe read", false, 0x00, DemodSoftReset, kDemodOk},
        {"reset read", false, 0x02, DemodSoftReset, kDemodReadFailed},
        {"reset write", true, 0x02, DemodSoftReset, kDemodWriteFailed},
        {"mode read", false, 0x07, [] { return DemodSetMode07(0); }, kDemodSetupFailed},
        {"mode write", true, 0x07, [] { return DemodSetMode07(0); }, kDemodWriteFailed},
        {"defaults read", false, 0x07, [] { return DemodLoadDefaults(0); }, kDemodSetupFailed},
        {"defaults write", true, 0x0B, [] { return DemodLoadDefaults(0); }, kDemodSetupFailed},
        {"configure read", false, 0xC5, DemodConfigure, kDemodSetupFailed},
        {"configure write", true, 0x7E, DemodConfigure, kDemodSetupFailed},
    };
    for (const FailureCase& c : cases) {
        FailFirst(c.write, c.reg);
        EXPECT_EQ(c.operation(), c.expected) << c.name;
    }
    // A failed defaults write stops the block there.
    chip.SetRegister(0x32, 0x0C, 0x00);
    FailFirst(true, 0x0B);
    DemodLoadDefaults(0);
    EXPECT_EQ(chip.Register(0x32, 0x0C), 0x00);
}

}  // namespace
}  // namespace demod_test
