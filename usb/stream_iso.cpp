// Isochronous stream reads: ten reads of as many packets as the bus takes at the stick's link
// speed (usb/stream_reader_internal.h), each keeping its packet, block and buffer for the life of
// the stream. Every good byte of a read goes on to the output pin in order,
// filling as many frames as it needs; the frame the read ends in goes downstream with it.
#include "platform/pool.h"
#include "usb/stream_reader_internal.h"
#include "usb/submission_handover.h"

namespace {

void ReleaseIsoRead(PIRP irp, PURB urb, PUCHAR buffer) {
    if (buffer != nullptr) PoolFree(buffer);
    if (urb != nullptr) PoolFree(urb);
    if (irp != nullptr) IoFreeIrp(irp);
}

// The slot of one packet: the pipe's maximum packet size, so that a full packet always fits.
ULONG IsoSlotBytes(const USBD_PIPE_INFORMATION* pipe) {
    const ULONG size = pipe->MaximumPacketSize;
    if (size == 0) return kIsoPacketBytes;
    return size < kIsoLargestSlotBytes ? size : kIsoLargestSlotBytes;
}

void FillIsoUrb(PURB urb, const USBD_PIPE_INFORMATION* pipe, PUCHAR buffer, ULONG slot,
                ULONG packets) {
    RtlZeroMemory(urb, kIsoUrbBytes);
    _URB_ISOCH_TRANSFER& iso = urb->UrbIsochronousTransfer;
    iso.Hdr.Length = static_cast<USHORT>(GET_ISO_URB_SIZE(packets));
    iso.Hdr.Function = URB_FUNCTION_ISOCH_TRANSFER;
    iso.PipeHandle = pipe->PipeHandle;
    iso.TransferFlags = USBD_START_ISO_TRANSFER_ASAP | USBD_SHORT_TRANSFER_OK;
    if (USB_ENDPOINT_DIRECTION_IN(pipe->EndpointAddress))
        iso.TransferFlags |= USBD_TRANSFER_DIRECTION_IN;
    iso.TransferBufferLength = packets * slot;
    iso.TransferBuffer = buffer;
    iso.StartFrame = 0;
    iso.NumberOfPackets = packets;
    for (ULONG i = 0; i < packets; ++i) iso.IsoPacket[i].Offset = i * slot;
}

ULONG RunOf(PIRP irp) {
    return static_cast<ULONG>(
        reinterpret_cast<ULONG_PTR>(irp->Tail.Overlay.DriverContext[kSlotRun]));
}

// Fills the read's pieces and sends it down as a read of stream run `run`.
NTSTATUS PassIsoRead(CQZUSB* transport, const USBD_PIPE_INFORMATION* pipe, PIRP irp, PURB urb,
                     PUCHAR buffer, LONG run) {
    FillIsoUrb(urb, pipe, buffer, IsoSlotBytes(pipe), IsoPacketsPerRead(transport->linkSpeed));
    irp->Tail.Overlay.DriverContext[kSlotUrb] = urb;
    irp->Tail.Overlay.DriverContext[kSlotBuffer] = buffer;
    irp->Tail.Overlay.DriverContext[kSlotRun] =
        reinterpret_cast<PVOID>(static_cast<ULONG_PTR>(static_cast<ULONG>(run)));
    return PassStreamRead(transport, irp, urb, IsoIrp_Complete, kSlotIsoHandover);
}

// The step after a read's completion: the same pieces go down again as the next read of its
// run, or the read ends. Should a stop and a start have come in between, the read ends, and the
// new run has reads of its own. A read that completes inside the call that sends it again is
// moved on by the next turn of the loop, never from inside that call: the stack stays flat
// however many reads complete that way in a row.
NTSTATUS MoveIsoReadOn(CQZUSB* transport, PIRP irp, bool completedInCall) {
    NTSTATUS sent = irp->IoStatus.Status;
    for (;;) {
        const ULONG run = RunOf(irp);
        const PUSBD_PIPE_INFORMATION pipe = transport->Pipe(transport->streamPipeIndex);
        const bool running = run == static_cast<ULONG>(ReadLongAcquire(&transport->streamRun)) &&
                             ReadStreamActive(transport) != 0;
        if (EndsStreamRead(irp->IoStatus.Status) || !running || pipe == nullptr ||
            pipe->PipeHandle == nullptr ||
            RefusedOnSubmission(irp, completedInCall, "IsoIrp_Complete")) {
            ReleaseIsoRead(irp, static_cast<PURB>(irp->Tail.Overlay.DriverContext[kSlotUrb]),
                           static_cast<PUCHAR>(irp->Tail.Overlay.DriverContext[kSlotBuffer]));
            InterlockedDecrement(&transport->isoReadsOutstanding);
            return sent;
        }
        auto* urb = static_cast<PURB>(irp->Tail.Overlay.DriverContext[kSlotUrb]);
        auto* buffer = static_cast<PUCHAR>(irp->Tail.Overlay.DriverContext[kSlotBuffer]);
        IoReuseIrp(irp, STATUS_SUCCESS);
        sent = PassIsoRead(transport, pipe, irp, urb, buffer, static_cast<LONG>(run));
        if (!handover::SubmitterMovesOn(irp, kSlotIsoHandover)) return sent;
        completedInCall = true;
    }
}

// Moves the good packets of a read, in order, into the output pin's frames: a frame that fills
// up goes downstream and the next one takes the rest; the frame the read ends in is sent on
// with the read. Only bytes for which no frame is waiting are lost. Serialised so that
// concurrent completions neither interleave their bytes nor share a frame.
void DeliverIsoRead(CQZUSB* transport, DeviceContext* context, PURB urb, PUCHAR buffer,
                    ULONG slot) {
    KIRQL oldIrql;
    KeAcquireSpinLock(&transport->streamLock, &oldIrql);
    // Once stop has cleared deviceActive, nothing more reaches the pin, as on the bulk path.
    const PKSPIN pin = ReadOutputPin(context);
    if (pin != nullptr && AntennaRunning(context) && IsDeviceActive(context) != 0 &&
        PassDiscardLocked(transport)) {
        const _URB_ISOCH_TRANSFER& iso = urb->UrbIsochronousTransfer;
        const ULONG packets =
            iso.NumberOfPackets < kIsoPacketsPerRead ? iso.NumberOfPackets : kIsoPacketsPerRead;
        PKSSTREAM_POINTER frame = nullptr;
        ULONG filled = 0;  // bytes written into `frame` so far
        bool framesLeft = true;
        for (ULONG i = 0; i < packets && framesLeft; ++i) {
            const USBD_ISO_PACKET_DESCRIPTOR& packet = iso.IsoPacket[i];
            if (!USBD_SUCCESS(packet.Status)) continue;
            const UCHAR* from = buffer + i * slot;
            ULONG length = packet.Length < slot ? packet.Length : slot;
            while (length != 0) {
                if (frame == nullptr) {
                    frame = KsPinGetLeadingEdgeStreamPointer(pin, KSSTREAM_POINTER_STATE_LOCKED);
                    filled = 0;
                    if (frame == nullptr) {
                        framesLeft = false;
                        break;
                    }
                    // A frame with no room takes nothing; asking again would get it or another
                    // like it for ever, at dispatch level. It goes downstream as it is and the
                    // rest of the read is lost, as when no frame waits.
                    if (frame->OffsetOut.Remaining == 0) {
                        KsStreamPointerAdvanceOffsetsAndUnlock(frame, 0, 0, TRUE);
                        frame = nullptr;
                        framesLeft = false;
                        break;
                    }
                }
                const ULONG room = frame->OffsetOut.Remaining - filled;
                const ULONG copied = length < room ? length : room;
                RtlCopyMemory(frame->OffsetOut.Data + filled, from, copied);
                filled += copied;
                from += copied;
                length -= copied;
                if (filled == frame->OffsetOut.Remaining) {
                    KsStreamPointerAdvanceOffsetsAndUnlock(frame, 0, filled, FALSE);
                    frame = nullptr;
                }
            }
        }
        if (frame != nullptr) KsStreamPointerAdvanceOffsetsAndUnlock(frame, 0, filled, TRUE);
    }
    KeReleaseSpinLock(&transport->streamLock, oldIrql);
}

}  // namespace

