#include "driver_calls.h"

#include "bridge/bridge_channel.h"
#include "bridge/signal_status.h"
#include "demod/demod_control.h"
#include "driver/stream_control.h"
#include "platform/image/image_runner.h"
#include "usb/cqzusb.h"

namespace kvssim {

namespace {

void FlushHostStreamDelivery(CQZUSB* transport) {
    transport->FlushStreamDelivery();
}

template <typename Function>
bool Resolve(const image::ImageRunner& runner, const char* symbol, Function* out,
             std::string* missing) {
    *out = runner.Find<Function>(symbol);
    if (*out == nullptr && missing->empty()) *missing = symbol;
    return *out != nullptr;
}

}  // namespace

DriverCalls HostDriverCalls() {
    DriverCalls calls;
    calls.StopStream = &StopStream;
    calls.StartStreamLocked = &StartStreamLocked;
    calls.DemodTune = &DemodTune;
    calls.ParkTuner = &ParkTuner;
    calls.TunerWake = &TunerWake;
    calls.TunerSleep = &TunerSleep;
    calls.SetChannelDevice = &SetChannelDevice;
    calls.LoadPidTable = &LoadPidTable;
    calls.GetLockFlag = &GetLockFlag;
    calls.SetLockFlag = &SetLockFlag;
    calls.FlushStreamDelivery = &FlushHostStreamDelivery;
    return calls;
}

// The names the Windows build gives these functions (ULONG is `unsigned long` there: "m").
bool ImageDriverCalls(const image::ImageRunner& runner, DriverCalls* calls, std::string* missing) {
    missing->clear();
    bool all = true;
    all &= Resolve(runner, "_Z10StopStreamP9_KSDEVICE", &calls->StopStream, missing);
    all &= Resolve(runner, "_Z17StartStreamLockedP9_KSDEVICE", &calls->StartStreamLocked, missing);
    all &= Resolve(runner, "_Z9DemodTuneP9_KSDEVICEmm", &calls->DemodTune, missing);
    all &= Resolve(runner, "_Z9ParkTunerv", &calls->ParkTuner, missing);
    all &= Resolve(runner, "_Z9TunerWakeP9_KSDEVICE", &calls->TunerWake, missing);
    all &= Resolve(runner, "_Z10TunerSleepP9_KSDEVICE", &calls->TunerSleep, missing);
    all &= Resolve(runner, "_Z16SetChannelDeviceP9_KSDEVICE", &calls->SetChannelDevice, missing);
    all &= Resolve(runner, "_Z12LoadPidTableP9_KSDEVICEPKhmm", &calls->LoadPidTable, missing);
    all &= Resolve(runner, "_Z11GetLockFlagv", &calls->GetLockFlag, missing);
    all &= Resolve(runner, "_Z11SetLockFlagh", &calls->SetLockFlag, missing);
    all &=
        Resolve(runner, "_ZN6CQZUSB19FlushStreamDeliveryEv", &calls->FlushStreamDelivery, missing);
    return all;
}

}  // namespace kvssim
