// Add: admits one stick at a time and gives it a zeroed DeviceContext.
#include "driver/device_context.h"
#include "driver/device_lifecycle.h"
#include "platform/debug_print.h"
#include "platform/pool.h"

NTSTATUS DeviceAdd(PKSDEVICE device) {
    const LONG count = RaiseDeviceCount();
    if (count >= 2) {
        DbgPrint("%s My Dirver Count A(Error %d).", kDebugPrefix, static_cast<int>(count));
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    auto* context = static_cast<DeviceContext*>(PoolAllocateZeroed(sizeof(DeviceContext)));
    if (context == nullptr) {
        // This stick was never accepted: it must not keep every later stick out.
        LowerDeviceCount();
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    KeInitializeSpinLock(&context->keyQueueLock);
    SetDeviceActive(context, 1);
    device->Context = context;
    return STATUS_SUCCESS;
}
