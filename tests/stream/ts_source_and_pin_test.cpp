// The pieces around the driver that the stream tests rely on: the checker must see every kind
// of damage, the file source must loop or end, and the host pin must hand frames as the
// kernel-streaming calls describe.
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <vector>

#include "platform/host/output_pin.h"
#include "sim/ts_checker.h"
#include "sim/ts_file_source.h"
#include "sim/ts_generator.h"

namespace {

std::vector<uint8_t> Generate(size_t packets) {
    sim::TsGenerator generator;
    std::vector<uint8_t> bytes(packets * 188);
    EXPECT_EQ(generator.Read(bytes.data(), bytes.size()), bytes.size());
    return bytes;
}

struct Damage {
    const char* name;
    void (*apply)(std::vector<uint8_t>& stream);
    uint64_t sim::TsCheckReport::*counter;
};

class CheckerSees : public ::testing::TestWithParam<Damage> {};

TEST_P(CheckerSees, DamageToAnOtherwiseCleanStream) {
    std::vector<uint8_t> stream = Generate(2048);
    sim::TsChecker clean;
    clean.AddFrame(stream.data(), stream.size());
    ASSERT_TRUE(clean.Clean()) << clean.Describe();

    GetParam().apply(stream);
    sim::TsChecker checker;
    checker.AddFrame(stream.data(), stream.size());
    EXPECT_GE(checker.Report().*GetParam().counter, 1u) << checker.Describe();
}

INSTANTIATE_TEST_SUITE_P(
    Kinds, CheckerSees,
    ::testing::Values(
        Damage{"LostPacket", [](auto& s) { s.erase(s.begin() + 700 * 188, s.begin() + 701 * 188); },
               &sim::TsCheckReport::sequenceErrors},
        Damage{"RepeatedPacket",
               [](auto& s) {
                   std::vector<uint8_t> copy(s.begin() + 700 * 188, s.begin() + 701 * 188);
                   s.insert(s.begin() + 701 * 188, copy.begin(), copy.end());
               },
               &sim::TsCheckReport::continuityErrors},
        Damage{"SixteenPacketsLost",  // the continuity counter comes round; the sequence does not
               [](auto& s) { s.erase(s.begin() + 700 * 188, s.begin() + 732 * 188); },
               &sim::TsCheckReport::sequenceErrors},
        Damage{"DamagedByte", [](auto& s) { s[900 * 188 + 100] ^= 0x01; },
               &sim::TsCheckReport::payloadErrors},
        Damage{"LostSync", [](auto& s) { s[1000 * 188] = 0x00; }, &sim::TsCheckReport::syncErrors},
        Damage{"CutFrame", [](auto& s) { s.pop_back(); }, &sim::TsCheckReport::partialFrames}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(TsChecker, StreamModeJoinsPacketsCutByFrameEnds) {
    const std::vector<uint8_t> stream = Generate(1000);
    sim::TsChecker checker({.wholePacketFrames = false});
    for (size_t at = 0; at < stream.size(); at += 1000) {
        checker.AddFrame(stream.data() + at, std::min<size_t>(1000, stream.size() - at));
    }
    EXPECT_TRUE(checker.Clean()) << checker.Describe();
    EXPECT_EQ(checker.Report().packets, 1000u);
}

// A stream joined inside a packet is found at the next packet start; a sync byte out of place
// later is one error, and the packets after it are found again.
TEST(TsChecker, StreamModeFindsPacketsWhereverTheStreamStartsAndAfterALostSync) {
    const std::vector<uint8_t> whole = Generate(1000);
    std::vector<uint8_t> stream(whole.begin() + 100, whole.end());
    // Fifty bytes of packet 500 go missing: packet 501 is found out of place.
    stream.erase(stream.begin() + 500 * 188, stream.begin() + 500 * 188 + 50);
    sim::TsChecker checker({.wholePacketFrames = false, .checkCounting = false});
    for (size_t at = 0; at < stream.size(); at += 777)
        checker.AddFrame(stream.data() + at, std::min<size_t>(777, stream.size() - at));
    const sim::TsCheckReport& report = checker.Report();
    EXPECT_EQ(report.syncErrors, 1u) << checker.Describe();
    EXPECT_EQ(report.skippedBytes, 88u + 138u) << checker.Describe();
    EXPECT_EQ(report.packets, 1000u - 2) << checker.Describe();
}

TEST(TsFileSource, LoopsOrEndsAndHandsWholePackets) {
    const std::vector<uint8_t> stream = Generate(10);
    const auto path = std::filesystem::temp_directory_path() /
                      ("kvsbda_src_" + std::to_string(::getpid()) + ".ts");
    std::ofstream(path, std::ios::binary).write(reinterpret_cast<const char*>(stream.data()), 1880);

    sim::TsFileSource looping(path.string());
    std::vector<uint8_t> out(4000);
    ASSERT_EQ(looping.Read(out.data(), 4000), 21u * 188);  // whole packets, round the end
    EXPECT_TRUE(std::equal(stream.begin(), stream.end(), out.begin()));
    EXPECT_TRUE(std::equal(stream.begin(), stream.end(), out.begin() + 1880));

    sim::TsFileSource once(path.string(), {.loop = false});
    EXPECT_EQ(once.Read(out.data(), 4000), 1880u);
    EXPECT_TRUE(once.Ended());
    EXPECT_EQ(once.Read(out.data(), 4000), 0u);
    EXPECT_FALSE(sim::TsFileSource("/nonexistent/kvsbda.ts").IsOpen());
    std::filesystem::remove(path);
}

TEST(HostOutputPin, FramesCompleteWhenFullOrEjectedAndArriveInOrder) {
    host::OutputPin pin({.frameBytes = 100, .frames = 2});
    PKSSTREAM_POINTER p =
        KsPinGetLeadingEdgeStreamPointer(pin.KsPin(), KSSTREAM_POINTER_STATE_LOCKED);
    ASSERT_NE(p, nullptr);
    EXPECT_EQ(p->OffsetOut.Remaining, 100u);
    std::memset(p->OffsetOut.Data, 1, 60);
    KsStreamPointerAdvanceOffsetsAndUnlock(p, 0, 60, FALSE);  // not full: stays the leading frame
    EXPECT_EQ(pin.FramesCompleted(), 0u);
    p = KsPinGetLeadingEdgeStreamPointer(pin.KsPin(), KSSTREAM_POINTER_STATE_LOCKED);
    EXPECT_EQ(p->OffsetOut.Remaining, 40u);
    std::memset(p->OffsetOut.Data, 2, 40);
    KsStreamPointerAdvanceOffsetsAndUnlock(p, 0, 40, FALSE);  // full: sent
    p = KsPinGetLeadingEdgeStreamPointer(pin.KsPin(), KSSTREAM_POINTER_STATE_LOCKED);
    std::memset(p->OffsetOut.Data, 3, 10);
    KsStreamPointerAdvanceOffsetsAndUnlock(p, 0, 10, TRUE);  // ejected as it is

    // Both frames are with the application: no leading edge until one is taken.
    EXPECT_EQ(KsPinGetLeadingEdgeStreamPointer(pin.KsPin(), KSSTREAM_POINTER_STATE_LOCKED),
              nullptr);
    EXPECT_EQ(pin.LeadingEdgeMisses(), 1u);
    const auto frames = pin.Take();
    ASSERT_EQ(frames.size(), 2u);
    std::vector<uint8_t> first(100, 2);
    std::fill_n(first.begin(), 60, 1);
    EXPECT_EQ(frames[0], first);
    EXPECT_EQ(frames[1], std::vector<uint8_t>(10, 3));
    EXPECT_EQ(pin.BytesCompleted(), 110u);

    pin.SetSupplying(false);
    EXPECT_EQ(KsPinGetLeadingEdgeStreamPointer(pin.KsPin(), KSSTREAM_POINTER_STATE_LOCKED),
              nullptr);
    pin.SetSupplying(true);
    p = KsPinGetLeadingEdgeStreamPointer(pin.KsPin(), KSSTREAM_POINTER_STATE_LOCKED);
    ASSERT_NE(p, nullptr);
    // A second lock while the first is held is the driver's mistake, and is counted.
    EXPECT_EQ(KsPinGetLeadingEdgeStreamPointer(pin.KsPin(), KSSTREAM_POINTER_STATE_LOCKED),
              nullptr);
    EXPECT_EQ(pin.Violations(), 1u);
    KsStreamPointerAdvanceOffsetsAndUnlock(p, 0, 0, FALSE);
}

}  // namespace
