// The interrupt-pipe reader: one read pending from start until stop, power-down or removal,
// carrying status reports to the status record and key reports to the key queue.
//
// Ownership of the pending packet: interruptIrp names it while the bus holds it. The completion
// clears interruptIrp under interruptLock before it releases the packet; a cancel loop takes the
// pointer under the same lock and registers itself in interruptCancelers, and while any loop is
// registered the completion parks the packet on interruptRetired instead of releasing it. The
// last loop to leave releases the parked packets. So IoCancelIrp never reaches freed memory and is
// never called with the lock held (the bus may complete the packet inside IoCancelIrp).
#include "usb/interrupt_reader.h"

#include "bridge/signal_status.h"
#include "platform/debug_print.h"
#include "platform/pool.h"
#include "usb/cqzusb.h"
#include "usb/submission_handover.h"

namespace {

constexpr USHORT kInterruptRequestBytes = sizeof(_URB_BULK_OR_INTERRUPT_TRANSFER);  // 128
// Reports are read up to byte 6; the buffer never ends before that, whatever the pipe's size.
constexpr ULONG kShortestReportBuffer = 8;
constexpr LONGLONG kCancelPollInterval100ns = -1000000;  // relative: 100 ms

// A stalled endpoint fails every read at once; after this many failures in a row the reader
// rests until it is started again (device start, power-up) or resumed, instead of resubmitting
// for as long as the stick stays plugged. A stream start and the application's next key request
// resume it: the key request comes from whoever wants the remote, at passive level and at the
// application's own pace, so a stall that lasts costs one read per request and nothing when no
// one asks, and the driver needs no timer whose end device stop and removal would have to wait
// for. A read that cannot be allocated rests the reader the same way.
constexpr ULONG kInterruptFailureLimit = 8;

constexpr ULONG kSlotRequest = 0;
constexpr ULONG kSlotBuffer = 1;
constexpr ULONG kSlotHandover = 2;  // usb/submission_handover.h
constexpr ULONG kSlotRetiredLink = 3;

void ReleaseReadPieces(PIRP irp) {
    PoolFree(irp->Tail.Overlay.DriverContext[kSlotBuffer]);
    PoolFree(irp->Tail.Overlay.DriverContext[kSlotRequest]);
    IoFreeIrp(irp);
}

void ReleaseRetiredChain(PIRP chain) {
    while (chain != nullptr) {
        PIRP next = static_cast<PIRP>(chain->Tail.Overlay.DriverContext[kSlotRetiredLink]);
        ReleaseReadPieces(chain);
        chain = next;
    }
}

// Ends a submission that stored no packet: a completion waiting to resubmit is done. With
// `rest`, the reader rests as after failing reads, so that a resume brings it back.
NTSTATUS AbandonSubmission(CQZUSB* transport, NTSTATUS status, bool rest = false) {
    KIRQL previous;
    KeAcquireSpinLock(&transport->interruptLock, &previous);
    transport->interruptResubmitting = 0;
    if (rest) transport->interruptFailures = kInterruptFailureLimit;
    KeReleaseSpinLock(&transport->interruptLock, previous);
    return status;
}

bool SettleRead(CQZUSB* transport, PIRP irp, bool completedInCall);

// Builds and sends one read on pipe 6. Callers have made sure no other read is pending. A read
// that completes inside the call that sends it is settled here once the call has returned, and
// the next read follows from this loop, never from inside that call: the stack stays flat
// however many reads complete that way in a row (usb/submission_handover.h).
NTSTATUS SubmitRead(CQZUSB* transport) {
    for (;;) {
        DeviceContext* context = transport->device != nullptr ? transport->Context() : nullptr;
        if (context == nullptr || context->deviceKind == kDeviceKind6688) {
            return AbandonSubmission(transport, STATUS_UNSUCCESSFUL);
        }
        PUSBD_PIPE_INFORMATION pipe = transport->InterruptPipe();
        if (pipe == nullptr) return AbandonSubmission(transport, STATUS_UNSUCCESSFUL);

        PDEVICE_OBJECT target = transport->device->PhysicalDeviceObject;
        const ULONG transferLength = pipe->MaximumPacketSize;
        const ULONG bufferLength =
            transferLength > kShortestReportBuffer ? transferLength : kShortestReportBuffer;
        PIRP irp = IoAllocateIrp(static_cast<CCHAR>(target->StackSize + 1), FALSE);
        auto* urb = static_cast<PURB>(PoolAllocateZeroed(kInterruptRequestBytes));
        // Zero-filled so that a report shorter than the bytes read from it shows zeros, not old
        // data.
        auto* buffer = static_cast<PUCHAR>(PoolAllocateZeroed(bufferLength));
        if (irp == nullptr || urb == nullptr || buffer == nullptr) {
            if (buffer != nullptr) PoolFree(buffer);
            if (urb != nullptr) PoolFree(urb);
            if (irp != nullptr) IoFreeIrp(irp);
            DbgPrint("%s %s SubmitRead(No memory for the interrupt read): the reader rests.",
                     kDebugPrefix, kErrorMarker);
            return AbandonSubmission(transport, STATUS_INSUFFICIENT_RESOURCES, true);
        }
        UsbBuildInterruptOrBulkTransferRequest(
            urb, kInterruptRequestBytes, pipe->PipeHandle, buffer, nullptr, transferLength,
            USBD_TRANSFER_DIRECTION_IN | USBD_SHORT_TRANSFER_OK, nullptr);

        PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(irp);
        next->MajorFunction = IRP_MJ_INTERNAL_DEVICE_CONTROL;
        next->Parameters.DeviceIoControl.IoControlCode = IOCTL_INTERNAL_USB_SUBMIT_URB;
        next->Parameters.Others.Argument1 = urb;
        irp->Tail.Overlay.DriverContext[kSlotRequest] = urb;
        irp->Tail.Overlay.DriverContext[kSlotBuffer] = buffer;
        IoSetCompletionRoutine(irp, IntIrp_Complete, transport->device, TRUE, TRUE, TRUE);

        KIRQL previous;
        KeAcquireSpinLock(&transport->interruptLock, &previous);
        transport->interruptIrp = irp;
        transport->interruptResubmitting = 0;
        KeReleaseSpinLock(&transport->interruptLock, previous);

        handover::BeginSubmission(irp, kSlotHandover);
        const NTSTATUS status = IoCallDriver(target, irp);
        if (!handover::SubmitterMovesOn(irp, kSlotHandover)) return status;
        if (!SettleRead(transport, irp, true)) return status;
    }
}

void SleepForCancelPoll() {
    KTIMER timer;
    KeInitializeTimerEx(&timer, SynchronizationTimer);
    LARGE_INTEGER due;
    due.QuadPart = kCancelPollInterval100ns;
    KeSetTimer(&timer, due, nullptr);
    KeWaitForSingleObject(&timer, Executive, KernelMode, FALSE, nullptr);
}

}  // namespace

