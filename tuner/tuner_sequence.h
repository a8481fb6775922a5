#pragma once
// Programming the tuner for a frequency and bandwidth, and its register-9 power control.
#include "platform/kernel.h"

// Frequency in kHz, bandwidth in MHz (low 8 bits count). Always returns 1.
LONG TunerSetFrequency(LONG frequencyKHz, LONG bandwidthMHz);
// Writes register 9 as 9, value, 0xFE to the tuner's current device; returns 0.
ULONG TunerWriteControlRegister(UCHAR value);
