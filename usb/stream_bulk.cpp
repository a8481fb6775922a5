// Bulk stream reads: ten reads of 4096 bytes, each keeping its packet, block and buffer for the
// life of the stream. Their bytes are gathered in the StreamRing and handed to the output pin a
// whole frame at a time.
#include "platform/debug_print.h"
#include "platform/pool.h"
#include "usb/stream_reader_internal.h"
#include "usb/stream_ring.h"
#include "usb/submission_handover.h"

namespace {

void ReleaseBulkRead(PIRP irp, PURB urb, PUCHAR buffer) {
    if (buffer != nullptr) PoolFree(buffer);
    if (urb != nullptr) PoolFree(urb);
    if (irp != nullptr) IoFreeIrp(irp);
}

PURB AllocateBulkUrb() {
    auto* urb = static_cast<PURB>(PoolAllocate(kBulkUrbAllocation));
    if (urb != nullptr) RtlZeroMemory(urb, kBulkUrbLength);
    return urb;
}

PIRP AllocateStreamIrp(const CQZUSB* transport) {
    return IoAllocateIrp(static_cast<CCHAR>(transport->lowerDevice->StackSize + 1), FALSE);
}

// Fills the block and slots of a bulk read and sends it down.
NTSTATUS PassBulkRead(CQZUSB* transport, USBD_PIPE_HANDLE pipe, PIRP irp, PURB urb, PUCHAR buffer) {
    RtlZeroMemory(urb, kBulkUrbLength);
    UsbBuildInterruptOrBulkTransferRequest(
        urb, kBulkUrbLength, pipe, buffer, nullptr, kBulkReadBytes,
        USBD_TRANSFER_DIRECTION_IN | USBD_SHORT_TRANSFER_OK, nullptr);
    irp->Tail.Overlay.DriverContext[kSlotUrb] = urb;
    irp->Tail.Overlay.DriverContext[kSlotBuffer] = buffer;
    irp->Tail.Overlay.DriverContext[kSlotDevice] = transport->device;
    return PassStreamRead(transport, irp, urb, BulkIrp_Complete, kSlotBulkHandover);
}

// The step after a bulk read's completion: the same pieces go down again while the stream runs,
// or the read ends. A read that completes inside the call that sends it again is moved on by the
// next turn of the loop, never from inside that call (usb/submission_handover.h).
void MoveBulkReadOn(CQZUSB* transport, PIRP irp, bool completedInCall) {
    for (;;) {
        auto* urb = static_cast<PURB>(irp->Tail.Overlay.DriverContext[kSlotUrb]);
        auto* buffer = static_cast<PUCHAR>(irp->Tail.Overlay.DriverContext[kSlotBuffer]);
        const USBD_PIPE_HANDLE pipe = StreamPipeHandle(transport);
        if (EndsStreamRead(irp->IoStatus.Status) || ReadStreamActive(transport) == 0 ||
            pipe == nullptr || RefusedOnSubmission(irp, completedInCall, "BulkIrp_Complete")) {
            ReleaseBulkRead(irp, urb, buffer);
            InterlockedDecrement(&transport->bulkReadsOutstanding);
            return;
        }
        // Same packet, same stack depth: back to the state of a fresh allocation.
        IoReuseIrp(irp, STATUS_SUCCESS);
        PassBulkRead(transport, pipe, irp, urb, buffer);
        if (!handover::SubmitterMovesOn(irp, kSlotBulkHandover)) return;
        completedInCall = true;
    }
}

// Sends a read whose pieces are all at hand, and moves it on should it complete in the call.
NTSTATUS SendBulkRead(CQZUSB* transport, USBD_PIPE_HANDLE pipe, PIRP irp, PURB urb, PUCHAR buffer) {
    const NTSTATUS sent = PassBulkRead(transport, pipe, irp, urb, buffer);
    if (handover::SubmitterMovesOn(irp, kSlotBulkHandover)) MoveBulkReadOn(transport, irp, true);
    return sent;
}

// One successful read's bytes into the ring, then at most one whole frame from the ring to the
// output pin. Serialised so that two completions never take the same frame or interleave a
// put with another's take.
void DeliverBulkRead(CQZUSB* transport, DeviceContext* context, const UCHAR* bytes, ULONG count) {
    KIRQL oldIrql;
    KeAcquireSpinLock(&transport->streamLock, &oldIrql);
    const PKSPIN pin = ReadOutputPin(context);
    if (pin != nullptr && AntennaRunning(context) && PassDiscardLocked(transport)) {
        StreamRing* ring = context->ring;
        // A full ring drops the read's bytes. One hold of the ring's lock for the put and the
        // level: this runs for every read.
        const ULONG level = PutAndFillLevel(ring, bytes, count, nullptr);
        if (ring != nullptr && IsDeviceActive(context) != 0 && level >= kStreamFrameBytes) {
            const PKSSTREAM_POINTER frame =
                KsPinGetLeadingEdgeStreamPointer(pin, KSSTREAM_POINTER_STATE_LOCKED);
            if (frame != nullptr) {
                // A fresh frame offers its whole size; a frame larger than the ring can give yet
                // stays where it is until enough has arrived. A frame with no room would stay at
                // the leading edge for good: it goes downstream as it is.
                const ULONG take = frame->OffsetOut.Remaining;
                const bool taken = take != 0 && Get(ring, frame->OffsetOut.Data, take);
                KsStreamPointerAdvanceOffsetsAndUnlock(frame, 0, taken ? take : 0, take == 0);
            }
        }
    }
    KeReleaseSpinLock(&transport->streamLock, oldIrql);
}

}  // namespace

