#pragma once
// USB bus request vocabulary on the Windows kernel build: usb.h, usbdlib.h and usbioctl.h of the
// mingw-w64 DDK. Those headers declare the usbd library without C linkage, so they are included
// inside an extern "C" block.
#include <platform_impl/kernel.h>

extern "C" {
#include <usb.h>
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

// The Windows headers define `interface` as a keyword for COM declarations; to the driver it is
// an ordinary name.
#undef interface
