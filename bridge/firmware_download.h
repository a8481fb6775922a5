#pragma once
// Download of the bridge firmware images to a stick that runs only its boot code.
#include "platform/ks.h"

bool DownloadFirmware(PKSDEVICE device);
bool SendImage(PKSDEVICE device, const char* label, ULONG imageNumber);
bool PatchProductId(USHORT productId);
