// Synchronous request submission with its one-second time-out, and the bridge's bulk transfers.
#include "driver/device_context.h"
#include "platform/debug_print.h"
#include "usb/cqzusb.h"

namespace {

constexpr LONGLONG kRequestTimeout100ns = -10000000;  // relative: 1 second

}  // namespace

NTSTATUS CQZUSB::CallUSBD(PURB urb) {
    DeviceContext* context = Context();
    if (context == nullptr || IsDeviceActive(context) == 0) {
        DbgPrint("%s %s CQZUSB::CallUSBD(Device is removed!!!).", kDebugPrefix, kErrorMarker);
        return STATUS_UNSUCCESSFUL;
    }

    KeWaitForSingleObject(&requestMutex, Executive, KernelMode, FALSE, nullptr);

    KEVENT event;
    IO_STATUS_BLOCK ioStatus;
    ioStatus.Status = STATUS_SUCCESS;
    ioStatus.Information = 0;
    KeInitializeEvent(&event, NotificationEvent, FALSE);
    PIRP irp =
        IoBuildDeviceIoControlRequest(IOCTL_INTERNAL_USB_SUBMIT_URB, device->PhysicalDeviceObject,
                                      nullptr, 0, nullptr, 0, TRUE, &event, &ioStatus);
    if (irp == nullptr) {
        KeReleaseMutex(&requestMutex, FALSE);
        return STATUS_INSUFFICIENT_RESOURCES;
    }

    PIO_STACK_LOCATION nextStack = IoGetNextIrpStackLocation(irp);
    KVS_ASSERT_AT(nextStack != NULL, "cqzusb2", __LINE__);
    nextStack->Parameters.Others.Argument1 = urb;

    InterlockedIncrement(&requestsInFlight);
    NTSTATUS status = IoCallDriver(device->PhysicalDeviceObject, irp);
    if (status == STATUS_PENDING) {
        LARGE_INTEGER timeout;
        timeout.QuadPart = kRequestTimeout100ns;
        NTSTATUS wait = KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, &timeout);
        if (wait == STATUS_TIMEOUT) {
            DbgPrint("%s %s CQZUSB::CallUSBD(Status TimeOut!!!).", kDebugPrefix, kErrorMarker);
            // The I/O system releases this packet from an APC to this thread once it completes;
            // holding APCs off keeps the packet alive while it is being cancelled.
            KIRQL previous;
            KeRaiseIrql(APC_LEVEL, &previous);
            IoCancelIrp(irp);
            KeLowerIrql(previous);
            KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, nullptr);
        }
        status = ioStatus.Status;
    }
    InterlockedDecrement(&requestsInFlight);

    KeReleaseMutex(&requestMutex, FALSE);
    return status;
}

namespace {

NTSTATUS BulkTransfer(CQZUSB* transport, ULONG pipePosition, ULONG flags, void* data, ULONG length,
                      ULONG* bytesMoved) {
    if (transport->device == nullptr || data == nullptr) return STATUS_UNSUCCESSFUL;
    if (transport->descriptors == nullptr || transport->descriptors->interfaceInfo == nullptr) {
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    PUSBD_PIPE_INFORMATION pipe = transport->Pipe(pipePosition);
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
    return BulkTransfer(this, kPipeCommand, USBD_SHORT_TRANSFER_OK, const_cast<void*>(data), length,
                        bytesMoved);
}

NTSTATUS CQZUSB::BulkRead(void* buffer, ULONG length, ULONG* bytesMoved) {
    return BulkTransfer(this, kPipeCommandReply,
                        USBD_TRANSFER_DIRECTION_IN | USBD_SHORT_TRANSFER_OK, buffer, length,
                        bytesMoved);
}
