// The simulated tuner decodes the programmed frequency from the registers the sequence writes;
// across the band it must match the request to within the synthesiser's step.
#include "sim/tuner_chip.h"

#include <gtest/gtest.h>

#include <cmath>

#include "tuner_test_support.h"

namespace {

using tuner_test::Recorder;

// Feeds every write of a tune to the chip model.
struct ChipSink {
    sim::TunerChip& chip;
    int writes = 0;
    int naks = 0;
    TunerWriteSink Sink() {
        return TunerWriteSink{[](void* c, const UCHAR* b, ULONG n) {
                                  auto* self = static_cast<ChipSink*>(c);
                                  ++self->writes;
                                  if (!self->chip.Write(kTunerI2cAddress, b, n)) ++self->naks;
                              },
                              [](void*, LONG) {}, this};
    }
};

void Tune(sim::TunerChip& chip, long frequencyKHz, long bandwidthMHz = 8) {
    auto state = std::make_unique<TunerState>();
    auto lists = std::make_unique<TunerRegisterLists>();
    ChipSink sink{chip};
    TunerProgramFrequency(*state, *lists, frequencyKHz, bandwidthMHz, sink.Sink());
    EXPECT_EQ(sink.writes, kTunerWritesPerTune);
    EXPECT_EQ(sink.naks, 0);
}

TEST(TunerChip, DecodesEveryChannelOfTheBand) {
    std::vector<long> frequencies = {450000, 880000};
    for (long kHz = 474000; kHz <= 858000; kHz += 8000) frequencies.push_back(kHz);
    sim::TunerChip chip;
    for (long kHz : frequencies) {
        SCOPED_TRACE(kHz);
        Tune(chip, kHz);
        const double requestedHz = kHz * 1000.0;
        ASSERT_GT(chip.ResolutionHz(), 0.0);
        EXPECT_LE(std::fabs(double(chip.TunedFrequencyHz()) - requestedHz), chip.ResolutionHz());
        EXPECT_TRUE(chip.Awake());
        EXPECT_EQ(chip.BandwidthMHz(), 8u);
    }
}

// Outside the UHF band the other dividers must decode too (one frequency per synthesiser band).
TEST(TunerChip, DecodesEverySynthesiserBand) {
    sim::TunerChip chip;
    for (long kHz : {41000L, 50000L, 70000L, 100000L, 150000L, 200000L, 260000L, 320000L, 400000L,
                     600000L, 899000L}) {
        SCOPED_TRACE(kHz);
        Tune(chip, kHz, 7);
        EXPECT_LE(std::fabs(double(chip.TunedFrequencyHz()) - kHz * 1000.0), chip.ResolutionHz());
        EXPECT_EQ(chip.BandwidthMHz(), 7u);
    }
}

TEST(TunerChip, SleepsOnRegister9ZeroAndWakesOnAnyOtherValue) {
    sim::TunerChip chip;
    EXPECT_FALSE(chip.Awake());
    EXPECT_EQ(chip.TunedFrequencyHz(), 0u);
    Tune(chip, 666000);
    const uint64_t tuned = chip.TunedFrequencyHz();
    EXPECT_NE(tuned, 0u);
    const uint8_t sleep[] = {9, 0x00, 0xFE};
    ASSERT_TRUE(chip.Write(0xC6, sleep, 3));
    EXPECT_FALSE(chip.Awake());
    EXPECT_EQ(chip.TunedFrequencyHz(), 0u);
    EXPECT_EQ(chip.SynthesizerFrequencyHz(), tuned);
    const uint8_t wake[] = {9, 0xF0, 0xFE};
    ASSERT_TRUE(chip.Write(0xC6, wake, 3));
    EXPECT_EQ(chip.TunedFrequencyHz(), tuned);
}

TEST(TunerChip, NaksMalformedTransactionsAndRecordsEveryWrite) {
    sim::TunerChip chip;
    const struct {
        uint8_t address;
        std::vector<uint8_t> bytes;
        bool acknowledged;
    } cases[] = {
        {0xC6, {14, 0x1C}, true}, {0xC6, {9, 0xF3, 0xFE}, true}, {0xC6, {25, 0x36, 0x00}, false},
        {0xC6, {14}, false},      {0xC6, {14, 1, 2, 3}, false},  {0xC4, {14, 0x55}, false},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(chip.Write(c.address, c.bytes.data(), c.bytes.size()), c.acknowledged);
    }
    EXPECT_EQ(chip.Register(14), 0x1C);
    EXPECT_EQ(chip.Register(25), 0x00);
    const auto writes = chip.Writes();
    ASSERT_EQ(writes.size(), std::size(cases));
    for (size_t i = 0; i < writes.size(); ++i) {
        EXPECT_EQ(writes[i].address, cases[i].address);
        EXPECT_EQ(writes[i].bytes, cases[i].bytes);
        EXPECT_EQ(writes[i].acknowledged, cases[i].acknowledged);
    }
    uint8_t value = 0x77;
    EXPECT_FALSE(chip.Read(0xC6, 14, &value, 1));
    EXPECT_EQ(value, 0x77);
}

// A long run tunes thousands of times: the record keeps the latest 65,536 writes, in order.
TEST(TunerChip, KeepsTheLatestWritesOfALongRun) {
    sim::TunerChip chip;
    constexpr size_t kKept = 1 << 16;
    for (size_t i = 0; i < kKept + 300; ++i) {
        const uint8_t bytes[] = {14, static_cast<uint8_t>(i)};
        chip.Write(0xC6, bytes, sizeof bytes);
    }
    const auto writes = chip.Writes();
    ASSERT_EQ(writes.size(), kKept);
    EXPECT_EQ(writes.front().bytes[1], static_cast<uint8_t>(300));
    EXPECT_EQ(writes.back().bytes[1], static_cast<uint8_t>(kKept + 299));
}

}  // namespace
