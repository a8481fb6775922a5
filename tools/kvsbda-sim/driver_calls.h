#pragma once
// The driver operations tune and watch drive directly (the change commit's tune, the stream
// start and stop, the output pin's tuner wake and sleep), taken either from the host-compiled
// core or, with --image, from the Windows image by their symbol names. Every call goes through
// host::CallDriver, which runs image code under the emulator.
#include <string>

#include "platform/ks.h"

class CQZUSB;
namespace image {
class ImageRunner;
}

namespace kvssim {

struct DriverCalls {
    void (*StopStream)(PKSDEVICE device) = nullptr;
    void (*StartStreamLocked)(PKSDEVICE device) = nullptr;
    bool (*DemodTune)(PKSDEVICE device, ULONG frequencyKHz, ULONG bandwidthMHz) = nullptr;
    bool (*ParkTuner)() = nullptr;
    bool (*TunerWake)(PKSDEVICE device) = nullptr;
    bool (*TunerSleep)(PKSDEVICE device) = nullptr;
    void (*SetChannelDevice)(PKSDEVICE device) = nullptr;
    bool (*LoadPidTable)(PKSDEVICE device, const UCHAR* pids, ULONG count, ULONG mode) = nullptr;
    UCHAR (*GetLockFlag)() = nullptr;
    UCHAR (*SetLockFlag)(UCHAR flag) = nullptr;
    // CQZUSB::FlushStreamDelivery (the object in the first argument, as `this`).
    void (*FlushStreamDelivery)(CQZUSB* transport) = nullptr;
};

DriverCalls HostDriverCalls();
// The same operations in the image; false with the first missing symbol in `missing` when the
// image lacks one (the linker drops functions nothing in the driver calls).
bool ImageDriverCalls(const image::ImageRunner& runner, DriverCalls* calls, std::string* missing);

}  // namespace kvssim
