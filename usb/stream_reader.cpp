// Transport-stream reader: start, stop and the waits of device stop. The reads themselves and
// their completions live in stream_iso.cpp and stream_bulk.cpp.
#include "platform/debug_print.h"
#include "platform/pool.h"
#include "usb/stream_reader_internal.h"
#include "usb/submission_handover.h"

namespace {

// The reader's waits: 100 ms on a synchronization timer.
void SleepReaderInterval() {
    KTIMER timer;
    KeInitializeTimerEx(&timer, SynchronizationTimer);
    LARGE_INTEGER dueTime;
    dueTime.QuadPart = -1000000;
    KeSetTimer(&timer, dueTime, nullptr);
    KeWaitForSingleObject(&timer, Executive, KernelMode, FALSE, nullptr);
}

// The abort's request block and packet were allocated with the transport: a stop must not
// depend on memory being available.
NTSTATUS SendAbortPipe(CQZUSB* transport) {
    const USBD_PIPE_HANDLE pipe = StreamPipeHandle(transport);
    if (pipe == nullptr) return STATUS_UNSUCCESSFUL;
    PURB urb = transport->abortRequest;
    if (urb == nullptr) return STATUS_INSUFFICIENT_RESOURCES;
    RtlZeroMemory(urb, sizeof(_URB_PIPE_REQUEST));
    urb->UrbHeader.Length = sizeof(_URB_PIPE_REQUEST);
    urb->UrbHeader.Function = URB_FUNCTION_ABORT_PIPE;
    urb->UrbPipeRequest.PipeHandle = pipe;
    return transport->CallUSBD(urb);
}

// Reads a running stream lacks with `outstanding` in flight.
ULONG MissingReads(LONG outstanding) {
    if (outstanding >= static_cast<LONG>(kStreamReadsInFlight)) return 0;
    return kStreamReadsInFlight - static_cast<ULONG>(outstanding < 0 ? 0 : outstanding);
}

}  // namespace

bool RefusedOnSubmission(PIRP irp, bool completedInCall, const char* routine) {
    const NTSTATUS status = irp->IoStatus.Status;
    if (!completedInCall || NT_SUCCESS(status) || EndsStreamRead(status)) return false;
    DbgPrint("%s %s %s(Read refused by the bus, status= 0x%08x).", kDebugPrefix, kErrorMarker,
             routine, static_cast<unsigned>(status));
    return true;
}

bool PassDiscardLocked(CQZUSB* transport) {
    if (transport->discardPending == 0) return true;
    const ULONG seen = transport->discardCount++;
    if (seen < kDiscardedReadsAfterStart) return false;
    transport->discardPending = 0;
    return true;
}

USBD_PIPE_HANDLE StreamPipeHandle(const CQZUSB* transport) {
    const PUSBD_PIPE_INFORMATION pipe = transport->Pipe(transport->streamPipeIndex);
    return pipe != nullptr ? pipe->PipeHandle : nullptr;
}

NTSTATUS PassStreamRead(CQZUSB* transport, PIRP irp, PURB urb, PIO_COMPLETION_ROUTINE routine,
                        int handoverSlot) {
    handover::BeginSubmission(irp, handoverSlot);
    PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(irp);
    next->MajorFunction = IRP_MJ_INTERNAL_DEVICE_CONTROL;
    next->Parameters.DeviceIoControl.IoControlCode = IOCTL_INTERNAL_USB_SUBMIT_URB;
    next->Parameters.Others.Argument1 = urb;
    IoSetCompletionRoutine(irp, routine, transport->device, TRUE, TRUE, TRUE);
    return IofCallDriver(transport->lowerDevice, irp);
}

