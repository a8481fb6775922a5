#pragma once
// Bounded walk over a configuration descriptor, shared by the usbd library calls and the bus's
// select-configuration. Every function is pure and stops at the first descriptor that is
// malformed (bLength below 2 or running past wTotalLength), so hostile descriptors from a device
// can neither loop nor read outside the block.
#include <cstddef>

#include "platform/usb.h"

namespace host::usbd {

// Pool tag of the select-configuration blocks that USBD_CreateConfigurationRequestEx returns.
constexpr ULONG kUsbdPoolTag = 0x44425355;  // 'USBD'

// The bytes of the configuration descriptor that may be walked: wTotalLength, or 0 when the
// descriptor is null or claims fewer than the 9 bytes of its own header.
size_t WalkableLength(const USB_CONFIGURATION_DESCRIPTOR* configuration);

// Values of -1 match anything.
struct InterfaceCriteria {
    LONG interfaceNumber = -1;
    LONG alternateSetting = -1;
    LONG interfaceClass = -1;
    LONG interfaceSubClass = -1;
    LONG interfaceProtocol = -1;
};

// First complete interface descriptor at or after `start` that matches, or null. `start` outside
// the walkable bytes finds nothing.
const USB_INTERFACE_DESCRIPTOR* FindInterface(const USB_CONFIGURATION_DESCRIPTOR* configuration,
                                              const void* start, const InterfaceCriteria& criteria);

// True when `interface` is a complete interface descriptor that a walk from the start of the
// configuration reaches (and so lies inside it).
bool IsInterfaceOf(const USB_CONFIGURATION_DESCRIPTOR* configuration,
                   const USB_INTERFACE_DESCRIPTOR* interface);

// The endpoint descriptors that follow `interface` before the next interface descriptor, at most
// its bNumEndpoints and at most `capacity`; stores them in `endpoints` (may be null when
// capacity is 0) and returns how many there are.
size_t CollectEndpoints(const USB_CONFIGURATION_DESCRIPTOR* configuration,
                        const USB_INTERFACE_DESCRIPTOR* interface,
                        const USB_ENDPOINT_DESCRIPTOR** endpoints, size_t capacity);

// Number of endpoints CollectEndpoints would find with unlimited capacity.
size_t CountEndpoints(const USB_CONFIGURATION_DESCRIPTOR* configuration,
                      const USB_INTERFACE_DESCRIPTOR* interface);

}  // namespace host::usbd
