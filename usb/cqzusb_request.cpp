// Synchronous request submission with its one-second time-out, and the bridge's bulk transfers.
#include "driver/device_context.h"
#include "platform/debug_print.h"
#include "usb/cqzusb.h"

namespace {

constexpr LONGLONG kRequestTimeout100ns = -10000000;  // relative: 1 second

// The packet stays the driver's: its completion only wakes the waiting caller, which frees it.
NTSTATUS SynchronousRequestComplete(PDEVICE_OBJECT, PIRP, PVOID context) {
    KeSetEvent(static_cast<PKEVENT>(context), IO_NO_INCREMENT, FALSE);
    return STATUS_MORE_PROCESSING_REQUIRED;
}

bool TransportActive(CQZUSB* transport) {
    DeviceContext* context = transport->Context();
    return context != nullptr && IsDeviceActive(context) != 0;
}

void ReportRemoved() {
    DbgPrint("%s %s CQZUSB::CallUSBD(Device is removed!!!).", kDebugPrefix, kErrorMarker);
}

// Sends one request block in a packet of the driver's own and waits for it: at most one second,
// then the packet is cancelled and waited for until it is back. Because the completion routine
// hands the packet back to this function, the packet cannot be released while it is being
// cancelled, however the completion and the time-out fall. The transport's own packet (`kept`)
// is reused instead of allocating one, and stays the transport's; only a transport without one
// allocates.
NTSTATUS SubmitAndWait(CQZUSB* transport, PURB urb, PIRP kept) {
    PDEVICE_OBJECT target = transport->device->PhysicalDeviceObject;
    PIRP irp = kept;
    if (irp != nullptr) {
        IoReuseIrp(irp, STATUS_SUCCESS);
    } else {
        irp = IoAllocateIrp(static_cast<CCHAR>(target->StackSize + 1), FALSE);
        if (irp == nullptr) {
            DbgPrint("%s %s CQZUSB::CallUSBD(No request packet!!!).", kDebugPrefix, kErrorMarker);
            return STATUS_INSUFFICIENT_RESOURCES;
        }
    }

    KEVENT done;
    KeInitializeEvent(&done, NotificationEvent, FALSE);
    PIO_STACK_LOCATION nextStack = IoGetNextIrpStackLocation(irp);
    KVS_ASSERT_AT(nextStack != NULL, "cqzusb2", __LINE__);
    nextStack->MajorFunction = IRP_MJ_INTERNAL_DEVICE_CONTROL;
    nextStack->Parameters.DeviceIoControl.IoControlCode = IOCTL_INTERNAL_USB_SUBMIT_URB;
    nextStack->Parameters.Others.Argument1 = urb;
    IoSetCompletionRoutine(irp, SynchronousRequestComplete, &done, TRUE, TRUE, TRUE);

    NTSTATUS status = IoCallDriver(target, irp);
    if (status == STATUS_PENDING) {
        LARGE_INTEGER timeout;
        timeout.QuadPart = kRequestTimeout100ns;
        if (KeWaitForSingleObject(&done, Executive, KernelMode, FALSE, &timeout) ==
            STATUS_TIMEOUT) {
            DbgPrint("%s %s CQZUSB::CallUSBD(Status TimeOut!!!).", kDebugPrefix, kErrorMarker);
            IoCancelIrp(irp);
            KeWaitForSingleObject(&done, Executive, KernelMode, FALSE, nullptr);
        }
        status = irp->IoStatus.Status;
    }
    if (irp != kept) IoFreeIrp(irp);
    return status;
}

}  // namespace

NTSTATUS CQZUSB::CallUSBD(PURB urb) {
    // Counted before the first look at deviceActive and until the request mutex is released, so
    // that WaitForIdle, which runs once deviceActive is 0, sees every caller that may still
    // touch the mutex or the bus. deviceActive is looked at again under the mutex: stop may have
    // cleared it while this caller waited there.
    InterlockedIncrement(&requestsInFlight);
    NTSTATUS status = STATUS_UNSUCCESSFUL;
    if (!TransportActive(this)) {
        ReportRemoved();
    } else {
        KeWaitForSingleObject(&requestMutex, Executive, KernelMode, FALSE, nullptr);
        if (TransportActive(this))
            status = SubmitAndWait(this, urb, requestIrp);
        else
            ReportRemoved();
        KeReleaseMutex(&requestMutex, FALSE);
    }
    InterlockedDecrement(&requestsInFlight);
    return status;
}

namespace {

NTSTATUS BulkTransfer(CQZUSB* transport, PUSBD_PIPE_INFORMATION (CQZUSB::*pipeOfRole)() const,
                      ULONG flags, void* data, ULONG length, ULONG* bytesMoved) {
    if (transport->device == nullptr || data == nullptr) return STATUS_UNSUCCESSFUL;
    if (transport->descriptors == nullptr || transport->descriptors->interfaceInfo == nullptr) {
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    PUSBD_PIPE_INFORMATION pipe = (transport->*pipeOfRole)();
    if (pipe == nullptr) return STATUS_UNSUCCESSFUL;

    URB urb;
    RtlZeroMemory(&urb, sizeof(urb));
    UsbBuildInterruptOrBulkTransferRequest(&urb, sizeof(_URB_BULK_OR_INTERRUPT_TRANSFER),
                                           pipe->PipeHandle, data, nullptr, length, flags, nullptr);
    NTSTATUS status = transport->CallUSBD(&urb);
    if (NT_SUCCESS(status) && bytesMoved != nullptr) {
        *bytesMoved = urb.UrbBulkOrInterruptTransfer.TransferBufferLength;
    }
    return status;
}

}  // namespace

NTSTATUS CQZUSB::BulkWrite(const void* data, ULONG length, ULONG* bytesMoved) {
    // The bus only reads an OUT transfer's buffer.
    return BulkTransfer(this, &CQZUSB::CommandPipe, USBD_SHORT_TRANSFER_OK, const_cast<void*>(data),
                        length, bytesMoved);
}

NTSTATUS CQZUSB::BulkRead(void* buffer, ULONG length, ULONG* bytesMoved) {
    return BulkTransfer(this, &CQZUSB::ReplyPipe,
                        USBD_TRANSFER_DIRECTION_IN | USBD_SHORT_TRANSFER_OK, buffer, length,
                        bytesMoved);
}

NTSTATUS CQZUSB::ResetReplyPipe() {
    PUSBD_PIPE_INFORMATION pipe = ReplyPipe();
    if (device == nullptr || pipe == nullptr) return STATUS_UNSUCCESSFUL;
    URB urb;
    RtlZeroMemory(&urb, sizeof(urb));
    urb.UrbHeader.Length = sizeof(_URB_PIPE_REQUEST);
    urb.UrbHeader.Function = URB_FUNCTION_SYNC_RESET_PIPE_AND_CLEAR_STALL;
    urb.UrbPipeRequest.PipeHandle = pipe->PipeHandle;
    return CallUSBD(&urb);
}
