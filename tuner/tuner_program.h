#pragma once
// The tuning sequence as a pure procedure over a tuner model, register lists and a write sink.
// The driver's sink sends each register write to the chip through the bridge; a recording sink
// lets the exact write sequence be observed without a stick.
#include "tuner/tuner_state.h"

constexpr UCHAR kTunerI2cAddress = 0xC6;
// Register 9 is the tuner's power/operation control; it and register 25 are written as three
// bytes with a trailing 0xFE.
constexpr UCHAR kTunerControlRegister = 9;
constexpr UCHAR kTunerRegisterWriteTrailer = 0xFE;
constexpr UCHAR kTunerControlPrepare = 0xB1;  // before the init and the channel registers
constexpr UCHAR kTunerControlRun = 0xF3;      // after the channel registers and the commit
constexpr LONG kTunerSettlingMilliseconds = 30;
constexpr int kTunerWritesPerTune = 55;

// Register numbers and values collected for writing, and how many entries are in use.
struct TunerRegisterLists {
    UCHAR addresses[kTunerRegisterCount];
    UCHAR values[kTunerRegisterCount];
    LONG count;
};

// Where the sequence sends its writes. `writeRegister` gets one whole I2C write transaction
// (register number, value[, 0xFE]); `pause` sleeps the caller. Outcomes are not reported back:
// the sequence goes on whatever the chip answers.
struct TunerWriteSink {
    void (*writeRegister)(void* context, const UCHAR* bytes, ULONG count);
    void (*pause)(void* context, LONG milliseconds);
    void* context;
};

// The RF frequency in Hz for a request in kHz. A request whose Hz value does not fit 32 bits
// (negative, or above 4,294,967 kHz) maps to a frequency the channel computation refuses, rather
// than wrapping round to an unrelated frequency inside the tuning range.
ULONG TunerRequestToHz(LONG frequencyKHz);

// Writes one register by the register write rule: two bytes, or three for registers 9 and 25.
void TunerWriteRegister(const TunerWriteSink& sink, UCHAR registerNumber, UCHAR value);

// Rebuilds the model and programs the tuner: 55 register writes with the settling pause after
// the 52nd. Returns 1. The caller keeps concurrent calls apart.
LONG TunerProgramFrequency(TunerState& state, TunerRegisterLists& lists, LONG frequencyKHz,
                           LONG bandwidthMHz, const TunerWriteSink& sink);
