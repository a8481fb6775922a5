// Construction and release of the stick's USB transport, and access to its selected interface.
#include "usb/cqzusb.h"

#include "driver/device_context.h"
#include "platform/pool.h"

NTSTATUS CQZUSB::Construct(PKSDEVICE owningDevice) {
    device = owningDevice;
    lowerDevice = owningDevice->PhysicalDeviceObject;
    streamActive = 0;
    isoReadsOutstanding = 0;
    requestsInFlight = 0;
    bulkReadsOutstanding = 0;

    descriptors =
        static_cast<TransportDescriptors*>(PoolAllocateZeroed(sizeof(TransportDescriptors)));
    stagingBuffer = static_cast<PUCHAR>(PoolAllocate(kStagingBufferBytes));

    KeInitializeMutex(&requestMutex, 0);
    KeInitializeMutex(&ioMutex, 0);
    KeInitializeSpinLock(&interruptLock);
    KeInitializeSpinLock(&streamLock);

    firmwareNeeded = 1;
    if (descriptors == nullptr || stagingBuffer == nullptr) return STATUS_INSUFFICIENT_RESOURCES;
    return GetDeviceDescriptor();
}

void CQZUSB::ReleaseBuffers() {
    if (stagingBuffer != nullptr) {
        PoolFree(stagingBuffer);
        stagingBuffer = nullptr;
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
