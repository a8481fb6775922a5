#pragma once
// The built-in descriptor image "rom.dat", assembled at compile time from the layout. It is used
// when the build is not given the image delivered with the stick's firmware.
#include "bridge/rom_image_layout.h"

namespace rom_image {

struct EndpointShape {
    UCHAR address;
    UCHAR attributes;
    USHORT maxPacket;
    UCHAR interval;
};

// Alternate setting 1 with the isochronous stream endpoint 0x87.
constexpr EndpointShape kIsochronousEndpoints[kEndpointCount] = {
    {0x81, kBulk, 64, 0},         {0x01, kBulk, 64, 0},          {0x02, kBulk, 64, 0},
    {0x86, kBulk, 64, 0},         {0x87, kIsochronous, 1020, 1}, {0x0A, kBulk, 64, 0},
    {0x8A, kInterrupt, 64, 0x7F},
};
// Alternate setting 1 with the bulk stream endpoint 0x88.
constexpr EndpointShape kBulkEndpoints[kEndpointCount] = {
    {0x81, kBulk, 64, 0},         {0x01, kBulk, 64, 0},  {0x02, kBulk, 64, 0},
    {0x86, kBulk, 512, 0},        {0x88, kBulk, 512, 0}, {0x0A, kBulk, 512, 0},
    {0x8A, kInterrupt, 64, 0x0B},
};

struct RomImageBytes {
    UCHAR bytes[kImageBytes];
};

namespace builder {

constexpr ULONG kConfigHeaderBytes = 9;
constexpr ULONG kInterfaceBytes = 9;
constexpr ULONG kEndpointBytes = 7;
static_assert(kConfigHeaderBytes + 2 * kInterfaceBytes + kEndpointCount * kEndpointBytes ==
              kConfigurationBytes);

struct Cursor {
    UCHAR* bytes;
    ULONG at;
    constexpr void Put(UCHAR value) { bytes[at++] = value; }
    constexpr void PutWord(USHORT value) {
        Put(static_cast<UCHAR>(value & 0xFF));
        Put(static_cast<UCHAR>(value >> 8));
    }
};

constexpr void PutDeviceDescriptor(Cursor& out, USHORT productId) {
    out.Put(kDeviceDescriptorBytes);
    out.Put(kDeviceType);
    out.PutWord(0x0200);  // USB 2.00
    out.Put(0);           // class, subclass, protocol: per interface
    out.Put(0);
    out.Put(0);
    out.Put(64);  // control packet size
    out.PutWord(kVendorId);
    out.PutWord(productId);
    out.PutWord(0x0100);  // device release
    out.Put(1);           // manufacturer, product, serial strings
    out.Put(2);
    out.Put(3);
    out.Put(1);  // one configuration
}

constexpr void PutQualifier(Cursor& out) {
    out.Put(kQualifierBytes);
    out.Put(kQualifierType);
    out.PutWord(0x0200);
    out.Put(0);
    out.Put(0);
    out.Put(0);
    out.Put(64);
    out.Put(1);  // other-speed configurations
    out.Put(0);
}

constexpr void PutInterface(Cursor& out, UCHAR alternateSetting, UCHAR endpoints) {
    out.Put(kInterfaceBytes);
    out.Put(kInterfaceType);
    out.Put(kInterfaceNumber);
    out.Put(alternateSetting);
    out.Put(endpoints);
    out.Put(kVendorClass);
    out.Put(0);
    out.Put(0);
    out.Put(0);
}

constexpr void PutConfiguration(Cursor& out, UCHAR type,
                                const EndpointShape (&endpoints)[kEndpointCount]) {
    out.Put(kConfigHeaderBytes);
    out.Put(type);
    out.PutWord(kConfigurationBytes);
    out.Put(1);     // interfaces
    out.Put(1);     // configuration value
    out.Put(0);     // no string
    out.Put(0x80);  // bus powered
    out.Put(250);   // 500 mA
    PutInterface(out, 0, 0);
    PutInterface(out, 1, kEndpointCount);
    for (const EndpointShape& endpoint : endpoints) {
        out.Put(kEndpointBytes);
        out.Put(kEndpointType);
        out.Put(endpoint.address);
        out.Put(endpoint.attributes);
        out.PutWord(endpoint.maxPacket);
        out.Put(endpoint.interval);
    }
}

// UTF-16 string descriptor of ASCII text.
constexpr void PutString(Cursor& out, const char* text, ULONG length) {
    out.Put(static_cast<UCHAR>(2 + 2 * length));
    out.Put(kStringType);
    for (ULONG i = 0; i < length; ++i) out.PutWord(static_cast<UCHAR>(text[i]));
}

constexpr void PutStrings(Cursor& out, bool presented) {
    out.Put(4);  // string 0: language list, US English
    out.Put(kStringType);
    out.PutWord(0x0409);
    PutString(out, "KVS", 3);
    if (presented) {
        for (UCHAR byte : kProbeString) out.Put(byte);
    } else {
        PutString(out, "DT", 2);
    }
    PutString(out, "001", 3);
}

constexpr void PutSet(UCHAR* set, bool presented) {
    Cursor out{set, 0};
    PutDeviceDescriptor(out, presented ? kSecondSetProductId : kFirstSetProductId);
    PutQualifier(out);
    // The first set runs the stream isochronously, the presented set over bulk; each carries
    // the other variant as its other-speed configuration.
    PutConfiguration(out, kConfigurationType, presented ? kBulkEndpoints : kIsochronousEndpoints);
    PutConfiguration(out, kOtherSpeedType, presented ? kIsochronousEndpoints : kBulkEndpoints);
    PutStrings(out, presented);
    while (out.at < kSetBytes) out.Put(0);
}

}  // namespace builder

constexpr RomImageBytes BuildRomImage() {
    RomImageBytes image{};
    builder::PutSet(image.bytes, false);
    builder::PutSet(image.bytes + kSetBytes, true);
    return image;
}

inline constexpr RomImageBytes kBuiltinRomImage = BuildRomImage();
static_assert(HasExpectedStructure(kBuiltinRomImage.bytes));

}  // namespace rom_image
