// Channel computation: band and schedule boundaries, the synthesiser arithmetic at known
// frequencies, refusals, and the filter switches.
#include "tuner/tuner_channel.h"

#include <gtest/gtest.h>

#include <map>

#include "tuner/tuner_init.h"
#include "tuner_test_support.h"

namespace {

using tuner_test::Control;
using tuner_test::LoadedState;

using Controls = std::map<uint16_t, uint32_t>;

struct ChannelCase {
    const char* name;
    uint32_t rfHz;
    uint16_t status;
    Controls expected;
};

class ChannelTest : public testing::TestWithParam<ChannelCase> {};

TEST_P(ChannelTest, SetsTheBandAndSynthesiserControls) {
    const ChannelCase& c = GetParam();
    auto state = LoadedState();
    EXPECT_EQ(TunerComputeChannel(*state, c.rfHz), c.status);
    EXPECT_EQ(state->rfHz, c.rfHz);
    for (const auto& [id, value] : c.expected) {
        EXPECT_EQ(Control(*state, id), value) << "control " << id;
    }
}

// Filter controls 78 to 83 after the table load: switches untouched.
const Controls kFiltersUntouched = {{78, 0}, {79, 0}, {80, 1}, {81, 1}, {82, 0}, {83, 0}};

INSTANTIATE_TEST_SUITE_P(
    Frequencies, ChannelTest,
    testing::Values(
        // The park frequency, every control of the computation.
        ChannelCase{
            "Park458MHz", 458000000, 0, {{51, 3},      {52, 1},  {53, 0}, {54, 0},  {55, 3},
                                         {56, 1},      {57, 0},  {58, 0}, {59, 1},  {60, 0},
                                         {61, 1},      {62, 1},  {63, 0}, {64, 38}, {65, 28},
                                         {66, 163840}, {67, 4},  {68, 0}, {69, 8},  {70, 7},
                                         {71, 1371},   {72, 30}, {85, 0}, {83, 0},  {80, 0},
                                         {78, 0},      {81, 0},  {79, 0}, {82, 1}}},
        // Auxiliary LO above 600 MHz: 1,714.5 truncates to 1714 and the correction adds one
        // (registers 108 and 109 at 858 MHz carry 1715).
        ChannelCase{"Top858MHz",
                    858000000,
                    0,
                    {{71, 1715}, {72, 12}, {56, 10}, {57, 1}, {69, 0}, {70, 7}, {83, 1}}},
        // The correction starts above an auxiliary LO of 600 MHz (RF 600.75 MHz).
        ChannelCase{"AuxAt600MHzUncorrected", 600750000, 0, {{69, 8}, {70, 7}, {71, 1800}}},
        ChannelCase{"AuxAbove600MHzCorrected", 600750001, 0, {{69, 0}, {70, 7}, {71, 1201}}},
        ChannelCase{"LowestBand40MHz",
                    40000000,
                    0,
                    {{51, 2},
                     {52, 3},
                     {53, 423},
                     {54, 1},
                     {55, 1},
                     {58, 1},
                     {59, 0},
                     {60, 0},
                     {61, 0},
                     {62, 1},
                     {63, 1},
                     {64, 13}}},
        ChannelCase{"Highest900MHz",
                    900000000,
                    0,
                    {{51, 3}, {52, 2}, {55, 3}, {58, 0}, {59, 1}, {60, 1}, {61, 1}, {63, 0}}},
        // Table A finds no row, so 51 to 55 keep their table values.
        ChannelCase{"Above900MHzRefused",
                    900000001,
                    0xFFFF,
                    {{51, 3}, {52, 1}, {53, 0}, {54, 0}, {55, 2}, {56, 0}, {57, 1}, {65, 0}}},
        ChannelCase{"LoopAt800MHz", 800000000, 0, {{56, 1}, {57, 0}}},
        ChannelCase{"LoopAbove800MHz", 800000001, 0, {{56, 10}, {57, 1}}},
        ChannelCase{"ZeroFractionAt50MHz", 50000000, 0, {{66, 0}, {68, 1}}},
        ChannelCase{"FirstFilterRowAt43MHz",
                    43000000,
                    0,
                    {{85, 0}, {83, 0}, {80, 1}, {78, 1}, {81, 0}, {79, 0}, {82, 0}}},
        ChannelCase{"NoFilterRowBelow43MHz",
                    42999999,
                    0,
                    {{85, 0}, {78, 0}, {79, 0}, {80, 1}, {81, 1}, {82, 0}, {83, 0}}},
        // Different filter rows, same synthesiser band (112 to 170 MHz, N = 16).
        ChannelCase{"FilterRowEndsBelow150MHz",
                    149999999,
                    0,
                    {{58, 0}, {59, 1}, {60, 0}, {63, 2}, {80, 1}, {78, 1}, {81, 0}, {79, 0}}},
        ChannelCase{"FilterRowStartsAt150MHz",
                    150000000,
                    0,
                    {{58, 0}, {59, 1}, {60, 0}, {63, 2}, {80, 0}, {78, 0}, {81, 1}, {79, 1}}}),
    [](const testing::TestParamInfo<ChannelCase>& info) { return info.param.name; });

TEST(TunerChannel, BelowTheLowestBandChangesNothing) {
    auto state = LoadedState();
    const TunerState before = *state;
    EXPECT_EQ(TunerComputeChannel(*state, 39999999), 0xFFFF);
    EXPECT_EQ(0, std::memcmp(state->channelControls, before.channelControls,
                             sizeof(before.channelControls)));
    EXPECT_EQ(0, std::memcmp(state->registers, before.registers, sizeof(before.registers)));
    for (const auto& [id, value] : kFiltersUntouched) EXPECT_EQ(Control(*state, id), value);
}

TEST(TunerChannel, ChangesOnlyTheChannelTable) {
    auto state = LoadedState();
    const TunerState before = *state;
    TunerComputeChannel(*state, 666000000);
    EXPECT_EQ(0,
              std::memcmp(state->initControls, before.initControls, sizeof(before.initControls)));
}

struct SwitchCase {
    uint8_t filterSwitch;
    uint8_t setting;
    Controls expected;  // controls 78 to 82 after the call; the rest keep the table values
};

TEST(TunerChannel, FilterSwitchesSetTheirControlPairs) {
    const SwitchCase cases[] = {
        {1, 0, {{82, 1}}},
        {1, 1, {{82, 0}}},
        {1, 3, {{82, 0}}},
        {1, 9, {{82, 0}}},
        {3, 0, {{81, 1}, {79, 1}}},
        {3, 1, {{81, 0}, {79, 0}}},
        {3, 3, {{81, 0}, {79, 1}}},
        {3, 2, {}},
        {4, 0, {{80, 1}, {78, 1}}},
        {4, 1, {{80, 0}, {78, 0}}},
        {4, 3, {{80, 0}, {78, 1}}},
        {4, 7, {}},
        {2, 0, {}},
        {0, 1, {}},
    };
    for (const SwitchCase& c : cases) {
        SCOPED_TRACE(testing::Message()
                     << "switch " << int(c.filterSwitch) << " setting " << int(c.setting));
        auto state = LoadedState();
        // Start from the opposite of every expectation so that each write is visible.
        for (uint16_t id = 78; id <= 82; ++id) TunerSetControlBoth(*state, id, 1);
        for (const auto& [id, value] : c.expected) TunerSetControlBoth(*state, id, value ^ 1);
        const TunerState before = *state;
        EXPECT_EQ(TunerSetFilterSwitch(*state, c.filterSwitch, c.setting), 0);
        for (uint16_t id = 78; id <= 82; ++id) {
            const auto it = c.expected.find(id);
            EXPECT_EQ(Control(*state, id),
                      it != c.expected.end() ? it->second : Control(before, id))
                << "control " << id;
        }
    }
}

// The IF synthesiser: exact-match rows by group, and the truncating fraction.
struct IfCase {
    uint8_t mode;
    uint8_t ifMode;
    uint32_t ifLoHz;
    uint32_t control12, control13, control14, control15;
};

TEST(TunerIfSynth, ProgramsTheIfDividerFromTheMatchingRow) {
    const IfCase cases[] = {
        {1, 0, 36125000, 4, 8, 22, 37888},
        {1, 0, 44000000, 8, 8, 22, 0},
        // 365,670 kHz: 22 x 16 MHz + 13,670 kHz; 13,670 x 65536 / 16,000 = 55,992.3
        {1, 0, 4063000, 5, 8, 22, 55992},
        {0, 1, 41000000, 8, 12, 20, 32768},
        // Group A rows do not apply in mode 1, nor group B rows in mode 0 with IF mode 1:
        // controls 12 and 13 keep their table values and the target is 0.
        {1, 0, 41000000, 8, 8, 0, 0},
        {0, 1, 36125000, 8, 8, 0, 0},
        {0, 2, 36125000, 8, 8, 0, 0},
        {1, 0, 36125001, 8, 8, 0, 0},
    };
    for (const IfCase& c : cases) {
        SCOPED_TRACE(testing::Message()
                     << "mode " << int(c.mode) << "/" << int(c.ifMode) << " at " << c.ifLoHz);
        auto state = LoadedState();
        state->mode = c.mode;
        state->ifMode = c.ifMode;
        state->ifLoHz = c.ifLoHz;
        EXPECT_EQ(TunerComputeIfSynth(*state), 0);
        EXPECT_EQ(Control(*state, 12), c.control12);
        EXPECT_EQ(Control(*state, 13), c.control13);
        EXPECT_EQ(Control(*state, 14), c.control14);
        EXPECT_EQ(Control(*state, 15), c.control15);
    }
}

}  // namespace
