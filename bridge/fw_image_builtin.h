#pragma once
// The built-in program image "fw.bin": a stand-in of the bridge program's size and shape, used
// when the build is not given the program delivered with the stick. It jumps to an idle loop and
// carries the program's start-up text; the simulated bridge does not execute it.
#include "platform/kernel.h"

namespace fw_image {

constexpr ULONG kImageBytes = 3117;
constexpr UCHAR kLongJump = 0x02;  // 8051 LJMP addr16, high byte first
constexpr char kStartupText[] = "TD init finish:excute program in pdram\r\n";
constexpr ULONG kStartupTextBytes = sizeof(kStartupText) - 1;

constexpr USHORT kIdleLoopAddress = 0x0040;
constexpr ULONG kStartupTextOffset = 0x0050;

struct FwImageBytes {
    UCHAR bytes[kImageBytes];
};

constexpr FwImageBytes BuildFwImage() {
    FwImageBytes image{};
    image.bytes[0] = kLongJump;
    image.bytes[1] = static_cast<UCHAR>(kIdleLoopAddress >> 8);
    image.bytes[2] = static_cast<UCHAR>(kIdleLoopAddress & 0xFF);
    image.bytes[kIdleLoopAddress] = 0x80;  // SJMP to itself
    image.bytes[kIdleLoopAddress + 1] = 0xFE;
    for (ULONG i = 0; i < kStartupTextBytes; ++i)
        image.bytes[kStartupTextOffset + i] = static_cast<UCHAR>(kStartupText[i]);
    return image;
}

inline constexpr FwImageBytes kBuiltinFwImage = BuildFwImage();

constexpr bool HasExpectedStructure(const UCHAR* image) {
    return image[0] == kLongJump;
}
static_assert(HasExpectedStructure(kBuiltinFwImage.bytes));

}  // namespace fw_image
