#pragma once
// Programming the tuner for a frequency and bandwidth, and its register-9 power control.
//
// The tuner model, its register lists and the tuner's current device are module-wide, so the
// operations below are serialised by one module-wide kernel mutex: a tune and a register-9
// write never interleave their I2C writes. Call at passive level only. The mutex is taken before
// the transport's request mutex (inside I2cWrite) and never inside it.
#include "platform/ks.h"

// Initialises the tuner module's state and its mutex; DriverEntry calls it before any tune.
void TunerInitialize();

// Frequency in kHz, bandwidth in MHz (low 8 bits count). Always returns 1.
LONG TunerSetFrequency(LONG frequencyKHz, LONG bandwidthMHz);
// Writes register 9 as 9, value, 0xFE to the tuner's current device; returns 0.
ULONG TunerWriteControlRegister(UCHAR value);
// Sets the tuner's current device (SetTunerDevice) and writes register 9 as one step, so that
// no tune can run between the two. Returns 0.
ULONG TunerWriteControlRegisterFor(PKSDEVICE device, UCHAR value);
