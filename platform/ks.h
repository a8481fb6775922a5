#pragma once
// Kernel-streaming and BDA vocabulary: devices, filters, pins, stream pointers, descriptors and
// the BDA support calls.
#include "platform/kernel.h"
#include <platform_impl/ks.h>
