// The firmware download against a stick in its boot state: frames on the wire, the replies that
// stop or do not stop it, and the start that follows.
#include <gtest/gtest.h>

#include <vector>

#include "bridge/bridge_channel.h"
#include "bridge/firmware_download.h"
#include "bridge/firmware_images.h"
#include "fake_bridge_stick.h"

using Bytes = std::vector<uint8_t>;

namespace {

class DownloadTest : public ::testing::Test {
  protected:
    void SetUp() override {
        InitializeBridgeChannel();
        InitializeFirmwareDownload();
        stick.firmware.SetStartedHook([this](const Bytes& rom, const Bytes& fw) {
            startedRom = rom;
            startedFw = fw;
            ++starts;
        });
    }
    void TearDown() override {
        InitializeBridgeChannel();
        InitializeFirmwareDownload();
    }

    FakeBridgeStick stick{false};
    Bytes startedRom, startedFw;
    int starts = 0;
};

TEST_F(DownloadTest, FirmwareReceivesBothImagesIntactWithThePatchedProductId) {
    PatchProductId(0x2000);
    ASSERT_TRUE(DownloadFirmware(stick.Device()));
    EXPECT_EQ(ChannelDevice(), stick.Device());
    ASSERT_EQ(starts, 1);
    const FirmwareImageData rom = EmbeddedFirmwareImage(kRomImageNumber);
    const FirmwareImageData fw = EmbeddedFirmwareImage(kFwImageNumber);
    Bytes expectedRom(rom.bytes, rom.bytes + rom.length);
    expectedRom[0x10A] = 0x00;
    expectedRom[0x10B] = 0x20;
    EXPECT_EQ(startedRom, expectedRom);
    EXPECT_EQ(startedFw, Bytes(fw.bytes, fw.bytes + fw.length));
}

TEST_F(DownloadTest, AlternativeAcceptByteIsAcceptedLikeTheUsualOne) {
    stick.firmware.SetAcceptReply(0x77);
    EXPECT_TRUE(DownloadFirmware(stick.Device()));
    EXPECT_EQ(starts, 1);
}

TEST_F(DownloadTest, MissingRepliesDoNotStopTheDownload) {
    // Every frame still goes out and the stick starts; but a frame whose reply was lost may have
    // been refused, so only a download whose every reply came back reports success.
    struct {
        const char* name;
        int dropped, empty;
        bool reported;
    } cases[] = {{"unanswered reads", 74, 0, false},
                 {"empty replies", 0, 74, true},
                 {"a few lost", 3, 2, false}};
    for (const auto& c : cases) {
        FakeBridgeStick fresh{false};
        SetChannelDevice(fresh.Device());
        fresh.firmware.DropReplies(c.dropped);
        fresh.firmware.EmptyReplies(c.empty);
        EXPECT_EQ(DownloadFirmware(fresh.Device()), c.reported) << c.name;
        EXPECT_EQ(fresh.Writes().size(), 75u) << c.name;
        EXPECT_TRUE(fresh.firmware.Running()) << c.name;
    }
}

TEST_F(DownloadTest, AStickThatNeverAnswersStillGetsEveryFrame) {
    stick.FailReads(1000);
    EXPECT_FALSE(DownloadFirmware(stick.Device())) << "the start command's reply is missing too";
    EXPECT_EQ(stick.Writes().size(), 75u);
}

TEST_F(DownloadTest, WrongReplyOrFailedWriteStopsAtThatFrame) {
    struct {
        const char* name;
        int goodFrames;
        bool failWrite;
        size_t writesSeen;
    } cases[] = {
        {"refused first rom.dat frame", 0, false, 1},
        {"refused sixth frame", 5, false, 6},
        {"refused first fw.bin frame", 11, false, 12},
        {"refused final fw.bin frame", 73, false, 74},
        {"failed write of the third frame", 2, true, 2},
        {"failed write of the final rom.dat frame", 10, true, 10},
    };
    for (const auto& c : cases) {
        FakeBridgeStick fresh{false};
        SetChannelDevice(fresh.Device());
        if (c.failWrite)
            fresh.FailWriteAt(c.goodFrames);
        else
            fresh.ReplyAt(c.goodFrames, 0x00);
        EXPECT_FALSE(DownloadFirmware(fresh.Device())) << c.name;
        EXPECT_EQ(fresh.Writes().size(), c.writesSeen) << c.name;
        // A refused frame had its reply read; a failed write has none.
        EXPECT_EQ(fresh.ReadLengths().size(), c.writesSeen) << c.name;
        EXPECT_FALSE(fresh.firmware.Running()) << c.name;
    }
}

}  // namespace
