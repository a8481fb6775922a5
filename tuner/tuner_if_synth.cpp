// IF synthesiser: band controls 12 and 13 and the target frequency from the IF LO frequency,
// then the integer (14) and fractional (15) divider controls against the crystal.
#include "tuner/tuner_init.h"
#include "tuner/tuner_model.h"

namespace {

enum class IfGroup : UCHAR {
    // Rows for mode 0 with IF mode 1.
    A,
    // Rows for a nonzero mode, or mode 0 with IF mode 0.
    B,
};

struct IfSynthRow {
    IfGroup group;
    ULONG ifLoHz;
    UCHAR control12;
    UCHAR control13;
    ULONG targetHz;
};

constexpr IfSynthRow kIfSynthRows[] = {
    {IfGroup::A, 41000000, 8, 12, 328000000},  {IfGroup::A, 47000000, 8, 8, 376000000},
    {IfGroup::A, 54000000, 16, 12, 324000000}, {IfGroup::A, 60000000, 16, 8, 360000000},
    {IfGroup::A, 39250000, 8, 12, 314000000},  {IfGroup::A, 39650000, 8, 12, 317200000},
    {IfGroup::A, 40150000, 8, 12, 321200000},  {IfGroup::A, 40650000, 8, 12, 325200000},
    {IfGroup::B, 57000000, 16, 8, 342000000},  {IfGroup::B, 44000000, 8, 8, 352000000},
    {IfGroup::B, 43750000, 8, 8, 350000000},   {IfGroup::B, 36650000, 4, 8, 366500000},
    {IfGroup::B, 36150000, 4, 8, 361500000},   {IfGroup::B, 36000000, 4, 8, 360000000},
    {IfGroup::B, 35250000, 4, 8, 352500000},   {IfGroup::B, 34750000, 4, 8, 347500000},
    {IfGroup::B, 6280000, 7, 8, 376800000},    {IfGroup::B, 5000000, 9, 8, 360000000},
    {IfGroup::B, 4500000, 6, 8, 360000000},    {IfGroup::B, 4570000, 6, 8, 365600000},
    {IfGroup::B, 4000000, 5, 8, 360000000},    {IfGroup::B, 57400000, 16, 8, 344400000},
    {IfGroup::B, 44400000, 8, 8, 355200000},   {IfGroup::B, 44150000, 8, 8, 353200000},
    {IfGroup::B, 37050000, 4, 8, 370500000},   {IfGroup::B, 36550000, 4, 8, 365500000},
    {IfGroup::B, 36125000, 4, 8, 361250000},   {IfGroup::B, 6000000, 7, 8, 360000000},
    {IfGroup::B, 5400000, 7, 12, 324000000},   {IfGroup::B, 5380000, 7, 12, 322800000},
    {IfGroup::B, 5200000, 9, 8, 374400000},    {IfGroup::B, 4900000, 9, 8, 352800000},
    {IfGroup::B, 4400000, 6, 8, 352000000},    {IfGroup::B, 4063000, 5, 8, 365670000},
};

bool GroupApplies(IfGroup group, const TunerState& state) {
    if (group == IfGroup::A) return state.mode == 0 && state.ifMode == 1;
    return state.mode != 0 || state.ifMode == 0;
}

}  // namespace

USHORT TunerComputeIfSynth(TunerState& state) {
    USHORT status = 0;
    const ULONG divider = (state.xtalHz > 16000000 && state.xtalHz <= 32000000) ? 1 : 2;

    ULONG targetHz = 0;
    for (const IfSynthRow& row : kIfSynthRows) {
        if (row.ifLoHz == state.ifLoHz && GroupApplies(row.group, state)) {
            status = static_cast<USHORT>(status + TunerSetControlBoth(state, 12, row.control12));
            status = static_cast<USHORT>(status + TunerSetControlBoth(state, 13, row.control13));
            targetHz = row.targetHz;
            break;
        }
    }

    // Unsigned 32-bit arithmetic, each division truncating where it stands.
    const ULONG comparisonHz = divider * state.xtalHz / 2;
    const ULONG comparisonKHz = comparisonHz / 1000;
    if (comparisonHz == 0 || comparisonKHz == 0) return status;  // no usable crystal
    const ULONG integerPart = targetHz / comparisonHz;
    const ULONG fraction =
        ((targetHz / 1000 - integerPart * ((divider * (state.xtalHz / 1000)) / 2)) * 65536) /
        comparisonKHz;
    status = static_cast<USHORT>(status + TunerSetControlBoth(state, 14, integerPart));
    status = static_cast<USHORT>(status + TunerSetControlBoth(state, 15, fraction));
    return status;
}
