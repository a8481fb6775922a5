// Isochronous stream reads: each read owns a fresh packet, block and 256 KiB buffer; its good
// packets are packed into the staging buffer and sent on in the output pin's leading frame.
#include "platform/pool.h"
#include "usb/stream_reader_internal.h"

namespace {

void ReleaseIsoRead(PIRP irp, PURB urb, PUCHAR buffer) {
    if (buffer != nullptr) PoolFree(buffer);
    if (urb != nullptr) PoolFree(urb);
    if (irp != nullptr) IoFreeIrp(irp);
}

void FillIsoUrb(PURB urb, USBD_PIPE_HANDLE pipe, UCHAR endpointAddress, PUCHAR buffer) {
    _URB_ISOCH_TRANSFER& iso = urb->UrbIsochronousTransfer;
    iso.Hdr.Length = kIsoUrbBytes;
    iso.Hdr.Function = URB_FUNCTION_ISOCH_TRANSFER;
    iso.PipeHandle = pipe;
    iso.TransferFlags = USBD_START_ISO_TRANSFER_ASAP | USBD_SHORT_TRANSFER_OK;
    if (USB_ENDPOINT_DIRECTION_IN(endpointAddress)) iso.TransferFlags |= USBD_TRANSFER_DIRECTION_IN;
    iso.TransferBufferLength = kIsoReadBytes;
    iso.TransferBuffer = buffer;
    iso.TransferBufferMDL = nullptr;
    iso.UrbLink = nullptr;
    iso.StartFrame = 0;
    iso.NumberOfPackets = kIsoPacketsPerRead;
    for (ULONG i = 0; i < kIsoPacketsPerRead; ++i) {
        iso.IsoPacket[i].Offset = i * kIsoPacketBytes;
        iso.IsoPacket[i].Length = 0;
    }
}

// Packs the good packets of a read behind each other in the staging buffer; returns the bytes.
// Each packet is taken from its own 512-byte slot, whatever length the bus reports.
ULONG GatherIsoPackets(PURB urb, PUCHAR buffer, PUCHAR staging) {
    const _URB_ISOCH_TRANSFER& iso = urb->UrbIsochronousTransfer;
    const ULONG packets =
        iso.NumberOfPackets < kIsoPacketsPerRead ? iso.NumberOfPackets : kIsoPacketsPerRead;
    ULONG gathered = 0;
    for (ULONG i = 0; i < packets; ++i) {
        const USBD_ISO_PACKET_DESCRIPTOR& packet = iso.IsoPacket[i];
        if (!USBD_SUCCESS(packet.Status)) continue;
        const ULONG length = packet.Length < kIsoPacketBytes ? packet.Length : kIsoPacketBytes;
        RtlCopyMemory(staging + gathered, buffer + i * kIsoPacketBytes, length);
        gathered += length;
    }
    return gathered;
}

// One completed read's data into the leading frame, which goes downstream at once, full or
// not; what does not fit is lost. Serialised so that concurrent completions neither mix their
// bytes in the staging buffer nor share a frame.
void DeliverIsoRead(CQZUSB* transport, DeviceContext* context, PURB urb, PUCHAR buffer) {
    KIRQL oldIrql;
    KeAcquireSpinLock(&transport->streamLock, &oldIrql);
    // Once stop has cleared deviceActive, nothing more reaches the pin, as on the bulk path.
    const PKSPIN pin = ReadOutputPin(context);
    if (pin != nullptr && AntennaRunning(context) && IsDeviceActive(context) != 0 &&
        transport->stagingBuffer != nullptr && PassDiscardLocked(transport)) {
        const ULONG gathered = GatherIsoPackets(urb, buffer, transport->stagingBuffer);
        if (gathered != 0) {
            const PKSSTREAM_POINTER frame =
                KsPinGetLeadingEdgeStreamPointer(pin, KSSTREAM_POINTER_STATE_LOCKED);
            if (frame != nullptr) {
                const ULONG room = frame->OffsetOut.Remaining;
                const ULONG copied = gathered < room ? gathered : room;
                RtlCopyMemory(frame->OffsetOut.Data, transport->stagingBuffer, copied);
                KsStreamPointerAdvanceOffsetsAndUnlock(frame, 0, copied, TRUE);
            }
        }
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

    auto* buffer = static_cast<PUCHAR>(PoolAllocate(kIsoReadBytes));
    auto* urb = buffer != nullptr ? static_cast<PURB>(PoolAllocateZeroed(kIsoUrbBytes)) : nullptr;
    PIRP irp = urb != nullptr ? IoAllocateIrp(static_cast<CCHAR>(lowerDevice->StackSize + 1), FALSE)
                              : nullptr;
    if (irp == nullptr) {
        ReleaseIsoRead(nullptr, urb, buffer);
        return STATUS_UNSUCCESSFUL;
    }
    FillIsoUrb(urb, pipe->PipeHandle, pipe->EndpointAddress, buffer);
    irp->Tail.Overlay.DriverContext[kSlotUrb] = urb;
    irp->Tail.Overlay.DriverContext[kSlotBuffer] = buffer;
    irp->Tail.Overlay.DriverContext[kSlotRun] =
        reinterpret_cast<PVOID>(static_cast<ULONG_PTR>(static_cast<ULONG>(run)));
    InterlockedIncrement(&isoReadsOutstanding);
    return PassStreamRead(this, irp, urb, IsoIrp_Complete);
}

NTSTATUS IsoIrp_Complete(PDEVICE_OBJECT, PIRP irp, PVOID context) {
    auto* urb = static_cast<PURB>(irp->Tail.Overlay.DriverContext[kSlotUrb]);
    auto* buffer = static_cast<PUCHAR>(irp->Tail.Overlay.DriverContext[kSlotBuffer]);
    const auto run =
        static_cast<ULONG>(reinterpret_cast<ULONG_PTR>(irp->Tail.Overlay.DriverContext[kSlotRun]));
    const NTSTATUS status = irp->IoStatus.Status;

    DeviceContext* deviceContext = GetDeviceContext(static_cast<PKSDEVICE>(context));
    CQZUSB* transport = deviceContext != nullptr ? deviceContext->transport : nullptr;
    if (transport == nullptr) {
        ReleaseIsoRead(irp, urb, buffer);
        return STATUS_MORE_PROCESSING_REQUIRED;
    }

    // Only reads of the running stream reach the pin. The stop lets isochronous reads drain
    // instead of waiting for them; what they bring after it may straddle a retune, and the start
    // that follows drops its own first reads, not these.
    const bool currentRun = run == static_cast<ULONG>(ReadLongAcquire(&transport->streamRun));
    const bool running = currentRun && ReadStreamActive(transport) != 0;
    if (running && status == STATUS_SUCCESS && USBD_SUCCESS(urb->UrbHeader.Status)) {
        DeliverIsoRead(transport, deviceContext, urb, buffer);
    }
    // The fresh read is counted before this one is taken off, so the count never passes through
    // 0 while a read is still to be submitted. It belongs to this read's run: should a stop and
    // a start have come in between, it is not resubmitted again.
    if (!EndsStreamRead(status) && running && !RefusedOnSubmission(irp, "IsoIrp_Complete")) {
        transport->SubmitIsoReadForRun(static_cast<LONG>(run));
    }
    ReleaseIsoRead(irp, urb, buffer);
    InterlockedDecrement(&transport->isoReadsOutstanding);
    return STATUS_MORE_PROCESSING_REQUIRED;
}
