// Signal strength and quality as the driver reports them: from the status record while locked,
// from the demodulator's strength registers while not, with the bytes they consume and the
// commands they send. The examples and band edges of the maps, one table each.
#include "bridge/signal_figures.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <vector>

#include "bridge/bridge_channel.h"
#include "bridge/signal_status.h"
#include "fake_bridge_stick.h"

namespace {

using ::testing::ElementsAre;
using Bytes = std::vector<uint8_t>;

// The demodulator's register file at 0x32 with scripted values; reads are logged and may fail.
class StrengthRegisters : public sim::I2cDevice {
  public:
    bool Write(uint8_t, const uint8_t*, size_t) override { return true; }
    bool Read(uint8_t, uint8_t reg, uint8_t* out, size_t count) override {
        reads.push_back(reg);
        if (reg == failing) return false;
        for (size_t i = 0; i < count; ++i) out[i] = registers[static_cast<uint8_t>(reg + i)];
        return true;
    }
    uint8_t registers[256] = {};
    std::vector<uint8_t> reads;
    int failing = -1;
};

class SignalFigures : public ::testing::Test {
  protected:
    void SetUp() override {
        InitializeBridgeChannel();
        InitializeSignalStatus();
        BindChipDevices(stick.Device());
        stick.bus.Attach(0x32, &chip);
    }
    void TearDown() override {
        InitializeBridgeChannel();
        InitializeSignalStatus();
    }
    // A report as the interrupt reader hands it on (lock, strength low, quality, strength high).
    static void Report(UCHAR lock, UCHAR low, UCHAR quality, UCHAR high) {
        const UCHAR report[7] = {0xBB, 0, lock, low, quality, high, 0};
        ASSERT_TRUE(DecodeStatusReport(report));
    }
    size_t Commands06() const {
        size_t count = 0;
        for (const Bytes& frame : stick.Writes()) count += frame == Bytes{0x06, 0x00} ? 1 : 0;
        return count;
    }

    FakeBridgeStick stick{true};
    StrengthRegisters chip;
};

struct LockedStrength {
    UCHAR low;
    UCHAR high;
    UCHAR figure;
};

TEST_F(SignalFigures, LockedStrengthMapsTheReportedReadingAndConsumesIt) {
    const LockedStrength cases[] = {
        {0x64, 0x00, 74},  // raw 100
        {0x05, 0x1F, 85},  // raw 7941
        {0x90, 0x01, 50},  // raw 400
        {0x58, 0x02, 69},  // raw 600: outside every band
        {0x57, 0x00, 69},  // raw 87
        {0x58, 0x00, 70},  // raw 88
        {0x80, 0x01, 60},  // raw 384
        {0x81, 0x01, 51},  // raw 385
        {0x00, 0x02, 50},  // raw 512
        {0x00, 0x1F, 80},  // raw 7936
        {0xFF, 0x1F, 87},  // raw 8191
        {0x00, 0x20, 69},  // raw 8192
    };
    for (const LockedStrength& c : cases) {
        Report(1, c.low, 0, c.high);
        EXPECT_EQ(GetSignalStrength(stick.Device()), c.figure)
            << std::hex << unsigned(c.high) << ":" << unsigned(c.low);
        // The bytes are consumed: until the next report a locked stick reads 69.
        EXPECT_EQ(GetSignalStrength(stick.Device()), 69);
    }
    EXPECT_TRUE(chip.reads.empty());
    EXPECT_EQ(Commands06(), 0u);
}

struct UnlockedStrength {
    UCHAR a;  // register 0x3E
    UCHAR b;  // register 0x3F
    UCHAR figure;
};

// Unlocked: registers 0x00, 0x00, 0x3E into one byte, 0x3F into another, then command 06; the
// high register is shifted by seven.
TEST_F(SignalFigures, UnlockedStrengthMeasuresTheDemodulatorRegisters) {
    const UnlockedStrength cases[] = {
        {0x10, 0x02, 60},  // raw 272
        {0x05, 0x00, 20},  // raw 5
        {0x57, 0x00, 22},  // raw 87
        {0x00, 0x03, 60},  // raw 384
        {0x01, 0x03, 51},  // raw 385
        {0x00, 0x3E, 80},  // raw 7936
        {0x7F, 0x3F, 87},  // raw 8191
        {0x80, 0x01, 70},  // raw 128: bit 0 of 0x3F and bit 7 of 0x3E meet in bit 7
    };
    for (const UnlockedStrength& c : cases) {
        chip.reads.clear();
        chip.registers[0x3E] = c.a;
        chip.registers[0x3F] = c.b;
        const size_t commands = Commands06();
        EXPECT_EQ(GetSignalStrength(stick.Device()), c.figure)
            << std::hex << unsigned(c.b) << ":" << unsigned(c.a);
        EXPECT_THAT(chip.reads, ElementsAre(0x00, 0x00, 0x3E, 0x3F));
        EXPECT_EQ(Commands06(), commands + 1);
    }
    // A failed read leaves its byte as it was: 0x3F never read gives B = 0.
    chip.registers[0x3E] = 0x10;
    chip.registers[0x3F] = 0x02;
    chip.failing = 0x3F;
    EXPECT_EQ(GetSignalStrength(stick.Device()), 15);  // raw 16, low 0
}

// A locked report earlier does not keep the figure from the record once the lock flag is cleared:
// the registers are measured, and the record's strength bytes are cleared all the same.
TEST_F(SignalFigures, ClearedLockFlagSendsStrengthToTheRegisters) {
    Report(1, 0x64, 40, 0x00);
    SetLockFlag(0);
    chip.registers[0x3E] = 0x05;
    EXPECT_EQ(GetSignalStrength(stick.Device()), 20);
    EXPECT_THAT(chip.reads, ElementsAre(0x00, 0x00, 0x3E, 0x3F));
    UCHAR record[kStatusRecordBytes];
    ReadStatusRecord(record);
    EXPECT_EQ(record[kStatusStrengthLow], 0);
    EXPECT_EQ(record[kStatusQuality], 40);
}

struct QualityCase {
    UCHAR quality;
    bool locked;
    UCHAR figure;
};

TEST_F(SignalFigures, QualityMapsTheReportedByte) {
    const QualityCase cases[] = {
        {0, true, 30},   {2, true, 32},   {3, true, 89},   {102, true, 50},
        {105, true, 70}, {200, true, 42}, {230, true, 30}, {255, true, 30},
        {20, false, 10}, {14, false, 19}, {15, false, 5},  {0, false, 5},
    };
    for (const QualityCase& c : cases) {
        Report(c.locked ? 1 : 0, 0, c.quality, 0);
        const size_t commands = Commands06();
        EXPECT_EQ(GetSignalQuality(stick.Device()), c.figure) << unsigned(c.quality);
        // Unlocked, every quality query sends command 06; locked, none does.
        EXPECT_EQ(Commands06(), commands + (c.locked ? 0 : 1));
        // Consumed: a second query sees 0.
        EXPECT_EQ(GetSignalQuality(stick.Device()), c.locked ? 30 : 5);
    }
}

}  // namespace
