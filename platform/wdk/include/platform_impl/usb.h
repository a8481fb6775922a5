#pragma once
// USB bus request vocabulary on the Windows kernel build: usb.h, usbdlib.h and usbioctl.h of the
// mingw-w64 DDK. Those headers declare the usbd library without C linkage, so they are included
// inside an extern "C" block.
#include <platform_impl/kernel.h>

extern "C" {
#include <usb.h>
#include <usbbusif.h>
#include <usbdlib.h>
#include <usbioctl.h>
}

// The request-block sizes the driver relies on when it sizes blocks itself.
static_assert(sizeof(_URB_HEADER) == 24);
static_assert(sizeof(_URB_PIPE_REQUEST) == 40);
static_assert(sizeof(_URB_BULK_OR_INTERRUPT_TRANSFER) == 128);
static_assert(sizeof(_URB_CONTROL_DESCRIPTOR_REQUEST) == 136);
static_assert(sizeof(USBD_PIPE_INFORMATION) == 24);
static_assert(sizeof(USBD_INTERFACE_INFORMATION) == 48);
static_assert(offsetof(_URB_ISOCH_TRANSFER, IsoPacket) == 140);
static_assert(sizeof(USB_BUS_INTERFACE_USBDI_V1) == 72);

// USB_BUS_INTERFACE_USBDI_GUID as a value (the header only declares it unless INITGUID is set).
inline constexpr GUID kUsbBusInterfaceUsbdiGuid = {
    0xb1a96a13, 0x3de0, 0x4574, {0x9b, 0x01, 0xc0, 0x8f, 0xea, 0xb3, 0x18, 0xd6}};

// The Windows headers define `interface` as a keyword for COM declarations; to the driver it is
// an ordinary name.
#undef interface
