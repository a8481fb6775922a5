// Initialisation controls 1 to 40 from the tuner settings.
#include "tuner/tuner_init.h"

#include "tuner/tuner_status_sum.h"

namespace {

// Power-up and operating-mode selection (controls 1, 2, 3, 4, 6 and 38), by mode.
constexpr TunerControlValue kModeNonzeroControls[] = {{1, 1}, {2, 0}, {3, 3},
                                                      {4, 1}, {6, 0}, {38, 0}};
constexpr TunerControlValue kModeZeroControls[] = {{1, 0}, {2, 1}, {3, 2}, {4, 0}, {6, 1}, {38, 0}};

// Channel filter bandwidth: control 7 for a nonzero mode, control 5 for mode 0 (by IF mode).
struct BandwidthRow {
    ULONG bandwidthHz;
    UCHAR control7;
    UCHAR control5IfMode0;
    UCHAR control5Otherwise;
};
constexpr BandwidthRow kBandwidthRows[] = {
    {6000000, 3, 5, 2},
    {7000000, 2, 4, 1},
    {8000000, 0, 3, 0},
};

// Output level points; the position of a match is the value of control 10 (8 is never used).
struct LevelPointRow {
    USHORT levelPoint;
    UCHAR control10;
};
constexpr LevelPointRow kLevelPointRows[] = {
    {55, 0},  {72, 1},   {92, 2},   {110, 3},  {129, 4},  {147, 5},  {168, 6},  {194, 7},
    {212, 9}, {232, 10}, {252, 11}, {271, 12}, {292, 13}, {317, 14}, {349, 15},
};

// Bias and filter group settings (controls 27 to 35), applied in this order.
constexpr TunerControlValue kGroupEnabledControls[] = {{27, 1}, {28, 1}, {29, 1}, {30, 1}, {32, 2},
                                                       {31, 3}, {33, 1}, {34, 0}, {35, 12}};
constexpr TunerControlValue kProfile1Controls[] = {{27, 1}, {28, 1}, {29, 1}, {30, 1}, {32, 3},
                                                   {31, 5}, {33, 1}, {34, 2}, {35, 13}};
constexpr TunerControlValue kGroupDisabledControls[] = {{27, 1}, {28, 1}, {29, 0}, {30, 1}};

// IF output stage switches (controls 18 to 21).
constexpr UCHAR kIfStageLowIf[] = {1, 1, 1, 0};
constexpr UCHAR kIfStageNominal[] = {1, 1, 1, 1};
constexpr UCHAR kIfStageHighIf[] = {0, 1, 1, 1};
constexpr UCHAR kIfStageOff[] = {0, 0, 0, 0};

void SetIfStage(TunerStatusSum& sum, const UCHAR* values) {
    for (USHORT i = 0; i < 4; ++i) sum.Set(static_cast<USHORT>(18 + i), values[i]);
}

ULONG MegahertzRoundedUp(ULONG hz) {
    return hz / 1000000 + (hz % 1000000 != 0 ? 1 : 0);
}

}  // namespace

USHORT TunerEnableFixedControls(TunerState& state) {
    TunerStatusSum sum(state);
    sum.Set(37, 1);
    sum.Set(74, 1);
    sum.Set(75, 1);
    sum.Set(76, 1);
    return sum.Sum();
}

USHORT TunerComputeInit(TunerState& state) {
    TunerStatusSum sum(state);
    sum.Add(TunerEnableFixedControls(state));

    if (state.mode != 0) {
        sum.SetAll(kModeNonzeroControls);
    } else {
        sum.SetAll(kModeZeroControls);
    }

    for (const BandwidthRow& row : kBandwidthRows) {
        if (row.bandwidthHz != state.bandwidthHz) continue;
        if (state.mode != 0) {
            sum.Set(7, row.control7);
        } else {
            sum.Set(5, state.ifMode == 0 ? row.control5IfMode0 : row.control5Otherwise);
        }
        break;
    }

    sum.Set(8, state.mode != 0 ? 5 : 8);
    sum.Set(9, 1);
    sum.Set(40, 0);

    if (state.levelMode == 0) {
        sum.Set(10, 15);
        sum.Set(11, 15);
    } else {
        sum.Set(11, state.mode != 0 ? 15 : 12);
    }
    for (const LevelPointRow& row : kLevelPointRows) {
        if (row.levelPoint == state.levelPoint) {
            sum.Set(10, row.control10);
            break;
        }
    }

    sum.Add(TunerComputeIfSynth(state));

    if (state.ifLoad == 200) {
        sum.Set(16, 6);
        sum.Set(17, 2);
    } else if (state.ifLoad == 300) {
        sum.Set(16, 4);
        sum.Set(17, 1);
    }

    const ULONG ifOut = state.ifOutHz;
    if (state.mode != 0) {
        if (ifOut >= 4000000 && ifOut <= 6280000) {
            SetIfStage(sum, kIfStageLowIf);
        } else if (ifOut == 36125000 || ifOut == 36150000) {
            SetIfStage(sum, kIfStageNominal);
        } else if (ifOut > 36150000) {
            SetIfStage(sum, kIfStageHighIf);
        }
    } else {
        if (ifOut >= 4000000 && ifOut <= 5000000) {
            SetIfStage(sum, kIfStageLowIf);
        } else if (ifOut > 5000000) {
            SetIfStage(sum, kIfStageOff);
        }
    }

    sum.Set(22, state.flag22 != 0 ? 1 : 0);
    if (state.flag23 == 1 || state.flag23 == 0) sum.Set(23, state.flag23);
    sum.Set(24, state.flag24 != 0 ? 1 : 0);

    const ULONG xtal = state.xtalHz;
    if (xtal >= 12000000 && xtal <= 16000000) {
        sum.Set(25, 1);
    } else if (xtal > 16000000 && xtal <= 32000000) {
        sum.Set(25, 0);
    }
    if (xtal >= 12000000 && xtal <= 22000000) {
        sum.Set(26, 3);
    } else if (xtal > 22000000 && xtal <= 32000000) {
        sum.Set(26, 0);
    }

    sum.Set(36, (state.mode == 0 && state.ifMode == 1) ? 0 : 1);
    sum.Set(39, MegahertzRoundedUp(xtal));

    if (state.groupEnable != 0) sum.SetAll(kGroupEnabledControls);
    if (state.profile == 1) {
        sum.SetAll(kProfile1Controls);
        sum.Set(6, ifOut > 6280000 ? 1 : 0);
    }
    if (state.groupEnable == 0) sum.SetAll(kGroupDisabledControls);
    return sum.Sum();
}
