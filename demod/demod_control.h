#pragma once
// Demodulator control: soft reset, register set-up, lock search, and the tune sequence.
#include "platform/ks.h"

constexpr UCHAR kDemodOk = 0x00;
constexpr UCHAR kDemodReadFailed = 0xFD;
constexpr UCHAR kDemodWriteFailed = 0xFC;
constexpr UCHAR kDemodSetupFailed = 0xF4;
constexpr UCHAR kDemodNoLock = 0xF6;

// Module-wide state (the tune lock); DriverEntry calls this before any other operation here.
void InitializeDemodControl();

UCHAR DemodReadRegister(UCHAR registerNumber, UCHAR* value);
UCHAR DemodSoftReset();
UCHAR DemodSetMode07(UCHAR mode);
UCHAR DemodLoadDefaults(UCHAR mode);
UCHAR DemodConfigure();
UCHAR DemodAcquireLock();
bool DemodTune(PKSDEVICE device, ULONG frequencyKHz, ULONG bandwidthMHz);
bool ParkTuner();
bool TunerWake(PKSDEVICE device);
bool TunerSleep(PKSDEVICE device);
