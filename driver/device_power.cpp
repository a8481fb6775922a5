// Capabilities and device power transitions.
#include "driver/device_context.h"
#include "driver/device_lifecycle.h"
#include "driver/stream_control.h"
#include "usb/cqzusb.h"

NTSTATUS DeviceQueryCapabilities(PKSDEVICE, PIRP, PDEVICE_CAPABILITIES) {
    return STATUS_SUCCESS;
}

void DeviceSetPower(PKSDEVICE device, PIRP, DEVICE_POWER_STATE to, DEVICE_POWER_STATE from) {
    DeviceContext* context = GetDeviceContext(device);
    if (context == nullptr) return;
    if (from == PowerDeviceD0 && to == PowerDeviceD3) {
        if (context->transport != nullptr) context->transport->CancelInterruptRead();
        StopStream(device);
    } else if (from == PowerDeviceD3 && to == PowerDeviceD0) {
        StartInterruptReader(device);
        StartStreamLocked(device);
    }
}
