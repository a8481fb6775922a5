#pragma once
// The two images the firmware download sends: "rom.dat" (descriptor table) and "fw.bin" (bridge
// program). The build embeds the images delivered with the stick's firmware when it is given
// them, and the built-in ones otherwise.
#include "platform/kernel.h"

constexpr ULONG kRomImageNumber = 1;
constexpr ULONG kFwImageNumber = 2;

struct FirmwareImageData {
    const UCHAR* bytes;
    ULONG length;
};

// The image as embedded, before any product-id patch; an empty one for unknown numbers.
FirmwareImageData EmbeddedFirmwareImage(ULONG imageNumber);
// Whether the image came from the delivered file rather than the built-in stand-in.
bool IsDeliveredFirmwareImage(ULONG imageNumber);
