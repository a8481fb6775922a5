#include "stream_tap.h"

namespace kvssim {

namespace {
constexpr uint64_t kReadsDroppedAfterStart = 2;

bool IsStreamRead(const host::UsbTrafficRecord& record, UCHAR endpoint) {
    return record.endpoint.address == endpoint &&
           (record.function == URB_FUNCTION_ISOCH_TRANSFER ||
            record.function == URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER);
}
}  // namespace

void StreamTap::RequestSubmitted(const host::UsbTrafficRecord& record) {
    if (!IsStreamRead(record, endpoint_)) return;
    if (inFlight_.fetch_add(1) == 0 && !startsKnown_) readsSinceStart_ = 0;
}

void StreamTap::RequestCompleted(const host::UsbTrafficRecord& record) {
    if (!IsStreamRead(record, endpoint_)) return;
    inFlight_.fetch_sub(1);
    if (record.status != STATUS_SUCCESS || record.urb == nullptr) return;
    uint64_t bytes = 0;
    if (record.function == URB_FUNCTION_ISOCH_TRANSFER) {
        const _URB_ISOCH_TRANSFER& iso = record.urb->UrbIsochronousTransfer;
        for (ULONG i = 0; i < iso.NumberOfPackets; ++i) {
            if (USBD_SUCCESS(iso.IsoPacket[i].Status)) bytes += iso.IsoPacket[i].Length;
        }
    } else {
        bytes = record.urb->UrbBulkOrInterruptTransfer.TransferBufferLength;
    }
    // The reader drops the first two successful reads after a start: on the isochronous path
    // whatever they carry (empty ones too), on the bulk path only reads that carry bytes.
    const bool iso = record.function == URB_FUNCTION_ISOCH_TRANSFER;
    if (bytes == 0 && !iso) return;
    // One pipe's completions arrive one at a time and in order, so the count decides alone.
    if (readsSinceStart_.fetch_add(1) < kReadsDroppedAfterStart) leadingBytes_ += bytes;
    if (bytes == 0) return;
    ++reads_;
    bytes_ += bytes;
    if (bytes > largest_.load()) largest_ = bytes;  // only this pipe's completions write it
}

}  // namespace kvssim
