#pragma once
// Download of the bridge firmware images to a stick that runs only its boot code.
#include "bridge/download_frames.h"
#include "platform/ks.h"

// Forgets any product-id patch; DriverEntry calls it so that every load starts from the image as
// embedded.
void InitializeFirmwareDownload();

bool DownloadFirmware(PKSDEVICE device);
// Sends image 1 ("rom.dat") or 2 ("fw.bin"); the label only names the image.
bool SendImage(PKSDEVICE device, const char* label, ULONG imageNumber);
// Sets the product id of the presented descriptor set (image offsets 0x10A-0x10B, low byte
// first) for this and every later download.
bool PatchProductId(USHORT productId);

// The image as the next download sends it, with the current patch; false for unknown numbers.
bool CurrentDownloadImage(ULONG imageNumber, DownloadImage* image);
