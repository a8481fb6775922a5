#pragma once
// USB bus request vocabulary: descriptors, request blocks (URBs) with their function codes and
// flags, pipe information, and the usbd library calls for configuration descriptors.
#include "platform/kernel.h"
#include <platform_impl/usb.h>
