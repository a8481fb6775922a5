// Start: builds the transport and the ring, then either brings up the receiver (firmware running)
// or downloads the bridge firmware (the stick then comes back as a new device).
#include "bridge/bridge_channel.h"
#include "bridge/firmware_download.h"
#include "driver/device_context.h"
#include "driver/device_interface.h"
#include "driver/device_lifecycle.h"
#include "driver/filter_descriptors.h"
#include "driver/stream_control.h"
#include "platform/debug_print.h"
#include "platform/pool.h"
#include "usb/cqzusb.h"
#include "usb/stream_ring.h"

namespace {

constexpr const char kBuildDate[] = "Feb  5 2009";
constexpr const char kBuildTime[] = "16:46:04";
constexpr const char kProductName[] = "KVS7100+LGS8GL5+MXL5003s";
constexpr LONG kStartPauseMilliseconds = 200;

void PrintBanners() {
    DbgPrint("%s Build Version:1.6.20.106(For 64Bits System) , Build Time: %s,%s ", kDebugPrefix,
             kBuildDate, kBuildTime);
    DbgPrint("%s *** Supporter: KVS Software Team *** ", kDebugPrefix);
    DbgPrint("%s *** Maker: KVS7100 DMB-T USB receiver *** ", kDebugPrefix);
    DbgPrint("%s *** DMB-T : %s *** ", kDebugPrefix, kProductName);
}

void ReleaseFailedTransport(DeviceContext* context) {
    context->transport->ReleaseBuffers();
    PoolFree(context->transport);
    context->transport = nullptr;
}

NTSTATUS CreateTransport(PKSDEVICE device, DeviceContext* context) {
    auto* transport = static_cast<CQZUSB*>(PoolAllocateZeroed(sizeof(CQZUSB)));
    if (transport == nullptr) return STATUS_INSUFFICIENT_RESOURCES;
    context->transport = transport;
    transport->Construct(device);
    // The descriptor chain may fail (start then lets the probe decide), but without its record
    // and staging buffer the object cannot work at all.
    if (transport->descriptors == nullptr || transport->stagingBuffer == nullptr) {
        ReleaseFailedTransport(context);
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    return STATUS_SUCCESS;
}

void EnableDeviceInterface(PKSDEVICE device, DeviceContext* context) {
    if (context->interfaceEnabled != 0) return;
    // A restart registers again; the name handed out by the earlier registration is released.
    if (context->interfaceLinkName.Buffer != nullptr)
        RtlFreeUnicodeString(&context->interfaceLinkName);
    IoRegisterDeviceInterface(device->PhysicalDeviceObject, &DeviceInterfaceClass, nullptr,
                              &context->interfaceLinkName);
    IoSetDeviceInterfaceState(&context->interfaceLinkName, TRUE);
    context->interfaceEnabled = 1;
}

}  // namespace

NTSTATUS DeviceStart(PKSDEVICE device, PIRP, PCM_RESOURCE_LIST, PCM_RESOURCE_LIST) {
    const LONG count = DeviceCount();
    if (count >= 2) {
        DbgPrint("%s My Dirver Count S(Error %d).", kDebugPrefix, static_cast<int>(count));
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    DeviceContext* context = GetDeviceContext(device);
    if (context == nullptr) return STATUS_DEVICE_NOT_CONNECTED;

    // A start after a stop finds the earlier transport and ring: they are released (after making
    // sure nothing of theirs is still in flight) and built afresh.
    if (context->transport != nullptr || context->ring != nullptr) {
        if (context->transport != nullptr) QuiesceTransport(device);
        ReleaseTransportAndRing(device);
    }

    SetDeviceActive(context, 1);
    NTSTATUS status = CreateTransport(device, context);
    if (!NT_SUCCESS(status)) return status;

    context->ring = StreamRingCreate(kStreamRingCapacity);
    if (context->ring == nullptr) {
        // Nothing of the transport is in flight yet: only its synchronous set-up ran.
        ReleaseFailedTransport(context);
        return STATUS_INSUFFICIENT_RESOURCES;
    }

    DelayMilliseconds(kStartPauseMilliseconds);

    if (context->transport->ProbeFirmware() == STATUS_END_OF_FILE) {
        PrintBanners();
        BindChipDevices(device);
        StartInterruptReader(device);
        status = BdaCreateFilterFactory(device, ReceiverFilterDescriptor(), ReceiverBdaTemplate());
        if (status != STATUS_SUCCESS) return status;
        EnableDeviceInterface(device, context);
        return STATUS_SUCCESS;
    }

    return DownloadFirmware(device) ? STATUS_SUCCESS : STATUS_INSUFFICIENT_RESOURCES;
}
