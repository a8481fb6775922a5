// The command channel over a stick's command pipes: what reaches the wire, what comes back to
// the caller when the write or the reply fails, and the limits that keep frames in their buffers.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "bridge/bridge_channel.h"
#include "fake_bridge_stick.h"
#include "platform/host/debug_log.h"

using ::testing::ElementsAre;
using ::testing::ElementsAreArray;
using ::testing::HasSubstr;
using Bytes = std::vector<uint8_t>;

namespace {

// A register file answering at one address.
class RegisterChip : public sim::I2cDevice {
  public:
    bool Write(uint8_t, const uint8_t* bytes, size_t count) override {
        for (size_t i = 1; i < count; ++i)
            registers[static_cast<uint8_t>(bytes[0] + i - 1)] = bytes[i];
        return true;
    }
    bool Read(uint8_t, uint8_t reg, uint8_t* out, size_t count) override {
        for (size_t i = 0; i < count; ++i) out[i] = registers[static_cast<uint8_t>(reg + i)];
        return true;
    }
    uint8_t registers[256] = {};
};

class ChannelTest : public ::testing::Test {
  protected:
    void SetUp() override {
        InitializeBridgeChannel();
        SetChannelDevice(stick.Device());
        stick.bus.Attach(0x32, &chip);
        host::ClearDebugLines();
    }
    void TearDown() override { InitializeBridgeChannel(); }

    std::string Debug() const {
        std::string all;
        for (const std::string& line : host::DebugLines()) all += line + "\n";
        return all;
    }

