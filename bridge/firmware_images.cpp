// Chooses between the delivered images (generated into bridge/delivered_images.h at configure
// time) and the built-in ones, and checks at compile time what the driver relies on in them.
#include "bridge/firmware_images.h"

#include "bridge/fw_image_builtin.h"
#include "bridge/rom_image_builtin.h"

#if __has_include("bridge/delivered_images.h")
#include "bridge/delivered_images.h"
#endif
#ifndef KVSBDA_DELIVERED_ROM_IMAGE
#define KVSBDA_DELIVERED_ROM_IMAGE 0
#endif
#ifndef KVSBDA_DELIVERED_FW_IMAGE
#define KVSBDA_DELIVERED_FW_IMAGE 0
#endif

namespace {

#if KVSBDA_DELIVERED_ROM_IMAGE
static_assert(sizeof(kDeliveredRomImage) == rom_image::kImageBytes);
static_assert(rom_image::HasExpectedStructure(kDeliveredRomImage));
constexpr const UCHAR* kRomImage = kDeliveredRomImage;
#else
constexpr const UCHAR* kRomImage = rom_image::kBuiltinRomImage.bytes;
#endif

#if KVSBDA_DELIVERED_FW_IMAGE
static_assert(sizeof(kDeliveredFwImage) == fw_image::kImageBytes);
static_assert(fw_image::HasExpectedStructure(kDeliveredFwImage));
constexpr const UCHAR* kFwImage = kDeliveredFwImage;
#else
constexpr const UCHAR* kFwImage = fw_image::kBuiltinFwImage.bytes;
#endif

}  // namespace

FirmwareImageData EmbeddedFirmwareImage(ULONG imageNumber) {
    if (imageNumber == kRomImageNumber) return {kRomImage, rom_image::kImageBytes};
    if (imageNumber == kFwImageNumber) return {kFwImage, fw_image::kImageBytes};
    return {nullptr, 0};
}

bool IsDeliveredFirmwareImage(ULONG imageNumber) {
    if (imageNumber == kRomImageNumber) return KVSBDA_DELIVERED_ROM_IMAGE != 0;
    if (imageNumber == kFwImageNumber) return KVSBDA_DELIVERED_FW_IMAGE != 0;
    return false;
}