NTSTATUS CQZUSB::SubmitInterruptRead() {
    KIRQL previous;
    KeAcquireSpinLock(&interruptLock, &previous);
    interruptStopping = 0;
    interruptFailures = 0;
    // Exactly one read is kept pending: a second one would be lost to the cancel loops.
    const bool pending = interruptIrp != nullptr || interruptResubmitting != 0;
    KeReleaseSpinLock(&interruptLock, previous);
    if (pending) return STATUS_SUCCESS;
    return SubmitRead(this);
}

void CQZUSB::ResumeInterruptReader() {
    KIRQL previous;
    KeAcquireSpinLock(&interruptLock, &previous);
    const bool resting = interruptIrp == nullptr && interruptResubmitting == 0 &&
                         interruptStopping == 0 && interruptFailures >= kInterruptFailureLimit;
    if (resting) {
        interruptFailures = 0;
        interruptResubmitting = 1;
    }
    KeReleaseSpinLock(&interruptLock, previous);
    if (resting) SubmitRead(this);
}

bool CQZUSB::InterruptReaderResting() {
    KIRQL previous;
    KeAcquireSpinLock(&interruptLock, &previous);
    const bool resting = interruptIrp == nullptr && interruptResubmitting == 0 &&
                         interruptStopping == 0 && interruptFailures >= kInterruptFailureLimit;
    KeReleaseSpinLock(&interruptLock, previous);
    return resting;
}

