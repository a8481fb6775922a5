#pragma once
// What the transport-stream reader's files share: read sizes, request-packet slots, the
// completion routines and the small helpers for the words that completions and passive-level
// code both touch.
#include "driver/device_context.h"
#include "usb/cqzusb.h"

// Isochronous reads: as many packets as the bus takes in one request at the stick's link speed,
// each in a slot of the pipe's maximum packet size (a packet larger than its slot is an overrun
// that the host controller delivers none of). A pipe that reports no size gets 512-byte slots;
// the largest slot is a high-bandwidth high-speed packet.
//   high speed: 512 packets (the bus takes up to 1024, a multiple of 8: 64 ms of microframes);
//   full speed: 255, the most the bus takes from a full-speed device (255 frames);
//   unknown speed: 248, the most that both speeds' rules allow.
constexpr ULONG kIsoPacketsPerRead = 512;
constexpr ULONG kIsoPacketsPerReadFullSpeed = 255;
constexpr ULONG kIsoPacketsPerReadAnySpeed = 248;
constexpr ULONG kIsoPacketBytes = 512;
constexpr ULONG kIsoLargestSlotBytes = 3 * 1024;
// The block's allocation holds the largest read (GET_ISO_URB_SIZE(512)); its header length is
// GET_ISO_URB_SIZE of the read's packet count.
constexpr ULONG kIsoUrbBytes = 6296;
static_assert(kIsoUrbBytes == GET_ISO_URB_SIZE(kIsoPacketsPerRead));

// Packets of every isochronous read at `linkSpeed` (kLinkSpeed*).
constexpr ULONG IsoPacketsPerRead(ULONG linkSpeed) {
    return linkSpeed == kLinkSpeedHigh   ? kIsoPacketsPerRead
           : linkSpeed == kLinkSpeedFull ? kIsoPacketsPerReadFullSpeed
                                         : kIsoPacketsPerReadAnySpeed;
}

// Bulk reads: 4096 bytes, the block in a 152-byte allocation of which the header uses 128.
constexpr ULONG kBulkReadBytes = 4096;
constexpr ULONG kBulkUrbAllocation = 152;
constexpr USHORT kBulkUrbLength = sizeof(_URB_BULK_OR_INTERRUPT_TRANSFER);
static_assert(kBulkUrbLength == 128);

// Output frames: 512 transport packets of 188 bytes.
constexpr ULONG kStreamFrameBytes = 0x17800;

constexpr ULONG kStreamReadsInFlight = 10;
// Reads dropped after every start, so that what the stick still held from before is not shown.
constexpr ULONG kDiscardedReadsAfterStart = 2;

// Packet driver-context slots.
constexpr int kSlotUrb = 0;
constexpr int kSlotBuffer = 1;
constexpr int kSlotDevice = 2;  // bulk reads
constexpr int kSlotRun = 3;     // isochronous reads: the stream run they belong to
// The submission hand-over mark (usb/submission_handover.h): the slot each path leaves free.
constexpr int kSlotIsoHandover = 2;
constexpr int kSlotBulkHandover = 3;

NTSTATUS IsoIrp_Complete(PDEVICE_OBJECT deviceObject, PIRP irp, PVOID context);
NTSTATUS BulkIrp_Complete(PDEVICE_OBJECT deviceObject, PIRP irp, PVOID context);

// Completed reads with these statuses end their reader: the pipe was aborted or the stick is gone.
inline bool EndsStreamRead(NTSTATUS status) {
    return status == STATUS_CANCELLED || status == STATUS_DEVICE_NOT_CONNECTED;
}

// A read that failed inside the call that handed it to the bus (the bus refused the request)
// would fail the same way again at once: such a read ends instead of being resubmitted, with a
// debug line naming the completion routine. `completedInCall` is the submission hand-over's
// finding.
bool RefusedOnSubmission(PIRP irp, bool completedInCall, const char* routine);

inline ULONG ReadStreamActive(const CQZUSB* transport) {
    return static_cast<ULONG>(
        ReadLongAcquire(reinterpret_cast<LONG const volatile*>(&transport->streamActive)));
}
inline void WriteStreamActive(CQZUSB* transport, ULONG active) {
    WriteLongRelease(reinterpret_cast<LONG volatile*>(&transport->streamActive),
                     static_cast<LONG>(active));
}

// The output pin and antenna state are changed by pin handlers on other threads.
inline PKSPIN ReadOutputPin(const DeviceContext* context) {
    return static_cast<PKSPIN>(
        ReadPointerAcquire(reinterpret_cast<PVOID const volatile*>(&context->outputPin)));
}
inline bool AntennaRunning(const DeviceContext* context) {
    return ReadLongAcquire(reinterpret_cast<LONG const volatile*>(&context->antennaPinState)) ==
           KSSTATE_RUN;
}

// Applies the discard rule to a read that would deliver data; true when its data may be used.
// The caller holds streamLock.
bool PassDiscardLocked(CQZUSB* transport);

// Pipe handle of the stream pipe, or null while none is known.
USBD_PIPE_HANDLE StreamPipeHandle(const CQZUSB* transport);

// Points the packet's next stack location at the block and sends it to `lowerDevice`, marking it
// under submission in `handoverSlot` for the call.
NTSTATUS PassStreamRead(CQZUSB* transport, PIRP irp, PURB urb, PIO_COMPLETION_ROUTINE routine,
                        int handoverSlot);
