// The descriptor chain run at construction (device descriptor, classification, configuration
// descriptor, configuration selection, stream pipe) and the bridge firmware probe.
#include "bridge/firmware_download.h"
#include "driver/device_context.h"
#include "platform/debug_print.h"
#include "platform/pool.h"
#include "usb/cqzusb.h"
#include "usb/device_classification.h"

namespace {

constexpr ULONG kDeviceDescriptorBytes = 18;
constexpr ULONG kConfigurationHeaderBytes = 9;
constexpr ULONG kConfigurationHeaderBuffer = 25;
constexpr ULONG kConfigurationSlack = 16;
constexpr ULONG kMaximumTransferSize = 0xFFFF;

// The running bridge firmware answers string descriptor 2 with "GGG" in bytes 2 to 4.
constexpr UCHAR kProbeStringIndex = 2;
constexpr ULONG kProbeReplyBytes = 136;
constexpr UCHAR kProbeMark = 0x47;

// Stream pipe position by device kind (no stream pipe for kind 0).
constexpr ULONG kNoStreamPipe = 0xFFFFFFFF;
constexpr ULONG kStreamPipeByKind[] = {kNoStreamPipe, 3, 4, 2};

// A pipe at a role's position whose type or direction is not the role's is left unused: reads the
// bus refuses for their pipe would only fail over and over.
void ReportUnusablePipe(ULONG position) {
    DbgPrint("%s %s Pipe %u has the wrong type or direction and is not used.", kDebugPrefix,
             kErrorMarker, static_cast<unsigned>(position));
}

PURB AllocateDescriptorRequest() {
    return static_cast<PURB>(PoolAllocateZeroed(sizeof(_URB_CONTROL_DESCRIPTOR_REQUEST)));
}

USHORT ReadLittleEndian16(const UCHAR* bytes) {
    return static_cast<USHORT>(bytes[0] | (bytes[1] << 8));
}

// Sends the probe request; STATUS_END_OF_FILE when the reply shows the running firmware,
// otherwise the submission's status.
NTSTATUS SendFirmwareProbe(CQZUSB* transport) {
    PURB urb = AllocateDescriptorRequest();
    auto* reply = static_cast<PUCHAR>(PoolAllocateZeroed(kProbeReplyBytes));
    if (urb == nullptr || reply == nullptr) {
        if (urb != nullptr) PoolFree(urb);
        if (reply != nullptr) PoolFree(reply);
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    UsbBuildGetDescriptorRequest(urb, sizeof(_URB_CONTROL_DESCRIPTOR_REQUEST),
                                 USB_STRING_DESCRIPTOR_TYPE, kProbeStringIndex, 0, reply, nullptr,
                                 kProbeReplyBytes, nullptr);
    NTSTATUS status = transport->CallUSBD(urb);
    if (NT_SUCCESS(status) && reply[2] == kProbeMark && reply[3] == kProbeMark &&
        reply[4] == kProbeMark) {
        status = STATUS_END_OF_FILE;
    }
    PoolFree(reply);
    PoolFree(urb);
    return status;
}

}  // namespace

NTSTATUS CQZUSB::GetDeviceDescriptor() {
    PURB urb = AllocateDescriptorRequest();
    auto* buffer = static_cast<PUSB_DEVICE_DESCRIPTOR>(PoolAllocateZeroed(kDeviceDescriptorBytes));
    if (urb == nullptr || buffer == nullptr) {
        if (urb != nullptr) PoolFree(urb);
        if (buffer != nullptr) PoolFree(buffer);
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    UsbBuildGetDescriptorRequest(urb, sizeof(_URB_CONTROL_DESCRIPTOR_REQUEST),
                                 USB_DEVICE_DESCRIPTOR_TYPE, 0, 0, buffer, nullptr,
                                 kDeviceDescriptorBytes, nullptr);
    NTSTATUS status = CallUSBD(urb);
    // A descriptor that came back short says nothing about the stick: classifying the zeros
    // behind it would make it a stick of another kind.
    if (NT_SUCCESS(status) &&
        urb->UrbControlDescriptorRequest.TransferBufferLength < kDeviceDescriptorBytes) {
        status = STATUS_UNSUCCESSFUL;
    }
    if (!NT_SUCCESS(status)) {
        PoolFree(urb);
        PoolFree(buffer);
        return status;
    }

    const auto* bytes = reinterpret_cast<const UCHAR*>(buffer);
    const USHORT productId = ReadLittleEndian16(bytes + 10);
    const DeviceClassification classification =
        ClassifyDevice(ReadLittleEndian16(bytes + 8), productId);
    Context()->deviceKind = classification.kind;
    if (classification.patchProductId) PatchProductId(productId);

    if (descriptors->deviceDescriptor != nullptr) PoolFree(descriptors->deviceDescriptor);
    descriptors->deviceDescriptor = buffer;
    PoolFree(urb);
    return GetConfigurationDescriptor();
}

NTSTATUS CQZUSB::GetConfigurationDescriptor() {
    PURB urb = AllocateDescriptorRequest();
    if (urb == nullptr) return STATUS_NO_MEMORY;
    auto* header = static_cast<PUCHAR>(PoolAllocateZeroed(kConfigurationHeaderBuffer));
    if (header == nullptr) {
        PoolFree(urb);
        return STATUS_NO_MEMORY;
    }
    UsbBuildGetDescriptorRequest(urb, sizeof(_URB_CONTROL_DESCRIPTOR_REQUEST),
                                 USB_CONFIGURATION_DESCRIPTOR_TYPE, 0, 0, header, nullptr,
                                 kConfigurationHeaderBytes, nullptr);
    NTSTATUS status = CallUSBD(urb);
    // Without the header there is no length for the whole descriptor: the chain ends here.
    if (NT_SUCCESS(status) && urb->UrbControlDescriptorRequest.TransferBufferLength < 4) {
        status = STATUS_UNSUCCESSFUL;
    }
    const ULONG totalLength = ReadLittleEndian16(header + 2);
    PoolFree(header);
    if (!NT_SUCCESS(status)) {
        PoolFree(urb);
        return status;
    }

    const ULONG bufferLength = totalLength + kConfigurationSlack;
    auto* configuration =
        static_cast<PUSB_CONFIGURATION_DESCRIPTOR>(PoolAllocateZeroed(bufferLength));
    if (configuration == nullptr) {
        PoolFree(urb);
        return STATUS_NO_MEMORY;
    }
    RtlZeroMemory(urb, sizeof(_URB_CONTROL_DESCRIPTOR_REQUEST));
    UsbBuildGetDescriptorRequest(urb, sizeof(_URB_CONTROL_DESCRIPTOR_REQUEST),
                                 USB_CONFIGURATION_DESCRIPTOR_TYPE, 0, 0, configuration, nullptr,
                                 bufferLength, nullptr);
    status = CallUSBD(urb);
    if (NT_SUCCESS(status)) {
        // The parser walks the descriptor up to its own wTotalLength: never let that reach past
        // the bytes that actually arrived, whatever the second reply claims.
        const ULONG received = urb->UrbControlDescriptorRequest.TransferBufferLength;
        if (received < kConfigurationHeaderBytes || received > bufferLength) {
            status = STATUS_UNSUCCESSFUL;
        } else {
            if (configuration->wTotalLength > received)
                configuration->wTotalLength = static_cast<USHORT>(received);
            status = SelectConfiguration(configuration, 1);
        }
    }
    PoolFree(urb);
    PoolFree(configuration);
    return status;
}

NTSTATUS CQZUSB::SelectConfiguration(PUSB_CONFIGURATION_DESCRIPTOR configuration,
                                     UCHAR alternateSetting) {
    PUSB_INTERFACE_DESCRIPTOR interface = USBD_ParseConfigurationDescriptorEx(
        configuration, configuration, -1, alternateSetting, -1, -1, -1);
    if (interface == nullptr) return STATUS_UNSUCCESSFUL;

    USBD_INTERFACE_LIST_ENTRY interfaces[2] = {{interface, nullptr}, {nullptr, nullptr}};
    PURB urb = USBD_CreateConfigurationRequestEx(configuration, interfaces);
    if (urb == nullptr || interfaces[0].Interface == nullptr) {
        if (urb != nullptr) ExFreePool(urb);
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    PUSBD_INTERFACE_INFORMATION requested = interfaces[0].Interface;
    for (ULONG i = 0; i < interface->bNumEndpoints && i < requested->NumberOfPipes; ++i) {
        requested->Pipes[i].MaximumTransferSize = kMaximumTransferSize;
    }

    const NTSTATUS status = CallUSBD(urb);
    if (!NT_SUCCESS(status) || !USBD_SUCCESS(urb->UrbHeader.Status)) {
        ExFreePool(urb);
        return status;
    }

    // Keep the interface information exactly as the bus returned it (its Length bytes).
    const USHORT length = requested->Length;
    if (length < offsetof(USBD_INTERFACE_INFORMATION, Pipes)) {
        ExFreePool(urb);
        return STATUS_UNSUCCESSFUL;
    }
    auto* copy = static_cast<PUSBD_INTERFACE_INFORMATION>(PoolAllocate(length));
    if (copy == nullptr) {
        ExFreePool(urb);
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    RtlCopyMemory(copy, requested, length);
    if (descriptors->interfaceInfo != nullptr) PoolFree(descriptors->interfaceInfo);
    descriptors->interfaceInfo = copy;

    const UCHAR kind = Context()->deviceKind;
    if (kind == kDeviceKindKvs1122 || kind == kDeviceKindKvs) {
        if (SendFirmwareProbe(this) == STATUS_END_OF_FILE) firmwareNeeded = 0;
    } else if (kind == kDeviceKind6688) {
        firmwareNeeded = 0;
    }

    if (firmwareNeeded == 0 && kind < sizeof(kStreamPipeByKind) / sizeof(kStreamPipeByKind[0]) &&
        kStreamPipeByKind[kind] != kNoStreamPipe) {
        // A stick whose interface is shorter than its kind expects, or whose pipe there is not a
        // bulk or isochronous IN pipe, gets no stream pipe.
        const ULONG position = kStreamPipeByKind[kind];
        PUSBD_PIPE_INFORMATION pipe = StreamPipeAt(position);
        if (pipe != nullptr) {
            streamPipeIndex = position;
            streamPipeType = static_cast<ULONG>(pipe->PipeType);
        } else if (Pipe(position) != nullptr) {
            ReportUnusablePipe(position);
        }
    }
    if (InterruptPipe() == nullptr && Pipe(kPipeInterrupt) != nullptr)
        ReportUnusablePipe(kPipeInterrupt);
    ExFreePool(urb);
    return status;
}

NTSTATUS CQZUSB::ProbeFirmware() {
    if (Context()->deviceKind == kDeviceKind6688) return STATUS_END_OF_FILE;
    return SendFirmwareProbe(this);
}