NTSTATUS CQZUSB::SubmitIsoRead() {
    return SubmitIsoReadForRun(ReadLongAcquire(&streamRun));
}

NTSTATUS CQZUSB::SubmitIsoReadForRun(LONG run) {
    if (streamPipeType != UsbdPipeTypeIsochronous) return STATUS_UNSUCCESSFUL;
    const PUSBD_PIPE_INFORMATION pipe = Pipe(streamPipeIndex);
    if (pipe == nullptr || pipe->PipeHandle == nullptr) return STATUS_UNSUCCESSFUL;

    auto* buffer =
        static_cast<PUCHAR>(PoolAllocate(IsoPacketsPerRead(linkSpeed) * IsoSlotBytes(pipe)));
    auto* urb = buffer != nullptr ? static_cast<PURB>(PoolAllocate(kIsoUrbBytes)) : nullptr;
    PIRP irp = urb != nullptr ? IoAllocateIrp(static_cast<CCHAR>(lowerDevice->StackSize + 1), FALSE)
                              : nullptr;
    if (irp == nullptr) {
        ReleaseIsoRead(nullptr, urb, buffer);
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    InterlockedIncrement(&isoReadsOutstanding);
    const NTSTATUS sent = PassIsoRead(this, pipe, irp, urb, buffer, run);
    if (!handover::SubmitterMovesOn(irp, kSlotIsoHandover)) return sent;
    MoveIsoReadOn(this, irp, true);
    return sent;
}

NTSTATUS IsoIrp_Complete(PDEVICE_OBJECT, PIRP irp, PVOID context) {
    auto* urb = static_cast<PURB>(irp->Tail.Overlay.DriverContext[kSlotUrb]);
    auto* buffer = static_cast<PUCHAR>(irp->Tail.Overlay.DriverContext[kSlotBuffer]);
    const ULONG run = RunOf(irp);
    const NTSTATUS status = irp->IoStatus.Status;

    DeviceContext* deviceContext = GetDeviceContext(static_cast<PKSDEVICE>(context));
    CQZUSB* transport = deviceContext != nullptr ? deviceContext->transport : nullptr;
    if (transport == nullptr) {
        ReleaseIsoRead(irp, urb, buffer);
        return STATUS_MORE_PROCESSING_REQUIRED;
    }
    // The stream pipe and its slot size are fixed for the transport's life.
    const PUSBD_PIPE_INFORMATION pipe = transport->Pipe(transport->streamPipeIndex);

    // Only reads of the running stream reach the pin. The stop lets isochronous reads drain
    // instead of waiting for them; what they bring after it may straddle a retune, and the start
    // that follows drops its own first reads, not these.
    const bool currentRun = run == static_cast<ULONG>(ReadLongAcquire(&transport->streamRun));
    const bool running = currentRun && ReadStreamActive(transport) != 0;
    if (running && pipe != nullptr && status == STATUS_SUCCESS &&
        USBD_SUCCESS(urb->UrbHeader.Status)) {
        DeliverIsoRead(transport, deviceContext, urb, buffer, IsoSlotBytes(pipe));
    }
    if (!handover::CompletionLeavesItToSubmitter(irp, kSlotIsoHandover))
        MoveIsoReadOn(transport, irp, false);
    return STATUS_MORE_PROCESSING_REQUIRED;
}
