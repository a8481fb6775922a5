// Stream start and stop for pin states, power, tuning and the private properties; the interrupt
// reader's start.
#include "driver/stream_control.h"

#include "driver/device_context.h"
#include "usb/cqzusb.h"
#include "usb/stream_ring.h"

void StartStreamLocked(PKSDEVICE device) {
    DeviceContext* context = GetDeviceContext(device);
    if (context == nullptr || context->transport == nullptr) return;
    CQZUSB* transport = context->transport;
    KeWaitForSingleObject(&transport->ioMutex, Executive, KernelMode, FALSE, nullptr);
    KeEnterCriticalRegion();
    if (IsDeviceActive(context) == 1) {
        if (context->ring != nullptr) StreamRingReset(context->ring);
        transport->StartReader();
        // Status reports count from the stream start; a reader that rested after failing reads
        // tries again now.
        transport->ResumeInterruptReader();
    }
    KeLeaveCriticalRegion();
    KeReleaseMutex(&transport->ioMutex, FALSE);
}

void StopStream(PKSDEVICE device) {
    DeviceContext* context = GetDeviceContext(device);
    if (context == nullptr || context->transport == nullptr) return;
    CQZUSB* transport = context->transport;
    // Under the device I/O mutex like every start, so that a start never runs halfway into a
    // stop (the mutex is owner-recursive: device stop calls this with it held).
    KeWaitForSingleObject(&transport->ioMutex, Executive, KernelMode, FALSE, nullptr);
    KeEnterCriticalRegion();
    if (IsDeviceActive(context) == 1) {
        if (context->ring != nullptr) StreamRingReset(context->ring);
        transport->StopReader();
    }
    KeLeaveCriticalRegion();
    KeReleaseMutex(&transport->ioMutex, FALSE);
}

void StartInterruptReader(PKSDEVICE device) {
    DeviceContext* context = GetDeviceContext(device);
    if (context == nullptr || context->transport == nullptr) return;
    context->transport->SubmitInterruptRead();
}
