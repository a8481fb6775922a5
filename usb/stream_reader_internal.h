#pragma once
// What the transport-stream reader's files share: read sizes, request-packet slots, the
// completion routines and the small helpers for the words that completions and passive-level
// code both touch.
#include "driver/device_context.h"
#include "usb/cqzusb.h"

// Isochronous reads: 512 packets, each in a slot of the pipe's maximum packet size (a packet
// larger than its slot is an overrun that the host controller delivers none of). A pipe that
// reports no size gets 512-byte slots; the largest slot is a high-bandwidth high-speed packet.
constexpr ULONG kIsoPacketsPerRead = 512;
constexpr ULONG kIsoPacketBytes = 512;
constexpr ULONG kIsoLargestSlotBytes = 3 * 1024;
constexpr ULONG kIsoUrbBytes = 6296;
static_assert(kIsoUrbBytes >= offsetof(_URB_ISOCH_TRANSFER, IsoPacket) +
                                  kIsoPacketsPerRead * sizeof(USBD_ISO_PACKET_DESCRIPTOR));

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

NTSTATUS IsoIrp_Complete(PDEVICE_OBJECT deviceObject, PIRP irp, PVOID context);
NTSTATUS BulkIrp_Complete(PDEVICE_OBJECT deviceObject, PIRP irp, PVOID context);

// Completed reads with these statuses end their reader: the pipe was aborted or the stick is gone.
inline bool EndsStreamRead(NTSTATUS status) {
    return status == STATUS_CANCELLED || status == STATUS_DEVICE_NOT_CONNECTED;
}

// A read that failed without the bus ever holding it (it refused the request inside the call
// that handed it over) completes on the submitter's own stack. Resubmitting from there would
// nest one submission in the next for as long as the bus refuses: such a read ends instead, with
// a debug line naming the completion routine.
bool RefusedOnSubmission(PIRP irp, const char* routine);

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

// Points the packet's next stack location at the block and sends it to `lowerDevice`.
NTSTATUS PassStreamRead(CQZUSB* transport, PIRP irp, PURB urb, PIO_COMPLETION_ROUTINE routine);
