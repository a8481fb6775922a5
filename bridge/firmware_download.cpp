// Firmware download: rom.dat, then fw.bin, then the start command.
#include "bridge/firmware_download.h"

#include "bridge/bridge_channel.h"
#include "bridge/firmware_images.h"
#include "bridge/rom_image_layout.h"

namespace {

// The patched product id of rom.dat, or kNotPatched. Device start of one stick may patch while
// nothing else runs, but a single interlocked word keeps every download's snapshot whole: both
// bytes always come from the same patch.
constexpr LONG kNotPatched = -1;
LONG volatile patchedProductId = kNotPatched;

}  // namespace

void InitializeFirmwareDownload() {
    InterlockedExchange(&patchedProductId, kNotPatched);
}

bool PatchProductId(USHORT productId) {
    InterlockedExchange(&patchedProductId, productId);
    return true;
}

bool CurrentDownloadImage(ULONG imageNumber, DownloadImage* image) {
    const FirmwareImageData data = EmbeddedFirmwareImage(imageNumber);
    if (data.bytes == nullptr || image == nullptr) return false;
    const bool rom = imageNumber == kRomImageNumber;
    const LONG patch = rom ? ReadLongAcquire(&patchedProductId) : kNotPatched;
    *image = DownloadImage{
        .bytes = data.bytes,
        .length = data.length,
        .dataCode = rom ? download_frame::kRomDataCode : download_frame::kFwDataCode,
        .finalCode = rom ? download_frame::kRomFinalCode : download_frame::kFwFinalCode,
        .patched = patch != kNotPatched,
        .patchOffset = rom_image::kPatchedProductIdOffset,
        .patchWord = static_cast<USHORT>(patch),
    };
    return true;
}

namespace {

bool SendImageFrames(ULONG imageNumber, bool* repliesLost) {
    DownloadImage image;
    if (!CurrentDownloadImage(imageNumber, &image)) return false;
    return SendDownloadImage(image, repliesLost);
}

}  // namespace

bool SendImage(PKSDEVICE, const char*, ULONG imageNumber) {
    bool repliesLost = false;
    return SendImageFrames(imageNumber, &repliesLost) && !repliesLost;
}

bool DownloadFirmware(PKSDEVICE device) {
    SetChannelDevice(device);
    // Frames whose reply was lost do not stop the download: the stick gets every frame and may
    // well start. But such a frame may have been refused, and then the stick stays in its boot
    // code; the download is only reported done when every verdict came back.
    bool repliesLost = false;
    if (!SendImageFrames(kRomImageNumber, &repliesLost)) return false;
    if (!SendImageFrames(kFwImageNumber, &repliesLost)) return false;
    const bool started = StartFirmware();
    return started && !repliesLost;
}
