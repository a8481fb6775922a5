// Channel computation for one RF frequency. All arithmetic is unsigned 32-bit and every division
// truncates where it stands: the order of the steps decides the programmed values.
#include "tuner/tuner_channel.h"

#include "tuner/tuner_bands.h"
#include "tuner/tuner_status_sum.h"

namespace {

// A filter switch setting and the controls it writes, first then second (0: none).
struct FilterSwitchRow {
    UCHAR filterSwitch;
    UCHAR setting;
    bool anySetting;
    USHORT firstId;
    UCHAR firstValue;
    USHORT secondId;
    UCHAR secondValue;
};

// First matching row applies.
constexpr FilterSwitchRow kFilterSwitchRows[] = {
    {kTunerFilterSwitch1, 0, false, 82, 1, 0, 0},  {kTunerFilterSwitch1, 0, true, 82, 0, 0, 0},
    {kTunerFilterSwitch3, 0, false, 81, 1, 79, 1}, {kTunerFilterSwitch3, 1, false, 81, 0, 79, 0},
    {kTunerFilterSwitch3, 3, false, 81, 0, 79, 1}, {kTunerFilterSwitch4, 0, false, 80, 1, 78, 1},
    {kTunerFilterSwitch4, 1, false, 80, 0, 78, 0}, {kTunerFilterSwitch4, 3, false, 80, 0, 78, 1},
};

constexpr ULONG kAuxOffsetHz = 750000;

}  // namespace

USHORT TunerSetFilterSwitch(TunerState& state, UCHAR filterSwitch, UCHAR setting) {
    for (const FilterSwitchRow& row : kFilterSwitchRows) {
        if (row.filterSwitch != filterSwitch || (!row.anySetting && row.setting != setting)) {
            continue;
        }
        TunerStatusSum sum(state);
        sum.Set(row.firstId, row.firstValue);
        if (row.secondId != 0) sum.Set(row.secondId, row.secondValue);
        return sum.Sum();
    }
    return kTunerOk;
}

USHORT TunerComputeChannel(TunerState& state, ULONG rfHz) {
    state.rfHz = rfHz;
    if (state.mode == 1) {
        state.rfLoHz = rfHz;
        state.auxLoHz = rfHz - kAuxOffsetHz;
    } else if (state.ifMode == 0) {
        state.rfLoHz = rfHz - 400000;
        state.auxLoHz = rfHz - 1750000;
    } else {
        state.rfLoHz = rfHz - state.bandwidthHz / 2;
        state.auxLoHz = rfHz - state.bandwidthHz + 500000;
    }
    const ULONG xtal = state.xtalHz;
    const ULONG crystalDivider = (xtal > 22000000 && xtal <= 32000000) ? 1 : 2;
    const ULONG rfLo = state.rfLoHz;
    const ULONG auxLo = state.auxLoHz;

    if (rfLo < kTunerRfBandLowestHz) return kTunerRefused;

    TunerStatusSum sum(state);
    const TunerRfBandRow* rfBand = TunerFindBand(kTunerRfBands, kTunerRfBandLowestHz, rfLo);
    if (rfBand != nullptr) {
        sum.Set(51, rfBand->control51);
        sum.Set(52, rfBand->control52);
        sum.Set(53, rfBand->control53);
        sum.Set(54, rfBand->control54);
        sum.Set(55, rfBand->control55);
    }
    if (rfLo > 900000000) return kTunerRefused;

    if (rfLo <= 800000000) {
        sum.Set(56, 1);
        sum.Set(57, 0);
    } else {
        sum.Set(56, 10);
        sum.Set(57, 1);
    }

    const TunerSynthBandRow* synth = TunerFindBand(kTunerSynthBands, kTunerSynthBandLowestHz, rfLo);
    if (synth == nullptr) return kTunerRefused;  // not reached: the range checks above cover it
    sum.Set(58, synth->control58);
    sum.Set(59, synth->control59);
    sum.Set(60, synth->control60);
    sum.Set(61, synth->control61);
    sum.Set(62, synth->control62);
    sum.Set(63, synth->control63);

    // RF synthesiser: VCO band position (64, 67), integer (65) and 18-bit fraction (66) of
    // rfLo x N over twice the divided crystal.
    const ULONG n = synth->divider;
    const ULONG bandWidthKHz = (synth->highHz - synth->lowHz) / 1000;
    const ULONG referenceKHz = (2 * crystalDivider * xtal) / 1000;
    const ULONG fractionScale = (xtal * crystalDivider * 2) / 10000;
    if (bandWidthKHz == 0 || referenceKHz == 0 || fractionScale == 0) return kTunerRefused;
    const ULONG fromTopKHz = (synth->highHz - rfLo) / 1000;
    const ULONG control64 = (fromTopKHz * 32) / bandWidthKHz + 8;
    sum.Set(64, control64);
    const ULONG control65 = (rfLo * n / 1000) / referenceKHz;
    sum.Set(65, control65);
    const ULONG control66 =
        ((rfLo / 10000 * n - (xtal * control65 * crystalDivider * 2) / 10000) * (1u << 18)) /
        fractionScale;
    sum.Set(66, control66);
    const ULONG control67 = (fromTopKHz * 4) / bandWidthKHz + 1;
    sum.Set(67, control67);
    sum.Set(68, control66 == 0 ? 1 : 0);

    if (auxLo < kTunerAuxBandLowestHz) return kTunerRefused;
    const TunerAuxBandRow* aux = TunerFindBand(kTunerAuxBands, kTunerAuxBandLowestHz, auxLo);
    if (aux != nullptr && xtal >= 1000) {
        sum.Set(69, aux->control69);
        sum.Set(70, aux->control70);

        // Auxiliary synthesiser divider (71) and loop setting (72).
        const ULONG m = aux->divider;
        const ULONG crystalMHz = xtal / 1000000 + (xtal % 1000000 != 0 ? 1 : 0);
        const ULONG control71 = (crystalMHz * ((auxLo * m) / 100000) * 100) / (xtal / 1000);
        sum.Set(71, control71);
        if (auxLo > 600000000) sum.Set(71, control71 + 1);
        const ULONG control72 =
            (180000000 - ((xtal / 1000) / crystalMHz) * (auxLo / 10000) * m) / 1875000 + 8;
        sum.Set(72, control72);
    }

    sum.Set(85, 0);
    for (const TunerFilterRow& row : kTunerFilterSchedule) {
        if (rfHz < row.lowHz || rfHz >= row.upperHz) continue;
        sum.Set(83, row.control83);
        sum.Add(TunerSetFilterSwitch(state, kTunerFilterSwitch4, row.switch4));
        sum.Add(TunerSetFilterSwitch(state, kTunerFilterSwitch3, row.switch3));
        sum.Add(TunerSetFilterSwitch(state, kTunerFilterSwitch1, row.switch1));
        break;
    }
    return sum.Sum();
}
