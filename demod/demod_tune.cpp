// The tune sequence: demodulator reset, tuner programming, register set-up and lock search.
#include "bridge/bridge_channel.h"
#include "demod/demod_control.h"
#include "demod/demod_registers.h"
#include "demod/demod_tune_lock.h"
#include "tuner/tuner_sequence.h"

bool DemodTune(PKSDEVICE device, ULONG frequencyKHz, ULONG bandwidthMHz) {
    // Without a device there is no stick to talk to; the search would only wait out its polls.
    if (device == nullptr) return false;

    AcquireTuneLock();
    SetChannelDevice(device);
    // The set-up results are not acted on: a set-up that did not reach the chip shows as a
    // failed lock search.
    (void)DemodSoftReset();
    (void)TunerSetFrequency(static_cast<LONG>(frequencyKHz), static_cast<LONG>(bandwidthMHz));
    (void)DemodLoadDefaults(0);
    (void)DemodSetMode07(0);
    (void)DemodConfigure();
    const bool locked = DemodAcquireLock() == kDemodOk;
    ReleaseTuneLock();
    return locked;
}

bool ParkTuner() {
    AcquireTuneLock();
    (void)TunerSetFrequency(kParkFrequencyKHz, kParkBandwidthMHz);
    ReleaseTuneLock();
    return true;
}