void CQZUSB::StartReader() {
    KIRQL oldIrql;
    KeAcquireSpinLock(&streamLock, &oldIrql);
    discardPending = 1;
    discardCount = 0;
    KeReleaseSpinLock(&streamLock, oldIrql);
    if (DeviceContext* context = Context(); context != nullptr) {
        InterlockedExchange(&context->statusReportCount, 0);
    }

    // The outstanding-read counters are not set back to 0 here: reads of an earlier run may
    // still be draining, and only their own completions may take them off the count. A start on
    // a running stream submits only the reads an earlier start could not allocate (the pool may
    // have come back since); the count of an isochronous stream may include reads of an earlier
    // run still draining, which then stand in for some of this run's.
    ULONG wanted = kStreamReadsInFlight;
    ULONG submitted = 0;
    if (streamPipeType == UsbdPipeTypeIsochronous) {
        LONG run;
        if (ReadStreamActive(this) != 0) {
            wanted = MissingReads(ReadLongAcquire(&isoReadsOutstanding));
            run = ReadLongAcquire(&streamRun);
        } else {
            run = InterlockedIncrement(&streamRun);
            WriteStreamActive(this, 1);
        }
        for (ULONG i = 0; i < wanted; ++i)
            if (SubmitIsoReadForRun(run) != STATUS_INSUFFICIENT_RESOURCES) ++submitted;
    } else if (streamPipeType == UsbdPipeTypeBulk) {
        if (ReadStreamActive(this) != 0) {
            wanted = MissingReads(ReadLongAcquire(&bulkReadsOutstanding));
        } else {
            WriteStreamActive(this, 1);
        }
        for (ULONG i = 0; i < wanted; ++i)
            if (SubmitBulkRead() != STATUS_INSUFFICIENT_RESOURCES) ++submitted;
    } else {
        return;
    }
    if (submitted < wanted) {
        DbgPrint("%s %s StartReader(%u of %u reads, no memory for the rest).", kDebugPrefix,
                 kErrorMarker, static_cast<unsigned>(submitted), static_cast<unsigned>(wanted));
    }
}

void CQZUSB::StopReader() {
    if (streamPipeType == UsbdPipeTypeIsochronous) {
        // Reads still in flight are released by their completions and not resubmitted. They are
        // not waited for, but they are aborted: each spans 512 bus frames, and the reads of a
        // start that follows would otherwise queue behind all ten of them (five seconds at full
        // speed) before the first of their own bytes.
        if (ReadStreamActive(this) == 0) return;
        WriteStreamActive(this, 0);
        (void)SendAbortPipe(this);
    } else if (streamPipeType == UsbdPipeTypeBulk) {
        AbortStreamPipe();
    }
}

void CQZUSB::AbortStreamPipe() {
    if (ReadStreamActive(this) == 0) return;
    // Completions no longer resubmit: every read ends with its next completion, which the abort
    // brings about at once for the reads the bus holds.
    WriteStreamActive(this, 0);
    while (ReadLongAcquire(&bulkReadsOutstanding) > 0) {
        SendAbortPipe(this);
        // Whether or not the abort reached the bus (the transport may refuse requests, or no
        // request packet be had), the next attempt comes after a pause, never at once.
        if (ReadLongAcquire(&bulkReadsOutstanding) > 0) SleepReaderInterval();
    }
}

void CQZUSB::WaitForIdle() {
    while (ReadLongAcquire(&isoReadsOutstanding) > 0) SleepReaderInterval();
    // Normally the bulk stop has already waited for its reads; should a stop have been skipped,
    // the reads must not outlive the transport either.
    if (ReadLongAcquire(&bulkReadsOutstanding) > 0) {
        WriteStreamActive(this, 0);
        while (ReadLongAcquire(&bulkReadsOutstanding) > 0) SleepReaderInterval();
    }
    while (ReadLongAcquire(&requestsInFlight) > 0) SleepReaderInterval();
    CancelInterruptRead();
}

void CQZUSB::FlushStreamDelivery() {
    KIRQL oldIrql;
    KeAcquireSpinLock(&streamLock, &oldIrql);
    KeReleaseSpinLock(&streamLock, oldIrql);
}
