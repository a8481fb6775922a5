// The module-wide count of sticks accepted by add; the driver serves one stick at a time.
#include "driver/device_lifecycle.h"

namespace {

LONG volatile gDeviceCount;

}  // namespace

void InitializeDeviceLifecycle() {
    WriteLongRelease(&gDeviceCount, 0);
}

LONG DeviceCount() {
    return ReadLongAcquire(&gDeviceCount);
}

LONG RaiseDeviceCount() {
    return InterlockedIncrement(&gDeviceCount);
}

void LowerDeviceCount() {
    InterlockedDecrement(&gDeviceCount);
}

void RestoreDeviceCount() {
    InterlockedCompareExchange(&gDeviceCount, 1, 0);
}

void ResetDeviceCount() {
    WriteLongRelease(&gDeviceCount, 0);
}