    FakeBridgeStick stick{true};
    RegisterChip chip;
};

TEST_F(ChannelTest, NothingReachesTheWireWithoutAChannelDevice) {
    InitializeBridgeChannel();
    UCHAR value = 0x04;
    const UCHAR frame[] = {0x06, 0x00};
    EXPECT_EQ(BridgeWrite(nullptr, kBridgeEndpointOut, frame, 2), 0u);
    EXPECT_EQ(BridgeRead(nullptr, kBridgeEndpointIn, &value, 1), 0u);
    EXPECT_FALSE(I2cRead(nullptr, 0x32, &value, 1));
    EXPECT_EQ(value, 0x04);
    EXPECT_FALSE(SendCommand06(nullptr));
    EXPECT_TRUE(stick.Writes().empty());
    EXPECT_TRUE(stick.ReadLengths().empty());
}

TEST_F(ChannelTest, ReferencesAreSetByBindAndClearedOnlyForTheirDevice) {
    FakeBridgeStick other{true};
    EXPECT_FALSE(BindChipDevices(nullptr));
    ASSERT_TRUE(BindChipDevices(stick.Device()));
    SetTunerDevice(other.Device());
    UnbindChipDevices(stick.Device());
    EXPECT_EQ(ChannelDevice(), nullptr);
    EXPECT_EQ(DemodDevice(), nullptr);
    EXPECT_EQ(TunerDevice(), other.Device());
}

TEST_F(ChannelTest, RegisterReadReturnsTheDataByteNeverTheLeadingByte) {
    chip.registers[0x04] = 0x9C;
    UCHAR value = 0x04;
    ASSERT_TRUE(I2cRead(nullptr, 0x32, &value, 1));
    EXPECT_EQ(value, 0x9C);
    EXPECT_THAT(stick.Writes().back(), ElementsAre(0x84, 0x03, 0x32, 0x04, 0x01));
    EXPECT_THAT(stick.ReadLengths(), ElementsAre(2u));
}

TEST_F(ChannelTest, FailedRegisterReadLeavesTheValueAlone) {
    UCHAR value = 0x04;
    stick.FailWrites(1);
    EXPECT_FALSE(I2cRead(nullptr, 0x32, &value, 1));
    EXPECT_EQ(value, 0x04);
    EXPECT_TRUE(stick.ReadLengths().empty()) << "no reply read after a failed write";
    EXPECT_THAT(Debug(), HasSubstr("KVS.BDA_DEBUG:  \xA1\xBE"
                                   "ERROR\xA1\xBF  IIC Write Error (status= 0xc0000001)."));

    stick.FailReads(1);
    EXPECT_FALSE(I2cRead(nullptr, 0x32, &value, 1));
    EXPECT_EQ(value, 0x04);
    EXPECT_THAT(Debug(), HasSubstr("IIC Read Error (status= 0xc0000120)."));

    stick.firmware.EmptyReplies(1);
    EXPECT_FALSE(I2cRead(nullptr, 0x32, &value, 1));
    EXPECT_EQ(value, 0x04);
}

TEST_F(ChannelTest, BlockWriteResultTellsWriteFailureFromLostAcknowledge) {
    const UCHAR bytes[] = {0x09, 0xF0, 0xFE};
    struct {
        const char* name;
        int failWrites, failReads, emptyReplies;
        UCHAR result;
        ULONG written;
    } cases[] = {
        {"acknowledged", 0, 0, 0, 1, 5},
        {"reply read failed", 0, 1, 0, 0xFF, 5},
        {"empty reply", 0, 0, 1, 0xFF, 5},
        {"write failed", 1, 0, 0, 0, 0xDEAD},
    };
    for (const auto& c : cases) {
        stick.FailWrites(c.failWrites);
        stick.FailReads(c.failReads);
        stick.firmware.EmptyReplies(c.emptyReplies);
        ULONG written = 0xDEAD;
        EXPECT_EQ(I2cWrite(nullptr, 0x32, bytes, 3, &written), c.result) << c.name;
        EXPECT_EQ(written, c.written) << c.name;
    }
    EXPECT_THAT(stick.Writes().front(), ElementsAre(0x04, 0x04, 0x32, 0x09, 0xF0, 0xFE));
    EXPECT_EQ(chip.registers[0x09], 0xF0);

    ULONG written = 0;
    const UCHAR pair[] = {0x02, 0x01};
    EXPECT_TRUE(I2cWriteRegister(nullptr, 0x32, pair, 2, &written));
    EXPECT_EQ(written, 4u);
    EXPECT_THAT(stick.Writes().back(), ElementsAre(0x05, 0x03, 0x32, 0x02, 0x01));
    stick.FailReads(1);
    EXPECT_FALSE(I2cWriteRegister(nullptr, 0x32, pair, 2, &written));
}

TEST_F(ChannelTest, LengthsBeyondTheFramesAreRefusedWithoutSending) {
    const Bytes data(200, 0x33);
    Bytes out(200, 0xEE);
    ULONG written = 0;
    UCHAR value = 0;
    EXPECT_EQ(I2cWrite(nullptr, 0xC6, data.data(), 126, &written), 0);
    EXPECT_EQ(I2cPassWrite(nullptr, 0x32, 0x10, 61, data.data()), 0);
    EXPECT_FALSE(I2cPassRead(nullptr, 0x32, 0x10, 64, out.data()));
    EXPECT_FALSE(I2cRead(nullptr, 0x32, &value, 64));
    EXPECT_FALSE(I2cWriteRegister(nullptr, 0x32, data.data(), 1, &written));
    EXPECT_TRUE(stick.Writes().empty());
    EXPECT_EQ(out[0], 0xEE);

    // At the limits the frames go out whole.
    EXPECT_EQ(I2cWrite(nullptr, 0xC6, data.data(), 125, &written), 1);
    EXPECT_EQ(stick.Writes().back().size(), 128u);
    EXPECT_EQ(written, 127u);
    EXPECT_EQ(I2cPassWrite(nullptr, 0x32, 0x10, 60, data.data()), 1);
    EXPECT_EQ(stick.Writes().back().size(), 64u);
    EXPECT_EQ(stick.Writes().back()[63], 0x33);
}

TEST_F(ChannelTest, PassReadHandsOnOnlyACompleteReply) {
    for (uint8_t i = 0; i < 63; ++i) chip.registers[i] = static_cast<uint8_t>(0x80 + i);
    Bytes out(63, 0);
    ASSERT_TRUE(I2cPassRead(nullptr, 0x32, 0x00, 63, out.data()));
    EXPECT_EQ(out[0], 0x80);
    EXPECT_EQ(out[62], 0x80 + 62);
    EXPECT_EQ(stick.ReadLengths().back(), 64u);

    // A NAK on the bus comes back as a reply the driver does not look into.
    stick.bus.NakNext(0x32);
    ASSERT_TRUE(I2cPassRead(nullptr, 0x32, 0x00, 2, out.data()));
    EXPECT_EQ(out[0], 0x00);

    Bytes untouched(4, 0xEE);
    stick.FailReads(1);
    EXPECT_FALSE(I2cPassRead(nullptr, 0x32, 0x00, 4, untouched.data()));
    EXPECT_THAT(untouched, ElementsAre(0xEE, 0xEE, 0xEE, 0xEE));
}

TEST_F(ChannelTest, PidTableLoadSendsTheTableThenCommand06) {
    const UCHAR pids[] = {0xFF, 0x1F};
    EXPECT_TRUE(LoadPidTable(nullptr, pids, 1, 2));
    ASSERT_EQ(stick.Writes().size(), 2u);
    EXPECT_THAT(stick.Writes()[0], ElementsAre(0x03, 0x06, 0x00, 0xFF, 0x01, 0x1F, 0x20, 0x81));
    EXPECT_THAT(stick.Writes()[1], ElementsAre(0x06, 0x00));
    EXPECT_THAT(stick.ReadLengths(), ElementsAre(5u, 5u));
    EXPECT_TRUE(stick.firmware.Pids().Accept(0x0100)) << "mode 2 passes the whole stream";

    const UCHAR filter[] = {0x11, 0x01, 0x00, 0x00};
    EXPECT_TRUE(LoadPidTable(nullptr, filter, 2, 0));
    EXPECT_TRUE(stick.firmware.Pids().Accept(0x0111));
    EXPECT_TRUE(stick.firmware.Pids().Accept(0x0000));
    EXPECT_FALSE(stick.firmware.Pids().Accept(0x0100));

    // No entries: only command 0x06. Too many: nothing at all.
    const size_t before = stick.Writes().size();
    EXPECT_TRUE(LoadPidTable(nullptr, nullptr, 0, 2));
    EXPECT_THAT(stick.Writes().back(), ElementsAre(0x06, 0x00));
    const Bytes seventeen(34, 0x10);
    EXPECT_FALSE(LoadPidTable(nullptr, seventeen.data(), 17, 0));
    EXPECT_EQ(stick.Writes().size(), before + 1);
}

TEST_F(ChannelTest, CommandsReadAFiveByteReplyAndReportOnlyWhetherOneCame) {
    const UCHAR raw[] = {0x42, 0x01, 0x02};
    EXPECT_TRUE(BridgeCommand(raw, sizeof(raw)));
    EXPECT_THAT(stick.Writes().back(), ElementsAreArray(raw));
    stick.firmware.EmptyReplies(1);
    EXPECT_FALSE(StartFirmware());
    EXPECT_THAT(stick.Writes().back(), ElementsAre(0x8A, 0x00));
    EXPECT_FALSE(BridgeCommand(raw, 0));
    EXPECT_THAT(stick.ReadLengths(), ElementsAre(5u, 5u));
}

}  // namespace
