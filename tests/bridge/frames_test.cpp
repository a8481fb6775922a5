// Command frame layouts: exact bytes of the PID table and I2C frames, and the length limits.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <vector>

#include "bridge/bridge_frames.h"

using ::testing::ElementsAreArray;
using Bytes = std::vector<UCHAR>;

namespace {

Bytes PidFrame(const Bytes& pids, ULONG mode) {
    UCHAR frame[bridge_frame::kPidTableFrameCapacity];
    const ULONG length =
        BuildPidTableFrame(pids.data(), static_cast<ULONG>(pids.size() / 2), mode, frame);
    return Bytes(frame, frame + length);
}

Bytes SixteenEntries() {
    Bytes pids;
    for (UCHAR i = 0; i < 16; ++i) pids.insert(pids.end(), {static_cast<UCHAR>(0x10 + i), 0x01});
    return pids;
}

struct PidCase {
    const char* name;
    Bytes pids;
    ULONG mode;
    Bytes expected;
};

TEST(PidTableFrame, ExactBytes) {
    const PidCase cases[] = {
        {"one entry, mode 0", {0x11, 0x01}, 0, {0x03, 0x06, 0x00, 0x11, 0x01, 0x01, 0x20, 0x80}},
        {"two entries, mode 2",
         {0x00, 0x01, 0x12, 0x00},
         2,
         {0x03, 0x0A, 0x00, 0x00, 0x01, 0x01, 0x02, 0x12, 0x03, 0x00, 0x20, 0x83}},
        {"default table 0x1FFF", {0xFF, 0x1F}, 2, {0x03, 0x06, 0x00, 0xFF, 0x01, 0x1F, 0x20, 0x81}},
        {"mode 1", {0x11, 0x01}, 1, {0x03, 0x06, 0x00, 0x11, 0x01, 0x01, 0x20, 0xA0}},
        {"mode 7", {0x11, 0x01}, 7, {0x03, 0x06, 0x00, 0x11, 0x01, 0x01, 0x20, 0xA0}},
    };
    for (const PidCase& c : cases)
        EXPECT_THAT(PidFrame(c.pids, c.mode), ElementsAreArray(c.expected)) << c.name;
}

TEST(PidTableFrame, SixteenEntriesFillRegisters0To1F) {
    for (const auto& [mode, control] :
         {std::pair{0u, 0x9E}, std::pair{2u, 0x9F}, std::pair{3u, 0xA0}}) {
        const Bytes frame = PidFrame(SixteenEntries(), mode);
        ASSERT_EQ(frame.size(), 68u);
        EXPECT_EQ(frame[1], 66);
        for (UCHAR reg = 0; reg < 32; ++reg) EXPECT_EQ(frame[2 + 2 * reg], reg);
        EXPECT_EQ(frame[2 + 2 * 15 * 2 + 1], 0x1F);  // entry 15's first byte
        EXPECT_EQ(frame[66], 0x20);
        EXPECT_EQ(frame[67], control) << "mode " << mode;
    }
}

TEST(PidTableFrame, RefusesWhatDoesNotFit) {
    Bytes seventeen = SixteenEntries();
    seventeen.insert(seventeen.end(), {0x20, 0x01});
    UCHAR frame[bridge_frame::kPidTableFrameCapacity];
    EXPECT_EQ(BuildPidTableFrame(seventeen.data(), 17, 0, frame), 0u);
    EXPECT_EQ(BuildPidTableFrame(nullptr, 1, 0, frame), 0u);
    EXPECT_EQ(BuildPidTableFrame(seventeen.data(), 0, 0, frame), 0u);
}

TEST(I2cFrames, PassThroughFramesArePaddedTo64Bytes) {
    UCHAR pass[bridge_frame::kPassFrameBytes];
    std::fill(std::begin(pass), std::end(pass), 0xCC);
    const UCHAR data[] = {0xAA, 0xBB};
    ASSERT_EQ(BuildPassWriteFrame(0x32, 0x10, data, 2, pass), 64u);
    Bytes expected = {0x04, 0x04, 0x32, 0x10, 0xAA, 0xBB};
    expected.resize(64, 0);
    EXPECT_THAT(pass, ElementsAreArray(expected));

    ASSERT_EQ(BuildPassReadFrame(0x36, 0x20, 63, pass), 64u);
    expected = {0x84, 0x03, 0x36, 0x20, 63};
    expected.resize(64, 0);
    EXPECT_THAT(pass, ElementsAreArray(expected));
}

TEST(I2cFrames, LengthLimits) {
    const Bytes data(200, 0x5A);
    UCHAR block[bridge_frame::kI2cWriteFrameCapacity];
    UCHAR pass[bridge_frame::kPassFrameBytes];
    UCHAR read[bridge_frame::kI2cReadFrameBytes];
    struct {
        const char* name;
        ULONG built;
        ULONG expected;
    } cases[] = {
        {"I2C write 125", BuildI2cWriteFrame(0xC6, data.data(), 125, block), 128},
        {"I2C write 126", BuildI2cWriteFrame(0xC6, data.data(), 126, block), 0},
        {"pass write 60", BuildPassWriteFrame(0x32, 0, data.data(), 60, pass), 64},
        {"pass write 61", BuildPassWriteFrame(0x32, 0, data.data(), 61, pass), 0},
        {"pass read 63", BuildPassReadFrame(0x32, 0, 63, pass), 64},
        {"pass read 64", BuildPassReadFrame(0x32, 0, 64, pass), 0},
        {"read 63", BuildI2cReadFrame(0x32, 0, 63, read), 5},
        {"read 64", BuildI2cReadFrame(0x32, 0, 64, read), 0},
        {"read 0", BuildI2cReadFrame(0x32, 0, 0, read), 0},
        {"write without bytes", BuildI2cWriteFrame(0xC6, nullptr, 2, block), 0},
    };
    for (const auto& c : cases) EXPECT_EQ(c.built, c.expected) << c.name;
    // The largest block write still ends inside its buffer with the count byte right.
    BuildI2cWriteFrame(0xC6, data.data(), 125, block);
    EXPECT_EQ(block[1], 126);
    EXPECT_EQ(block[127], 0x5A);
}

}  // namespace
