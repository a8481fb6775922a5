// Register model: control widths and refusals, bit placement over shared registers, reading
// controls and collecting lists.
#include <gtest/gtest.h>

#include "tuner/tuner_tables.h"
#include "tuner_test_support.h"

namespace {

using tuner_test::Control;
using tuner_test::LoadedState;
using tuner_test::Shadow;

struct RegisterExpectation {
    uint16_t address;
    uint8_t mask;   // bits that must equal `value`
    uint8_t value;  // the bits outside `mask` must keep their previous value
};

struct SetCase {
    const char* name;
    uint16_t id;
    uint32_t before;  // value set first (in both tables) to give the bits a known state
    uint32_t value;
    uint16_t table;
    uint16_t status;
    uint32_t readBack;
    std::vector<RegisterExpectation> registers;
};

class SetControlTest : public testing::TestWithParam<SetCase> {};

TEST_P(SetControlTest, ChangesOnlyTheControlsBits) {
    const SetCase& c = GetParam();
    auto state = LoadedState();
    ASSERT_EQ(TunerSetControlBoth(*state, c.id, c.before), 0);
    const TunerState before = *state;

    EXPECT_EQ(TunerSetControl(*state, c.id, c.value, c.table), c.status);
    for (const RegisterExpectation& r : c.registers) {
        const uint8_t old = Shadow(before, r.address);
        const uint8_t now = Shadow(*state, r.address);
        EXPECT_EQ(now & r.mask, r.value & r.mask) << "register " << r.address;
        EXPECT_EQ(now & ~r.mask & 0xFF, old & ~r.mask & 0xFF) << "register " << r.address;
    }
    // Registers not named keep their value.
    for (int i = 0; i < kTunerRegisterCount; ++i) {
        const uint16_t address = state->registers[i].address;
        bool named = false;
        for (const RegisterExpectation& r : c.registers) named |= r.address == address;
        if (!named) {
            EXPECT_EQ(state->registers[i].value, before.registers[i].value) << address;
        }
    }
    EXPECT_EQ(Control(*state, c.id), c.readBack);
}

INSTANTIATE_TEST_SUITE_P(
    Controls, SetControlTest,
    testing::Values(
        SetCase{"NineBitsRefuse512", 53, 0, 512, 2, 0xFFFF, 0, {{68, 0x00, 0}, {69, 0x00, 0}}},
        SetCase{"NineBitsTake511", 53, 0, 511, 2, 0, 511, {{69, 0xE0, 0xE0}, {68, 0x3F, 0x3F}}},
        SetCase{"SixteenBitsOverwriteAll",
                15,
                0xFFFF,
                0x9400,
                1,
                0,
                0x9400,
                {{13, 0xFF, 0x00}, {12, 0xFF, 0x94}}},
        SetCase{"EighteenBitsOverThreeRegisters",
                66,
                0x3FFFF,
                163840,
                2,
                0,
                163840,
                {{17, 0xC0, 0x00}, {16, 0xFF, 0x00}, {15, 0xFF, 0xA0}}},
        SetCase{"InitControlInChannelTableIsIgnored", 12, 31, 8, 2, 0, 31, {{43, 0x00, 0}}},
        SetCase{"InitControlInInitTable", 12, 31, 8, 1, 0, 8, {{43, 0xF8, 0x40}}},
        SetCase{"UnknownTableIsIgnored", 12, 31, 8, 3, 0, 31, {{43, 0x00, 0}}},
        SetCase{"SingleBitRefuses2", 77, 1, 2, 2, 0xFFFF, 1, {{136, 0x00, 0}}}),
    [](const testing::TestParamInfo<SetCase>& info) { return info.param.name; });

TEST(TunerModel, SetControlBothAddsTheRefusalOfTheHoldingTable) {
    auto state = LoadedState();
    EXPECT_EQ(TunerSetControlBoth(*state, 53, 512), 0xFFFF);
    EXPECT_EQ(TunerSetControlBoth(*state, 53, 300), 0);
    EXPECT_EQ(TunerSetControlBoth(*state, 99, 1), 0);
}

TEST(TunerModel, ReadsTableValuesAndRefusesUnknownIds) {
    auto state = LoadedState();
    ULONG value = 0;
    EXPECT_EQ(TunerGetControl(*state, 15, value), 0);
    EXPECT_EQ(value, 24576u);
    EXPECT_EQ(TunerGetControl(*state, 66, value), 0);
    EXPECT_EQ(value, 196608u);
    value = 1234;
    EXPECT_EQ(TunerGetControl(*state, 99, value), 1);
    EXPECT_EQ(value, 1234u);
    EXPECT_EQ(TunerGetControl(*state, 45, value), 1);
    EXPECT_EQ(value, 1234u);
}

TEST(TunerModel, ChannelListAfterLoadCarriesTheDefaults) {
    auto state = LoadedState();
    UCHAR addresses[kTunerListCapacity] = {};
    UCHAR values[kTunerListCapacity];
    std::fill(std::begin(values), std::end(values), 0xAA);
    LONG count = 0;
    EXPECT_EQ(TunerBuildChannelRegisterList(*state, addresses, values, count), 0);
    ASSERT_EQ(count, 26);
    for (int i = 0; i < count; ++i) {
        EXPECT_EQ(addresses[i], kTunerChannelRegisterList[i]);
        for (const TunerRegisterDefault& d : kTunerRegisterDefaults) {
            if (d.address == addresses[i]) {
                EXPECT_EQ(values[i], d.value) << int(addresses[i]);
            }
        }
    }
    EXPECT_EQ(values[21], 0x33);  // register 149
    EXPECT_EQ(values[26], 0xAA);  // beyond the list: untouched
}

TEST(TunerModel, MissingRegisterIsCountedAndItsSlotLeftAlone) {
    auto state = LoadedState();
    // Take registers 166 and 168 out of the shadow.
    for (TunerRegister& r : state->registers) {
        if (r.address == 166 || r.address == 168) r.address = 250;
    }
    UCHAR addresses[kTunerListCapacity] = {};
    UCHAR values[kTunerListCapacity];
    std::fill(std::begin(values), std::end(values), 0xAA);
    LONG count = 0;
    EXPECT_EQ(TunerBuildChannelRegisterList(*state, addresses, values, count), 2);
    EXPECT_EQ(addresses[23], 166);
    EXPECT_EQ(values[23], 0xAA);
    EXPECT_EQ(values[24], 0x03);  // 167 is still found
    EXPECT_EQ(values[25], 0xAA);
    // A control whose register is not in the shadow changes only its own bits.
    EXPECT_EQ(TunerSetControlBoth(*state, 31, 7), 0);
    EXPECT_EQ(Control(*state, 31), 7u);
    // The init list runs the initialisation first and adds its misses to its status.
    EXPECT_EQ(TunerBuildInitRegisterList(*state, addresses, values, count), 2);
    EXPECT_EQ(count, 23);
}

}  // namespace
