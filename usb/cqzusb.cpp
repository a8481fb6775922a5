// Construction and release of the stick's USB transport, and access to its selected interface.
#include "usb/cqzusb.h"

#include "driver/device_context.h"
#include "platform/pool.h"

void CQZUSB::InitializeLocks() {
    KeInitializeMutex(&requestMutex, 0);
    KeInitializeMutex(&ioMutex, 0);
    KeInitializeMutex(&exchangeMutex, 0);
    KeInitializeSpinLock(&interruptLock);
    KeInitializeSpinLock(&streamLock);
}

NTSTATUS CQZUSB::Construct(PKSDEVICE owningDevice) {
    InitializeLocks();
    device = owningDevice;
    lowerDevice = owningDevice->PhysicalDeviceObject;
    streamActive = 0;
    isoReadsOutstanding = 0;
    requestsInFlight = 0;
    bulkReadsOutstanding = 0;

    descriptors =
        static_cast<TransportDescriptors*>(PoolAllocateZeroed(sizeof(TransportDescriptors)));
    abortRequest = static_cast<PURB>(PoolAllocateZeroed(sizeof(_URB_PIPE_REQUEST)));
    // The stack depth below is fixed for the device's life, so the packet fits every request.
    requestIrp = IoAllocateIrp(static_cast<CCHAR>(lowerDevice->StackSize + 1), FALSE);

    firmwareNeeded = 1;
    if (!IsWhole()) return STATUS_INSUFFICIENT_RESOURCES;
    linkSpeed = QueryLinkSpeed();
    return GetDeviceDescriptor();
}

bool CQZUSB::IsWhole() const {
    return descriptors != nullptr && abortRequest != nullptr && requestIrp != nullptr;
}

void CQZUSB::ReleaseBuffers() {
    if (requestIrp != nullptr) {
        IoFreeIrp(requestIrp);
        requestIrp = nullptr;
    }
    if (abortRequest != nullptr) {
        PoolFree(abortRequest);
        abortRequest = nullptr;
    }
    if (descriptors != nullptr) {
        if (descriptors->interfaceInfo != nullptr) {
            PoolFree(descriptors->interfaceInfo);
            descriptors->interfaceInfo = nullptr;
        }
        if (descriptors->deviceDescriptor != nullptr) {
            PoolFree(descriptors->deviceDescriptor);
            descriptors->deviceDescriptor = nullptr;
        }
        PoolFree(descriptors);
        descriptors = nullptr;
    }
}

namespace {

bool IsInPipe(const USBD_PIPE_INFORMATION& pipe) {
    return USB_ENDPOINT_DIRECTION_IN(pipe.EndpointAddress);
}

}  // namespace

DeviceContext* CQZUSB::Context() const {
    return GetDeviceContext(device);
}

PUSBD_PIPE_INFORMATION CQZUSB::Pipe(ULONG position) const {
    if (descriptors == nullptr || descriptors->interfaceInfo == nullptr) return nullptr;
    PUSBD_INTERFACE_INFORMATION info = descriptors->interfaceInfo;
    // The copy is exactly Length bytes: a pipe exists only if the bus reported it and its entry
    // lies inside the copy.
    const SIZE_T pipesOffset = offsetof(USBD_INTERFACE_INFORMATION, Pipes);
    if (position >= info->NumberOfPipes) return nullptr;
    if (pipesOffset + (static_cast<SIZE_T>(position) + 1) * sizeof(USBD_PIPE_INFORMATION) >
        info->Length) {
        return nullptr;
    }
    return &info->Pipes[position];
}

PUSBD_PIPE_INFORMATION CQZUSB::ReplyPipe() const {
    PUSBD_PIPE_INFORMATION pipe = Pipe(kPipeCommandReply);
    if (pipe == nullptr || pipe->PipeType != UsbdPipeTypeBulk || !IsInPipe(*pipe)) return nullptr;
    return pipe;
}

PUSBD_PIPE_INFORMATION CQZUSB::CommandPipe() const {
    PUSBD_PIPE_INFORMATION pipe = Pipe(kPipeCommand);
    if (pipe == nullptr || pipe->PipeType != UsbdPipeTypeBulk || IsInPipe(*pipe)) return nullptr;
    return pipe;
}

PUSBD_PIPE_INFORMATION CQZUSB::InterruptPipe() const {
    PUSBD_PIPE_INFORMATION pipe = Pipe(kPipeInterrupt);
    if (pipe == nullptr || pipe->PipeType != UsbdPipeTypeInterrupt || !IsInPipe(*pipe))
        return nullptr;
    return pipe;
}

PUSBD_PIPE_INFORMATION CQZUSB::StreamPipeAt(ULONG position) const {
    PUSBD_PIPE_INFORMATION pipe = Pipe(position);
    if (pipe == nullptr || !IsInPipe(*pipe)) return nullptr;
    if (pipe->PipeType != UsbdPipeTypeBulk && pipe->PipeType != UsbdPipeTypeIsochronous)
        return nullptr;
    return pipe;
}