void CQZUSB::CancelInterruptRead() {
    KIRQL previous;
    KeAcquireSpinLock(&interruptLock, &previous);
    interruptStopping = 1;
    KeReleaseSpinLock(&interruptLock, previous);

    for (;;) {
        KeAcquireSpinLock(&interruptLock, &previous);
        PIRP irp = interruptIrp;
        const bool busy = irp != nullptr || interruptResubmitting != 0;
        if (irp != nullptr) ++interruptCancelers;
        KeReleaseSpinLock(&interruptLock, previous);
        if (!busy) return;

        if (irp != nullptr) {
            IoCancelIrp(irp);
            PIRP retired = nullptr;
            KeAcquireSpinLock(&interruptLock, &previous);
            if (--interruptCancelers == 0) {
                retired = interruptRetired;
                interruptRetired = nullptr;
            }
            KeReleaseSpinLock(&interruptLock, previous);
            ReleaseRetiredChain(retired);
        }
        SleepForCancelPoll();
    }
}

NTSTATUS IntIrp_Complete(PDEVICE_OBJECT, PIRP irp, PVOID context) {
    auto device = static_cast<PKSDEVICE>(context);
    DeviceContext* deviceContext = GetDeviceContext(device);
    CQZUSB* transport = deviceContext->transport;
    const NTSTATUS status = irp->IoStatus.Status;
    const auto* report = static_cast<const UCHAR*>(irp->Tail.Overlay.DriverContext[kSlotBuffer]);

    if (status == STATUS_SUCCESS) {
        if (report[0] == kStatusReportType) {
            const LONG before = InterlockedIncrement(&deviceContext->statusReportCount) - 1;
            if (before > 1) DecodeStatusReport(report);
        } else if (report[0] == kKeyReportType) {
            KeyQueuePush(deviceContext, report);
        }
    }

    if (!handover::CompletionLeavesItToSubmitter(irp, kSlotHandover) &&
        SettleRead(transport, irp, false))
        SubmitRead(transport);
    return STATUS_MORE_PROCESSING_REQUIRED;
}

namespace {

// The step after a read's completion: the reader's bookkeeping, the release of the read's pieces
// (or their parking while a cancel loop holds the packet), and whether the next read follows.
bool SettleRead(CQZUSB* transport, PIRP irp, bool completedInCall) {
    const NTSTATUS status = irp->IoStatus.Status;
    const bool readerEnds = status == STATUS_CANCELLED || status == STATUS_DEVICE_NOT_CONNECTED;
    // A read the bus refused inside the submitting call would be refused again at once. The
    // reader rests instead.
    const bool refused = completedInCall && !NT_SUCCESS(status) && !readerEnds;
    KIRQL previous;
    KeAcquireSpinLock(&transport->interruptLock, &previous);
    if (transport->interruptIrp == irp) transport->interruptIrp = nullptr;
    if (status == STATUS_SUCCESS) {
        transport->interruptFailures = 0;
    } else if (!readerEnds) {
        transport->interruptFailures =
            refused ? kInterruptFailureLimit : transport->interruptFailures + 1;
    }
    const bool resting = transport->interruptFailures >= kInterruptFailureLimit;
    const bool resubmit = !readerEnds && !resting && transport->interruptStopping == 0;
    if (resubmit) transport->interruptResubmitting = 1;
    const bool park = transport->interruptCancelers > 0;
    if (park) {
        irp->Tail.Overlay.DriverContext[kSlotRetiredLink] = transport->interruptRetired;
        transport->interruptRetired = irp;
    }
    KeReleaseSpinLock(&transport->interruptLock, previous);

    if (!park) ReleaseReadPieces(irp);
    if (!resubmit && resting && !readerEnds) {
        DbgPrint("%s %s IntIrp_Complete(%s, status= 0x%08x): the reader rests.", kDebugPrefix,
                 kErrorMarker, refused ? "Read refused by the bus" : "Reads keep failing",
                 static_cast<unsigned>(status));
    }
    return resubmit;
}

}  // namespace
