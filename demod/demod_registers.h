#pragma once
// LGS8GL5 register map as the driver uses it: bus addresses, register numbers, the register
// set-up values and the lock-search step table.
#include "platform/kernel.h"

// The demodulator answers at two bus addresses: registers 0x00..0xBF at the first, 0xC0..0xFF
// at the second.
constexpr UCHAR kDemodAddressLow = 0x32;
constexpr UCHAR kDemodAddressHigh = 0x36;
constexpr UCHAR kDemodFirstHighRegister = 0xC0;

constexpr UCHAR DemodAddressFor(UCHAR registerNumber) {
    return registerNumber < kDemodFirstHighRegister ? kDemodAddressLow : kDemodAddressHigh;
}

namespace demod_reg {
constexpr UCHAR kProbe = 0x00;         // read six times before a soft reset
constexpr UCHAR kReset = 0x02;         // bit 0 pulsed low then high
constexpr UCHAR kControl03 = 0x03;     // bit 0 cleared by the configuration
constexpr UCHAR kSearchMode = 0x04;    // bits 1..0 per lock-search step
constexpr UCHAR kMode = 0x07;          // mode register
constexpr UCHAR kSearchOption = 0x37;  // bit 7 per lock-search step
constexpr UCHAR kDetect = 0x4B;        // bit 7: first-stage detection
constexpr UCHAR kInversion = 0x7C;     // bit 7 flipped after a failed second stage
constexpr UCHAR kLockCopy = 0x7D;      // receives register 0xA2 on lock
constexpr UCHAR kControl7E = 0x7E;     // bit 0 set by the configuration
constexpr UCHAR kLockValue = 0xA2;     // copied to 0x7D on lock
constexpr UCHAR kLockStatus = 0xA4;    // bits 1..0 == 01: locked
constexpr UCHAR kControlC5 = 0xC5;     // bits 4..0 cleared by the configuration (high address)
constexpr UCHAR kStrengthLow = 0x3E;   // signal strength, low part
constexpr UCHAR kStrengthHigh = 0x3F;  // signal strength, high part
}  // namespace demod_reg

constexpr UCHAR kResetBit = 0x01;
constexpr UCHAR kDetectBit = 0x80;
constexpr UCHAR kLockStatusMask = 0x03;
constexpr UCHAR kLockStatusLocked = 0x01;
constexpr UCHAR kInversionBit = 0x80;
constexpr UCHAR kSearchModeMask = 0x03;
constexpr UCHAR kSearchOptionBit = 0x80;

constexpr ULONG kSoftResetProbeReads = 6;
constexpr LONG kSoftResetDelayMs = 5;

// Mode register 0x07 as DemodSetMode07 rewrites it.
constexpr UCHAR kMode07ClearMaskMode0 = 0x7C;  // mode 0: value AND 0x7C
constexpr UCHAR kMode07SetBitsMode1 = 0x83;    // mode 1: value OR 0x83

// DemodLoadDefaults: register 0x07 first, then the block 0x09..0x0C, for modes 0 and 1.
constexpr UCHAR kDefaultsMode07AndMode0 = 0xF3;
constexpr UCHAR kDefaultsMode07OrMode1 = 0x0C;

struct DemodDefault {
    UCHAR registerNumber;
    UCHAR valueMode0;
    UCHAR valueMode1;
};

constexpr DemodDefault kDemodDefaults[] = {
    {0x09, 0xCB, 0x00},
    {0x0A, 0x6B, 0x00},
    {0x0B, 0x28, 0x00},
    {0x0C, 0x2F, 0x00},
};

// DemodConfigure: read-modify-write of three registers, value = (value AND keep) OR set.
struct DemodConfigStep {
    UCHAR registerNumber;
    UCHAR keepMask;
    UCHAR setBits;
};

constexpr DemodConfigStep kDemodConfigSteps[] = {
    {demod_reg::kControl03, 0xFE, 0x00},
    {demod_reg::kControl7E, 0xFF, 0x01},
    {demod_reg::kControlC5, 0xE0, 0x00},
};

// Lock search: the settings of registers 0x04 (bits 1..0) and 0x37 (bit 7) tried in turn. Rows
// that are not tried are kept so that step numbers stay those of the chip's settings.
struct LockSearchStep {
    UCHAR searchModeBits;
    bool searchOptionSet;
    bool tried;
};

constexpr LockSearchStep kLockSearchSteps[] = {
    {0x02, false, true}, {0x02, true, false}, {0x00, false, true},
    {0x00, true, false}, {0x01, true, true},
};
constexpr ULONG kLockSearchStepCount = sizeof(kLockSearchSteps) / sizeof(kLockSearchSteps[0]);

constexpr ULONG kFirstStagePolls = 20;
constexpr LONG kFirstStageIntervalMs = 30;
constexpr ULONG kSecondStagePolls = 10;
constexpr LONG kSecondStageIntervalMs = 20;
constexpr ULONG kAttemptsPerStep = 3;

// Tuner operations of this module.
constexpr LONG kParkFrequencyKHz = 458000;
constexpr LONG kParkBandwidthMHz = 8;
constexpr UCHAR kTunerWakeValue = 0xF0;
constexpr UCHAR kTunerSleepValue = 0x00;
