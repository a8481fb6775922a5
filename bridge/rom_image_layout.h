#pragma once
// Layout of the descriptor image "rom.dat" that the bridge firmware presents once it runs: two
// descriptor sets of 256 bytes laid out alike. The firmware presents the second set; the
// firmware-present probe looks for "GGG" in its string descriptor 2.
#include "platform/kernel.h"

namespace rom_image {

constexpr ULONG kImageBytes = 512;
constexpr ULONG kSetBytes = 256;
constexpr ULONG kSetCount = 2;
constexpr ULONG kPresentedSetOffset = kSetBytes;  // the second set

// Offsets inside a set.
constexpr ULONG kDeviceDescriptorOffset = 0x00;
constexpr ULONG kDeviceDescriptorBytes = 18;
constexpr ULONG kQualifierOffset = 0x12;
constexpr ULONG kQualifierBytes = 10;
constexpr ULONG kConfigurationOffset = 0x1C;
constexpr ULONG kOtherSpeedOffset = 0x68;
constexpr ULONG kConfigurationBytes = 76;
constexpr ULONG kStringsOffset = 0xB4;
constexpr ULONG kStringsBytes = 26;
constexpr ULONG kPaddingOffset = 0xCE;
constexpr ULONG kPaddingBytes = 50;

static_assert(kQualifierOffset == kDeviceDescriptorOffset + kDeviceDescriptorBytes);
static_assert(kConfigurationOffset == kQualifierOffset + kQualifierBytes);
static_assert(kOtherSpeedOffset == kConfigurationOffset + kConfigurationBytes);
static_assert(kStringsOffset == kOtherSpeedOffset + kConfigurationBytes);
static_assert(kPaddingOffset == kStringsOffset + kStringsBytes);
static_assert(kPaddingOffset + kPaddingBytes == kSetBytes);

// Fields of the device descriptor.
constexpr ULONG kVendorIdOffset = 8;
constexpr ULONG kProductIdOffset = 10;
constexpr USHORT kVendorId = 0x3344;
constexpr USHORT kFirstSetProductId = 0x1111;
constexpr USHORT kSecondSetProductId = 0x1120;

// The product id of the presented set, low byte first: the place the driver patches.
constexpr ULONG kPatchedProductIdOffset =
    kPresentedSetOffset + kDeviceDescriptorOffset + kProductIdOffset;
static_assert(kPatchedProductIdOffset == 0x10A);

// String descriptor 2 of the presented set: length 6, type 3, four single "G" bytes.
constexpr UCHAR kProbeString[6] = {6, 3, 0x47, 0x47, 0x47, 0x47};
constexpr UCHAR kProbeStringIndex = 2;

// Endpoints of alternate setting 1, in interface order.
constexpr ULONG kEndpointCount = 7;
constexpr ULONG kInterfaceNumber = 0;
constexpr UCHAR kVendorClass = 0xFF;

// USB descriptor types and endpoint attributes.
constexpr UCHAR kDeviceType = 1;
constexpr UCHAR kConfigurationType = 2;
constexpr UCHAR kStringType = 3;
constexpr UCHAR kInterfaceType = 4;
constexpr UCHAR kEndpointType = 5;
constexpr UCHAR kQualifierType = 6;
constexpr UCHAR kOtherSpeedType = 7;
constexpr UCHAR kIsochronous = 1;
constexpr UCHAR kBulk = 2;
constexpr UCHAR kInterrupt = 3;

constexpr USHORT ReadWord(const UCHAR* bytes, ULONG offset) {
    return static_cast<USHORT>(bytes[offset] | (bytes[offset + 1] << 8));
}

// Offset in the image of string descriptor `index` of the set at `setOffset`, found by walking
// the descriptor lengths; kImageBytes when the walk leaves the string area.
constexpr ULONG StringDescriptorOffset(const UCHAR* image, ULONG setOffset, ULONG index) {
    ULONG at = setOffset + kStringsOffset;
    const ULONG end = at + kStringsBytes;
    for (ULONG i = 0; i < index; ++i) {
        if (at >= end || image[at] == 0) return kImageBytes;
        at += image[at];
    }
    return at < end ? at : kImageBytes;
}

// What the driver and the probe rely on in a rom.dat image: the presented set's device
// descriptor with the stick's vendor id and its "GGGG" string descriptor 2.
constexpr bool HasExpectedStructure(const UCHAR* image) {
    const ULONG device = kPresentedSetOffset + kDeviceDescriptorOffset;
    if (image[device] != kDeviceDescriptorBytes || image[device + 1] != kDeviceType) return false;
    if (ReadWord(image, device + kVendorIdOffset) != kVendorId) return false;
    const ULONG probe = StringDescriptorOffset(image, kPresentedSetOffset, kProbeStringIndex);
    if (probe + sizeof(kProbeString) > kPresentedSetOffset + kStringsOffset + kStringsBytes)
        return false;
    for (ULONG i = 0; i < sizeof(kProbeString); ++i)
        if (image[probe + i] != kProbeString[i]) return false;
    return true;
}

}  // namespace rom_image