NTSTATUS CQZUSB::SubmitBulkRead() {
    if (streamPipeType != UsbdPipeTypeBulk) return STATUS_UNSUCCESSFUL;
    const USBD_PIPE_HANDLE pipe = StreamPipeHandle(this);
    if (pipe == nullptr) return STATUS_UNSUCCESSFUL;

    PURB urb = AllocateBulkUrb();
    auto* buffer = urb != nullptr ? static_cast<PUCHAR>(PoolAllocate(kBulkReadBytes)) : nullptr;
    PIRP irp = buffer != nullptr ? AllocateStreamIrp(this) : nullptr;
    if (irp == nullptr) {
        ReleaseBulkRead(nullptr, urb, buffer);
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    InterlockedIncrement(&bulkReadsOutstanding);
    return SendBulkRead(this, pipe, irp, urb, buffer);
}

NTSTATUS CQZUSB::ResubmitBulkRead(PURB urb, PIRP irp, PUCHAR buffer) {
    if (streamPipeType != UsbdPipeTypeBulk) return STATUS_UNSUCCESSFUL;
    const USBD_PIPE_HANDLE pipe = StreamPipeHandle(this);
    if (pipe == nullptr) return STATUS_UNSUCCESSFUL;

    if (urb == nullptr && (urb = AllocateBulkUrb()) == nullptr)
        return STATUS_INSUFFICIENT_RESOURCES;
    if (buffer == nullptr &&
        (buffer = static_cast<PUCHAR>(PoolAllocate(kBulkReadBytes))) == nullptr) {
        PoolFree(urb);
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    if (irp == nullptr) {
        if ((irp = AllocateStreamIrp(this)) == nullptr) {
            ReleaseBulkRead(nullptr, urb, buffer);
            return STATUS_INSUFFICIENT_RESOURCES;
        }
    } else {
        // Same packet, same stack depth: back to the state of a fresh allocation.
        IoReuseIrp(irp, STATUS_SUCCESS);
    }
    return SendBulkRead(this, pipe, irp, urb, buffer);
}

NTSTATUS BulkIrp_Complete(PDEVICE_OBJECT, PIRP irp, PVOID context) {
    auto* urb = static_cast<PURB>(irp->Tail.Overlay.DriverContext[kSlotUrb]);
    auto* buffer = static_cast<PUCHAR>(irp->Tail.Overlay.DriverContext[kSlotBuffer]);
    const NTSTATUS status = irp->IoStatus.Status;

    DeviceContext* deviceContext = GetDeviceContext(static_cast<PKSDEVICE>(context));
    CQZUSB* transport = deviceContext != nullptr ? deviceContext->transport : nullptr;
    if (transport == nullptr) {
        ReleaseBulkRead(irp, urb, buffer);
        return STATUS_MORE_PROCESSING_REQUIRED;
    }

    if (ReadOutputPin(deviceContext) == nullptr) {
        DbgPrint("%s %s (Pin Out Error).", kDebugPrefix, kErrorMarker);
    }
    if (status == STATUS_SUCCESS) {
        // The bus reports the bytes received; never trust more than the buffer holds.
        ULONG received = urb->UrbBulkOrInterruptTransfer.TransferBufferLength;
        if (received > kBulkReadBytes) received = kBulkReadBytes;
        if (received != 0) DeliverBulkRead(transport, deviceContext, buffer, received);
    }
    if (!handover::CompletionLeavesItToSubmitter(irp, kSlotBulkHandover))
        MoveBulkReadOn(transport, irp, false);
    return STATUS_MORE_PROCESSING_REQUIRED;
}
