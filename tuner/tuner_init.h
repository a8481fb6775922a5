#pragma once
// The initialisation computation: derives controls 1 to 40 from the tuner settings, including
// the IF synthesiser.
#include "tuner/tuner_state.h"

// Each returns the 16-bit sum of the statuses of its control writes.
USHORT TunerComputeInit(TunerState& state);
USHORT TunerComputeIfSynth(TunerState& state);
// Sets controls 37, 74, 75 and 76 to 1, in that order.
USHORT TunerEnableFixedControls(TunerState& state);
