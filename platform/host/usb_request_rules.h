#pragma once
// The rules by which the USB driver stack refuses a request block when it is submitted, before
// any of it reaches the bus. A refused block completes inside the submitting call with the
// USBD status in its header and the NTSTATUS of the packet; the device never sees it.
#include "platform/usb.h"

namespace host {

// The speed a device works at on its link: it decides how many isochronous packets one block
// may carry.
enum class UsbSpeed { Full, High };

struct UsbRefusal {
    NTSTATUS status = STATUS_SUCCESS;
    USBD_STATUS usbdStatus = USBD_STATUS_SUCCESS;
    bool Refused() const { return status != STATUS_SUCCESS; }
};

// The largest number of isochronous packets one block may carry at `speed`, and the number the
// count must be a multiple of on a pipe with polling interval `interval` (bInterval).
ULONG MaximumIsoPackets(UsbSpeed speed);
ULONG IsoPacketMultiple(UsbSpeed speed, UCHAR interval);

// The header length a block of `function` must carry; 0 when the length varies with the
// block's content (select configuration, isochronous transfers) or the function is unknown.
USHORT FixedUrbLength(USHORT function);

// Checks a bulk, interrupt or isochronous transfer against the pipe it names: its header length,
// its direction flag, its buffer and (isochronous) its packets. `endpointIn`, `interval` and
// `speed` describe the pipe.
UsbRefusal CheckTransfer(const URB& urb, bool isochronous, bool endpointIn, UCHAR interval,
                         UsbSpeed speed);

}  // namespace host
