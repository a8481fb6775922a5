// The USB driver stack's checks of a submitted request block, each with the documentation it
// follows (Microsoft's USB client driver reference). What the documentation leaves open is said
// where it is decided.
#include "platform/host/usb_request_rules.h"

#include <cstddef>

namespace host {
namespace {

constexpr UsbRefusal kInvalidParameter{
    STATUS_INVALID_PARAMETER,
    static_cast<USBD_STATUS>(0x80000300)};  // USBD_STATUS_INVALID_PARAMETER

// _URB_HEADER, Length: "For URB requests that use data structures other than _URB_HEADER, this
// member must be set to the length of the entire URB request structure". The functions the bus
// serves with a structure of fixed size (each structure's page says Hdr.Length must be its
// sizeof).
struct FixedLength {
    USHORT function;
    USHORT length;
};
constexpr FixedLength kFixedLengths[] = {
    {URB_FUNCTION_ABORT_PIPE, sizeof(_URB_PIPE_REQUEST)},
    {URB_FUNCTION_SYNC_RESET_PIPE_AND_CLEAR_STALL, sizeof(_URB_PIPE_REQUEST)},
    {URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER, sizeof(_URB_BULK_OR_INTERRUPT_TRANSFER)},
    {URB_FUNCTION_GET_DESCRIPTOR_FROM_DEVICE, sizeof(_URB_CONTROL_DESCRIPTOR_REQUEST)},
};

}  // namespace

// "How to transfer data to USB isochronous endpoints": "In an URB, you can only send up to 255
// isochronous packets for a full-speed device; 1024 packets in an URB for in high speed and
// SuperSpeed devices."
ULONG MaximumIsoPackets(UsbSpeed speed) {
    return speed == UsbSpeed::Full ? 255 : 1024;
}

// Same page: "The number of packets you send in the URB must be a multiple of the number of
// packets in each frame": at high speed 8, 4, 2 or any for a polling period 2^(Interval-1) of 1,
// 2, 4 or 8 microframes; at full speed one packet per frame ("For full-speed transmissions, the
// Interval and polling period values are always 1").
ULONG IsoPacketMultiple(UsbSpeed speed, UCHAR interval) {
    if (speed == UsbSpeed::Full) return 1;
    const unsigned exponent = interval <= 1 ? 0 : (interval >= 4 ? 3 : interval - 1u);
    return 8u >> exponent;
}

USHORT FixedUrbLength(USHORT function) {
    for (const FixedLength& entry : kFixedLengths)
        if (entry.function == function) return entry.length;
    return 0;
}

UsbRefusal CheckTransfer(const URB& urb, bool isochronous, bool endpointIn, UCHAR interval,
                         UsbSpeed speed) {
    const USHORT length = urb.UrbHeader.Length;
    // The transfer fields are read only from a header long enough to hold them.
    const size_t fieldsEnd = isochronous ? offsetof(_URB_ISOCH_TRANSFER, IsoPacket)
                                         : sizeof(_URB_BULK_OR_INTERRUPT_TRANSFER);
    if (length < fieldsEnd) return kInvalidParameter;
    const _URB_BULK_OR_INTERRUPT_TRANSFER& transfer = urb.UrbBulkOrInterruptTransfer;

    // _URB_BULK_OR_INTERRUPT_TRANSFER / _URB_ISOCH_TRANSFER, TransferFlags,
    // USBD_TRANSFER_DIRECTION_IN: "Is set to request data from a device. To transfer data to a
    // device, this flag must be clear." A flag that disagrees with the endpoint's direction is a
    // malformed request. (USBD_SHORT_TRANSFER_OK "should not be set unless
    // USBD_TRANSFER_DIRECTION_IN is also set": a recommendation, not refused.)
    const bool flagIn = (transfer.TransferFlags & USBD_TRANSFER_DIRECTION_IN) != 0;
    if (flagIn != endpointIn) return kInvalidParameter;
    // A buffer must be given for bytes to move.
    if (transfer.TransferBufferLength > 0 && transfer.TransferBuffer == nullptr)
        return kInvalidParameter;

    if (!isochronous) {
        // "Hdr.Length must be set to sizeof(_URB_BULK_OR_INTERRUPT_TRANSFER)".
        return length == sizeof(_URB_BULK_OR_INTERRUPT_TRANSFER) ? UsbRefusal{} : kInvalidParameter;
    }

    // _URB_ISOCH_TRANSFER remarks: Hdr.Status is USBD_STATUS_INVALID_PARAMETER when "one of the
    // URB parameters was incorrect" (the request "was not well-formed and could not be executed
    // at all"); the packet then completes with STATUS_INVALID_PARAMETER.
    const _URB_ISOCH_TRANSFER& iso = urb.UrbIsochronousTransfer;
    const ULONG packets = iso.NumberOfPackets;
    if (packets == 0 || packets > MaximumIsoPackets(speed)) return kInvalidParameter;
    if (packets % IsoPacketMultiple(speed, interval) != 0) return kInvalidParameter;
    // "Hdr.Length must be the size of this variable-length data structure". Two lengths are that
    // size: the structure's own for its packets, and what GET_ISO_URB_SIZE gives, which the
    // isochronous page tells drivers to use (the Windows headers' macro counts one descriptor
    // more than the packets need). Anything else is refused.
    const size_t exact = offsetof(_URB_ISOCH_TRANSFER, IsoPacket) +
                         static_cast<size_t>(packets) * sizeof(USBD_ISO_PACKET_DESCRIPTOR);
    if (length != exact && length != GET_ISO_URB_SIZE(packets)) return kInvalidParameter;
    // Step 5 of the isochronous page: each packet's Offset is its byte offset in the transfer
    // buffer and "Packets must be contiguous": offsets rise and every packet starts inside the
    // buffer.
    if (iso.TransferBuffer == nullptr) return kInvalidParameter;
    for (ULONG i = 0; i < packets; ++i) {
        if (iso.IsoPacket[i].Offset >= iso.TransferBufferLength) return kInvalidParameter;
        if (i > 0 && iso.IsoPacket[i].Offset <= iso.IsoPacket[i - 1].Offset)
            return kInvalidParameter;
    }
    return {};
}

}  // namespace host
