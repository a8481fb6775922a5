#pragma once
// The driver's private device interface, registered and enabled for each started stick.
#include "platform/kernel.h"

constexpr GUID DeviceInterfaceClass = {
    0xC82357CB, 0x9B4E, 0x4149, {0x88, 0xE1, 0xBF, 0xD5, 0xD3, 0x93, 0x72, 0x8D}};
