#pragma once
// The channel computation: RF synthesiser band, loop and fractional-N controls, the auxiliary
// synthesiser 750 kHz below the RF frequency, and the RF filter switches for a frequency.
#include "tuner/tuner_state.h"

// Returns kTunerRefused when the frequency lies outside the synthesiser's range (the controls
// set up to that point stay set), otherwise the summed status of the control writes.
USHORT TunerComputeChannel(TunerState& state, ULONG rfHz);

// Filter switches of the RF front end.
constexpr UCHAR kTunerFilterSwitch1 = 1;
constexpr UCHAR kTunerFilterSwitch3 = 3;
constexpr UCHAR kTunerFilterSwitch4 = 4;
// Sets one filter switch; an unknown switch or setting changes nothing and returns 0.
USHORT TunerSetFilterSwitch(TunerState& state, UCHAR filterSwitch, UCHAR setting);
