// Stop and remove, and the steps they share for bringing the transport to rest and freeing it.
#include "bridge/bridge_channel.h"
#include "driver/device_context.h"
#include "driver/device_lifecycle.h"
#include "driver/stream_control.h"
#include "platform/debug_print.h"
#include "platform/pool.h"
#include "usb/cqzusb.h"
#include "usb/stream_ring.h"

namespace {

void DisableDeviceInterface(DeviceContext* context) {
    if (context->interfaceEnabled != 1) return;
    IoSetDeviceInterfaceState(&context->interfaceLinkName, FALSE);
    context->interfaceEnabled = 0;
}

}  // namespace

void QuiesceTransport(PKSDEVICE device) {
    DeviceContext* context = GetDeviceContext(device);
    // The reader is stopped while synchronous requests are still allowed (stopping a bulk stream
    // aborts its pipe through one); then requests are refused and every read is waited out.
    if (context->transport != nullptr) StopStream(device);
    SetDeviceActive(context, 0);
    if (context->transport != nullptr) context->transport->WaitForIdle();
}

void ReleaseTransportAndRing(PKSDEVICE device) {
    DeviceContext* context = GetDeviceContext(device);
    if (context->transport != nullptr) {
        context->transport->ReleaseBuffers();
        PoolFree(context->transport);
        context->transport = nullptr;
    }
    if (context->ring != nullptr) {
        StreamRingFree(context->ring);
        context->ring = nullptr;
    }
}

void DeviceStop(PKSDEVICE device, PIRP) {
    const LONG count = DeviceCount();
    if (count != 1)
        DbgPrint("%s My Dirver Count Stop(Error %d).", kDebugPrefix, static_cast<int>(count));
    ResetDeviceCount();
    DeviceContext* context = GetDeviceContext(device);
    if (context == nullptr) return;
    QuiesceTransport(device);
    DisableDeviceInterface(context);
}

void DeviceRemove(PKSDEVICE device, PIRP) {
    ResetDeviceCount();
    DeviceContext* context = GetDeviceContext(device);
    if (context == nullptr) return;
    // Without a stop before it (or after a power-up that followed the stop), the transport may
    // still have reads and requests in flight; on an idle transport this returns at once.
    if (context->transport != nullptr) QuiesceTransport(device);
    DisableDeviceInterface(context);
    UnbindChipDevices(device);  // the chip modules must not keep reaching a device that is gone
    ReleaseTransportAndRing(device);
    if (context->interfaceLinkName.Buffer != nullptr)
        RtlFreeUnicodeString(&context->interfaceLinkName);
    PoolFree(context);
    device->Context = nullptr;
}
