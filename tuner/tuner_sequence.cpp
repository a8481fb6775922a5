// The driver's tuner operations: the tuning sequence and register-9 writes sent to the chip
// through the bridge's I2C gateway, each as one operation under the tuner mutex.
#include "tuner/tuner_sequence.h"

#include "bridge/bridge_channel.h"
#include "platform/delay.h"
#include "tuner/tuner_module.h"

namespace {

// Each write goes to the tuner's current device. Its outcome is not acted on: a lost write
// shows only as a failed lock search later.
void WriteThroughBridge(void*, const UCHAR* bytes, ULONG count) {
    ULONG written = 0;
    (void)I2cWrite(TunerDevice(), kTunerI2cAddress, bytes, count, &written);
}

void SleepCaller(void*, LONG milliseconds) {
    DelayMilliseconds(milliseconds);
}

constexpr TunerWriteSink kBridgeSink = {WriteThroughBridge, SleepCaller, nullptr};

}  // namespace

LONG TunerSetFrequency(LONG frequencyKHz, LONG bandwidthMHz) {
    TunerModuleLock lock;
    return TunerProgramFrequency(TunerModuleState(), TunerModuleLists(), frequencyKHz, bandwidthMHz,
                                 kBridgeSink);
}

ULONG TunerWriteControlRegister(UCHAR value) {
    TunerModuleLock lock;
    TunerWriteRegister(kBridgeSink, kTunerControlRegister, value);
    return 0;
}

ULONG TunerWriteControlRegisterFor(PKSDEVICE device, UCHAR value) {
    TunerModuleLock lock;
    SetTunerDevice(device);
    TunerWriteRegister(kBridgeSink, kTunerControlRegister, value);
    return 0;
}
