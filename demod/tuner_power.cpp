// Tuner power through its register 9: wake when the output pin is created, sleep when it closes.
#include "bridge/bridge_channel.h"
#include "demod/demod_control.h"
#include "demod/demod_registers.h"
#include "tuner/tuner_sequence.h"

// The tuner's device is set and register 9 written as one step under the tuner's lock, so a wake
// or sleep never lands between another caller's device selection and its writes.
bool TunerWake(PKSDEVICE device) {
    (void)TunerWriteControlRegisterFor(device, kTunerWakeValue);
    return true;
}

bool TunerSleep(PKSDEVICE device) {
    (void)TunerWriteControlRegisterFor(device, kTunerSleepValue);
    (void)SendCommand06(device);
    return true;
}
