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
    CQZUSB* transport = context->transport;
    if (transport == nullptr) {
        SetDeviceActive(context, 0);
        return;
    }
    // The reader is stopped while synchronous requests are still allowed (stopping a bulk stream
    // aborts its pipe through one); then requests are refused and every read is waited out. A
    // stream start holds the device I/O mutex too, so none can land between the two steps and
    // leave a reader running on a transport that refuses the requests that would stop it.
    KeWaitForSingleObject(&transport->ioMutex, Executive, KernelMode, FALSE, nullptr);
    KeEnterCriticalRegion();
    StopStream(device);
    SetDeviceActive(context, 0);
    KeLeaveCriticalRegion();
    KeReleaseMutex(&transport->ioMutex, FALSE);
    transport->WaitForIdle();
}

void ReleaseTransportAndRing(PKSDEVICE device) {
    DeviceContext* context = GetDeviceContext(device);
    // The bridge channel may still hold the transport for a moment (its requests are refused by
    // now); it is freed once nothing can reach it any more.
    if (CQZUSB* transport = WithdrawTransport(context); transport != nullptr) {
        transport->ReleaseBuffers();
        PoolFree(transport);
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
    context->started = 0;
    QuiesceTransport(device);
    DisableDeviceInterface(context);
}

void DeviceRemove(PKSDEVICE device, PIRP) {
    ResetDeviceCount();
    DeviceContext* context = GetDeviceContext(device);
    if (context == nullptr) return;
    context->started = 0;
    // Without a stop before it (or after a power-up that followed the stop), the transport may
    // still have reads and requests in flight; on an idle transport this returns at once.
    if (context->transport != nullptr) QuiesceTransport(device);
    DisableDeviceInterface(context);
    UnbindChipDevices(device);  // the chip modules must not keep reaching a device that is gone
    ReleaseTransportAndRing(device);
    if (context->interfaceLinkName.Buffer != nullptr)
        RtlFreeUnicodeString(&context->interfaceLinkName);
    device->Context = nullptr;
    PoolFree(context);
}
