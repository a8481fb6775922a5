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

// A transport whose construction could not finish; nothing of it is in flight (only its
// synchronous set-up ran) and nothing else has reached it yet.
void ReleaseUnpublishedTransport(CQZUSB* transport) {
    transport->ReleaseBuffers();
    PoolFree(transport);
}

NTSTATUS CreateTransport(PKSDEVICE device, DeviceContext* context) {
    auto* transport = static_cast<CQZUSB*>(PoolAllocateZeroed(sizeof(CQZUSB)));
    if (transport == nullptr) return STATUS_INSUFFICIENT_RESOURCES;
    transport->Construct(device);
    // The descriptor chain may fail (start then lets the probe decide), but without its own
    // buffers the object cannot work at all.
    if (!transport->IsWhole()) {
        ReleaseUnpublishedTransport(transport);
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    // Reachable by the bridge channel only once it is whole.
    PublishTransport(context, transport);
    return STATUS_SUCCESS;
}

// Registers and enables the private interface. Either call may fail (registration when its link
// name cannot be allocated): the interface then counts as not enabled, so that nothing is done
// with a link that was never handed out, and the next start tries again.
void EnableDeviceInterface(PKSDEVICE device, DeviceContext* context) {
    if (context->interfaceEnabled != 0) return;
    // A restart registers again; the name handed out by the earlier registration is released.
    if (context->interfaceLinkName.Buffer != nullptr)
        RtlFreeUnicodeString(&context->interfaceLinkName);
    NTSTATUS status = IoRegisterDeviceInterface(device->PhysicalDeviceObject, &DeviceInterfaceClass,
                                                nullptr, &context->interfaceLinkName);
    if (NT_SUCCESS(status) && context->interfaceLinkName.Buffer != nullptr)
        status = IoSetDeviceInterfaceState(&context->interfaceLinkName, TRUE);
    else if (NT_SUCCESS(status))
        status = STATUS_UNSUCCESSFUL;
    if (!NT_SUCCESS(status)) {
        DbgPrint("%s %s Device interface not enabled (status= 0x%08x).", kDebugPrefix, kErrorMarker,
                 static_cast<unsigned>(status));
        return;
    }
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
    // Plug and play may start a started device again: what runs stays as it is.
    if (context->started != 0) return STATUS_SUCCESS;
    // A stop gave up this stick's place in the one-stick count; it takes it back.
    RestoreDeviceCount();

    // A start after a stop (or after a failed start) finds the earlier transport and ring: they
    // are released (after making sure nothing of theirs is still in flight) and built afresh.
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
        ReleaseUnpublishedTransport(WithdrawTransport(context));
        return STATUS_INSUFFICIENT_RESOURCES;
    }

    DelayMilliseconds(kStartPauseMilliseconds);

    if (context->transport->ProbeFirmware() == STATUS_END_OF_FILE) {
        // The firmware runs, but the configuration step may not have finished: without the
        // selected interface there are no command pipes, and a stick whose own probe during the
        // selection was lost has no stream pipe. Such a start did not bring the receiver up.
        CQZUSB* transport = context->transport;
        const bool probedKind =
            context->deviceKind == kDeviceKindKvs1122 || context->deviceKind == kDeviceKindKvs;
        if (transport->CommandPipe() == nullptr || transport->ReplyPipe() == nullptr ||
            (probedKind && transport->firmwareNeeded != 0)) {
            DbgPrint("%s %s The stick's configuration could not be selected.", kDebugPrefix,
                     kErrorMarker);
            return STATUS_UNSUCCESSFUL;
        }
        PrintBanners();
        BindChipDevices(device);
        StartInterruptReader(device);
        status = BdaCreateFilterFactory(device, ReceiverFilterDescriptor(), ReceiverBdaTemplate());
        if (status != STATUS_SUCCESS) return status;
        EnableDeviceInterface(device, context);
        context->started = 1;
        return STATUS_SUCCESS;
    }

    if (!DownloadFirmware(device)) return STATUS_INSUFFICIENT_RESOURCES;
    context->started = 1;
    return STATUS_SUCCESS;
}
