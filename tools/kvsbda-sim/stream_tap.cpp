#include "stream_tap.h"

namespace kvssim {

void StreamTap::RequestCompleted(const host::UsbTrafficRecord& record) {
    if (record.endpoint.address != endpoint_ || record.status != STATUS_SUCCESS ||
        record.urb == nullptr)
        return;
    uint64_t bytes = 0;
    if (record.function == URB_FUNCTION_ISOCH_TRANSFER) {
        const _URB_ISOCH_TRANSFER& iso = record.urb->UrbIsochronousTransfer;
        for (ULONG i = 0; i < iso.NumberOfPackets; ++i) {
            if (USBD_SUCCESS(iso.IsoPacket[i].Status)) bytes += iso.IsoPacket[i].Length;
        }
    } else if (record.function == URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER) {
        bytes = record.urb->UrbBulkOrInterruptTransfer.TransferBufferLength;
    } else {
        return;
    }
    if (bytes == 0) return;
    switch (probe_(record)) {
        case ReadFate::DroppedAfterStart:
            leadingBytes_ += bytes;
            break;
        case ReadFate::AfterStop:
            afterStopBytes_ += bytes;
            break;
        case ReadFate::Delivered:
            break;
    }
    ++reads_;
    bytes_ += bytes;
    if (bytes > largest_.load()) largest_ = bytes;  // only this pipe's completions write it
}

}  // namespace kvssim
