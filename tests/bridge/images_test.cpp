// The embedded images and how they are cut into download frames.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <numeric>
#include <string_view>
#include <vector>

#include "bridge/firmware_download.h"
#include "bridge/firmware_images.h"
#include "bridge/fw_image_builtin.h"
#include "bridge/rom_image_builtin.h"

using ::testing::ElementsAreArray;
using Bytes = std::vector<UCHAR>;
namespace rom = rom_image;

namespace {

constexpr const UCHAR* kRom = rom::kBuiltinRomImage.bytes;

// Compile-time checks of the built-in descriptor table.
constexpr bool SetHasLayout(ULONG set, UCHAR configurationStreamEndpoint) {
    const UCHAR* s = kRom + set;
    const bool headers =
        s[rom::kQualifierOffset] == 10 && s[rom::kQualifierOffset + 1] == rom::kQualifierType &&
        s[rom::kConfigurationOffset + 1] == rom::kConfigurationType &&
        s[rom::kOtherSpeedOffset + 1] == rom::kOtherSpeedType &&
        rom::ReadWord(s, rom::kConfigurationOffset + 2) == 76 &&
        rom::ReadWord(s, rom::kOtherSpeedOffset + 2) == 76 && s[rom::kStringsOffset] == 4;
    // The fifth endpoint of alternate setting 1 (after 9 + 9 + 9 + 4 x 7 bytes) picks the variant.
    const bool variant = s[rom::kConfigurationOffset + 27 + 28 + 2] == configurationStreamEndpoint;
    bool padding = true;
    for (ULONG i = rom::kPaddingOffset; i < rom::kSetBytes; ++i) padding = padding && s[i] == 0;
    return headers && variant && padding;
}
static_assert(SetHasLayout(0, 0x87));
static_assert(SetHasLayout(rom::kSetBytes, 0x88));
static_assert(rom::ReadWord(kRom, 0x08) == 0x3344 && rom::ReadWord(kRom, 0x0A) == 0x1111);
static_assert(rom::ReadWord(kRom, 0x108) == 0x3344 && rom::ReadWord(kRom, 0x10A) == 0x1120);

struct EndpointSeen {
    UCHAR address, attributes;
    USHORT maxPacket;
    UCHAR interval;
    bool operator==(const EndpointSeen&) const = default;
};

// Parses a 76-byte configuration as a host would: interfaces and their endpoints.
std::vector<EndpointSeen> AlternateSetting1Endpoints(const UCHAR* configuration) {
    std::vector<EndpointSeen> endpoints;
    int alternate = -1;
    const ULONG total = rom::ReadWord(configuration, 2);
    for (ULONG at = 0; at < total; at += configuration[at]) {
        const UCHAR* d = configuration + at;
        if (d[0] == 0) break;
        if (d[1] == rom::kInterfaceType) {
            alternate = d[3];
            EXPECT_EQ(d[4], alternate == 0 ? 0 : 7);
            EXPECT_EQ(d[5], 0xFF);
        } else if (d[1] == rom::kEndpointType) {
            EXPECT_EQ(alternate, 1) << "endpoint outside alternate setting 1";
            endpoints.push_back({d[2], d[3], rom::ReadWord(d, 4), d[6]});
        }
    }
    return endpoints;
}

TEST(RomImage, ConfigurationsCarryTheSevenEndpointsInOrder) {
    const std::vector<EndpointSeen> iso = {{0x81, 2, 64, 0},   {0x01, 2, 64, 0},   {0x02, 2, 64, 0},
                                           {0x86, 2, 64, 0},   {0x87, 1, 1020, 1}, {0x0A, 2, 64, 0},
                                           {0x8A, 3, 64, 0x7F}};
    const std::vector<EndpointSeen> bulk = {
        {0x81, 2, 64, 0},  {0x01, 2, 64, 0},  {0x02, 2, 64, 0},   {0x86, 2, 512, 0},
        {0x88, 2, 512, 0}, {0x0A, 2, 512, 0}, {0x8A, 3, 64, 0x0B}};
    EXPECT_EQ(AlternateSetting1Endpoints(kRom + rom::kConfigurationOffset), iso);
    EXPECT_EQ(AlternateSetting1Endpoints(kRom + rom::kOtherSpeedOffset), bulk);
    EXPECT_EQ(AlternateSetting1Endpoints(kRom + 256 + rom::kConfigurationOffset), bulk);
    EXPECT_EQ(AlternateSetting1Endpoints(kRom + 256 + rom::kOtherSpeedOffset), iso);
}

TEST(RomImage, StringsFillTheirAreaAndTheSecondSetAnswersTheProbe) {
    for (ULONG set : {0u, 256u}) {
        ULONG at = set + rom::kStringsOffset;
        for (int i = 0; i < 4; ++i) {
            EXPECT_EQ(kRom[at + 1], rom::kStringType);
            at += kRom[at];
        }
        EXPECT_EQ(at, set + rom::kPaddingOffset);
    }
    const ULONG probe = rom::StringDescriptorOffset(kRom, 256, 2);
    EXPECT_THAT(Bytes(kRom + probe, kRom + probe + 6),
                ElementsAreArray({6, 3, 0x47, 0x47, 0x47, 0x47}));
    EXPECT_NE(kRom[rom::StringDescriptorOffset(kRom, 0, 2) + 2],
              0x47);  // the boot-time set does not
}

TEST(FwImage, StandInHasTheProgramShape) {
    const FirmwareImageData fw = EmbeddedFirmwareImage(kFwImageNumber);
    ASSERT_EQ(fw.length, 3117u);
    EXPECT_EQ(fw.bytes[0], 0x02);
    const std::string_view text(reinterpret_cast<const char*>(fw.bytes), fw.length);
    EXPECT_NE(text.find("TD init finish:excute program in pdram\r\n"), std::string_view::npos);
    EXPECT_EQ(EmbeddedFirmwareImage(kRomImageNumber).length, 512u);
    EXPECT_EQ(EmbeddedFirmwareImage(3).bytes, nullptr);
}

std::vector<Bytes> AllFrames(const DownloadImage& image) {
    std::vector<Bytes> frames;
    UCHAR frame[download_frame::kFrameCapacity];
    for (ULONG i = 0; ULONG length = BuildDownloadFrame(image, i, frame); ++i)
        frames.emplace_back(frame, frame + length);
    return frames;
}

TEST(DownloadFrames, ImagesSplitIntoFullFramesAndOneFinalFrame) {
    struct {
        ULONG length;
        size_t frames;
        size_t finalBytes;
    } cases[] = {{512, 11, 15}, {3117, 63, 20}, {100, 2, 53}, {50, 1, 53}, {1, 1, 4}, {51, 2, 4}};
    const Bytes data(3117, 0x11);
    for (const auto& c : cases) {
        const DownloadImage image{data.data(), c.length, 0x02, 0x82, false, 0, 0};
        const std::vector<Bytes> frames = AllFrames(image);
        ASSERT_EQ(frames.size(), c.frames) << c.length;
        for (size_t i = 0; i + 1 < frames.size(); ++i) {
            EXPECT_EQ(frames[i].size(), 53u);
            EXPECT_EQ(frames[i][0], 0x02);
            EXPECT_EQ(frames[i][1], 49);
        }
        EXPECT_EQ(frames.back().size(), c.finalBytes) << c.length;
        EXPECT_EQ(frames.back()[0], 0x82) << c.length;
        EXPECT_EQ(frames.back()[1], c.finalBytes - 4) << c.length;
    }
}

TEST(DownloadFrames, FinalFrameExample) {
    const UCHAR data[] = {0x01, 0x02, 0x03};
    const DownloadImage image{data, 3, 0x01, 0x81, false, 0, 0};
    EXPECT_THAT(AllFrames(image).at(0), ElementsAreArray({0x81, 0x02, 0x01, 0x02, 0x03, 0x06}));
}

TEST(DownloadFrames, PatchedProductIdTravelsInTheSixthFrameWithItsChecksum) {
    InitializeFirmwareDownload();
    PatchProductId(0x2000);
    PatchProductId(0x1120);  // the last patch wins
    DownloadImage image;
    ASSERT_TRUE(CurrentDownloadImage(kRomImageNumber, &image));
    const Bytes frame = AllFrames(image).at(5);
    // Image bytes 250-299: offset 0x10A = 266 is data byte 16.
    EXPECT_EQ(frame[2 + 16], 0x20);
    EXPECT_EQ(frame[2 + 17], 0x11);
    const UCHAR sum = std::accumulate(frame.begin() + 2, frame.end() - 1, UCHAR{0},
                                      [](UCHAR a, UCHAR b) { return static_cast<UCHAR>(a + b); });
    EXPECT_EQ(frame.back(), sum);

    PatchProductId(0x2345);
    ASSERT_TRUE(CurrentDownloadImage(kRomImageNumber, &image));
    const Bytes repatched = AllFrames(image).at(5);
    EXPECT_EQ(repatched[2 + 16], 0x45);
    EXPECT_EQ(repatched[2 + 17], 0x23);
    EXPECT_EQ(repatched.back(), static_cast<UCHAR>(frame.back() - 0x20 - 0x11 + 0x45 + 0x23));
    // The embedded image itself is never written.
    EXPECT_EQ(EmbeddedFirmwareImage(kRomImageNumber).bytes[0x10A], 0x20);
    InitializeFirmwareDownload();
}

}  // namespace
