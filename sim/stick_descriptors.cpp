// Built-in descriptor tables of the simulated stick.
#include "sim/stick_descriptors.h"

#include <array>

namespace sim {
namespace {

using Bytes = std::vector<uint8_t>;

// Device descriptor: USB 2.00, class 0, control packet size 64, one configuration, strings 1 to
// 3. The ids (bytes 8 to 11) are filled in per stick.
constexpr std::array<uint8_t, 18> kDeviceDescriptor = {
    0x12, 0x01, 0x00, 0x02, 0x00, 0x00, 0x00, 0x40, 0x00,
    0x00, 0x00, 0x00, 0x00, 0x01, 0x01, 0x02, 0x03, 0x01,
};

// One interface (0): alternate setting 0 without endpoints, alternate setting 1 of vendor class
// 0xFF with seven endpoints: 0x81 bulk IN (command replies), 0x01 bulk OUT (command frames),
// 0x02 bulk OUT, 0x86 bulk IN, the stream endpoint 0x87 isochronous IN (1020 bytes, interval 1),
// 0x0A bulk OUT and 0x8A interrupt IN (reports, interval 0x7F).
constexpr std::array<uint8_t, 76> kRomConfigurationIsochronous = {
    0x09, 0x02, 0x4C, 0x00, 0x01, 0x01, 0x00, 0x80, 0xFA,  // configuration
    0x09, 0x04, 0x00, 0x00, 0x00, 0xFF, 0x00, 0x00, 0x00,  // interface 0, alternate setting 0
    0x09, 0x04, 0x00, 0x01, 0x07, 0xFF, 0x00, 0x00, 0x00,  // interface 0, alternate setting 1
    0x07, 0x05, 0x81, 0x02, 0x40, 0x00, 0x00,              //
    0x07, 0x05, 0x01, 0x02, 0x40, 0x00, 0x00,              //
    0x07, 0x05, 0x02, 0x02, 0x40, 0x00, 0x00,              //
    0x07, 0x05, 0x86, 0x02, 0x40, 0x00, 0x00,              //
    0x07, 0x05, 0x87, 0x01, 0xFC, 0x03, 0x01,              //
    0x07, 0x05, 0x0A, 0x02, 0x40, 0x00, 0x00,              //
    0x07, 0x05, 0x8A, 0x03, 0x40, 0x00, 0x7F,              //
};

// The same with the stream on 0x88 bulk IN: 512-byte endpoints 0x86, 0x88 and 0x0A, interrupt
// interval 0x0B.
constexpr std::array<uint8_t, 76> kRomConfigurationBulk = {
    0x09, 0x02, 0x4C, 0x00, 0x01, 0x01, 0x00, 0x80, 0xFA,  //
    0x09, 0x04, 0x00, 0x00, 0x00, 0xFF, 0x00, 0x00, 0x00,  //
    0x09, 0x04, 0x00, 0x01, 0x07, 0xFF, 0x00, 0x00, 0x00,  //
    0x07, 0x05, 0x81, 0x02, 0x40, 0x00, 0x00,              //
    0x07, 0x05, 0x01, 0x02, 0x40, 0x00, 0x00,              //
    0x07, 0x05, 0x02, 0x02, 0x40, 0x00, 0x00,              //
    0x07, 0x05, 0x86, 0x02, 0x00, 0x02, 0x00,              //
    0x07, 0x05, 0x88, 0x02, 0x00, 0x02, 0x00,              //
    0x07, 0x05, 0x0A, 0x02, 0x00, 0x02, 0x00,              //
    0x07, 0x05, 0x8A, 0x03, 0x40, 0x00, 0x0B,              //
};

// A stick that needs no firmware download: alternate setting 1 with 0x81 bulk IN, 0x01 bulk OUT,
// the stream endpoint 0x82 at position 2 and 0x83 interrupt IN.
constexpr std::array<uint8_t, 55> kPosition2ConfigurationIsochronous = {
    0x09, 0x02, 0x37, 0x00, 0x01, 0x01, 0x00, 0x80, 0xFA,  //
    0x09, 0x04, 0x00, 0x00, 0x00, 0xFF, 0x00, 0x00, 0x00,  //
    0x09, 0x04, 0x00, 0x01, 0x04, 0xFF, 0x00, 0x00, 0x00,  //
    0x07, 0x05, 0x81, 0x02, 0x40, 0x00, 0x00,              //
    0x07, 0x05, 0x01, 0x02, 0x40, 0x00, 0x00,              //
    0x07, 0x05, 0x82, 0x01, 0xFC, 0x03, 0x01,              //
    0x07, 0x05, 0x83, 0x03, 0x40, 0x00, 0x0B,              //
};

constexpr std::array<uint8_t, 55> kPosition2ConfigurationBulk = {
    0x09, 0x02, 0x37, 0x00, 0x01, 0x01, 0x00, 0x80, 0xFA,  //
    0x09, 0x04, 0x00, 0x00, 0x00, 0xFF, 0x00, 0x00, 0x00,  //
    0x09, 0x04, 0x00, 0x01, 0x04, 0xFF, 0x00, 0x00, 0x00,  //
    0x07, 0x05, 0x81, 0x02, 0x40, 0x00, 0x00,              //
    0x07, 0x05, 0x01, 0x02, 0x40, 0x00, 0x00,              //
    0x07, 0x05, 0x82, 0x02, 0x00, 0x02, 0x00,              //
    0x07, 0x05, 0x83, 0x03, 0x40, 0x00, 0x0B,              //
};

// String descriptor of an ASCII text as UTF-16LE.
template <size_t N>
constexpr std::array<uint8_t, 2 * N> Utf16String(const char (&text)[N]) {
    std::array<uint8_t, 2 * N> descriptor{};
    descriptor[0] = static_cast<uint8_t>(2 * N);  // N - 1 characters plus the two header bytes
    descriptor[1] = 0x03;
    for (size_t i = 0; i + 1 < N; ++i) descriptor[2 + 2 * i] = static_cast<uint8_t>(text[i]);
    return descriptor;
}

constexpr std::array<uint8_t, 4> kLanguages = {0x04, 0x03, 0x09, 0x04};  // US English
constexpr auto kManufacturer = Utf16String("KVS");
constexpr auto kBootProduct = Utf16String("KVS7100 USB2.0 DTV");
constexpr auto kSerialNumber = Utf16String("000000000001");
// What the running bridge firmware presents as string 2: four single bytes 'G'.
constexpr std::array<uint8_t, 6> kFirmwareMarker = {0x06, 0x03, 0x47, 0x47, 0x47, 0x47};

template <size_t N>
Bytes ToBytes(const std::array<uint8_t, N>& table) {
    return Bytes(table.begin(), table.end());
}

}  // namespace

DescriptorLayout DefaultLayoutFor(uint16_t vendorId, uint16_t productId) {
    return vendorId == 0x0572 && productId == 0x6688 ? DescriptorLayout::StreamAtPosition2
                                                     : DescriptorLayout::RomImage;
}

const std::vector<uint8_t>* DescriptorSet::String(uint8_t index) const {
    if (index >= strings.size() || strings[index].empty()) return nullptr;
    return &strings[index];
}

DescriptorSet BuiltInDescriptors(uint16_t vendorId, uint16_t productId, DescriptorLayout layout,
                                 StreamTransfer transfer, bool firmwareRunning) {
    DescriptorSet set;
    set.device = ToBytes(kDeviceDescriptor);
    set.device[8] = static_cast<uint8_t>(vendorId);
    set.device[9] = static_cast<uint8_t>(vendorId >> 8);
    set.device[10] = static_cast<uint8_t>(productId);
    set.device[11] = static_cast<uint8_t>(productId >> 8);
    const bool isochronous = transfer == StreamTransfer::Isochronous;
    if (layout == DescriptorLayout::RomImage)
        set.configuration =
            isochronous ? ToBytes(kRomConfigurationIsochronous) : ToBytes(kRomConfigurationBulk);
    else
        set.configuration = isochronous ? ToBytes(kPosition2ConfigurationIsochronous)
                                        : ToBytes(kPosition2ConfigurationBulk);
    set.strings = {ToBytes(kLanguages), ToBytes(kManufacturer),
                   firmwareRunning ? ToBytes(kFirmwareMarker) : ToBytes(kBootProduct),
                   ToBytes(kSerialNumber)};
    return set;
}

std::optional<DescriptorSet> DescriptorsFromRomImage(const uint8_t* set, size_t length,
                                                     BusSpeed speed) {
    if (set == nullptr || length < kRomDescriptorSetBytes) return std::nullopt;
    DescriptorSet result;
    result.device.assign(set + kRomDeviceOffset, set + kRomDeviceOffset + 18);

    const uint8_t* configuration =
        set +
        (speed == BusSpeed::High ? kRomConfigurationOffset : kRomOtherSpeedConfigurationOffset);
    size_t total = configuration[2] | static_cast<size_t>(configuration[3]) << 8;
    if (total > kRomConfigurationBytes) total = kRomConfigurationBytes;  // never the next slot
    result.configuration.assign(configuration, configuration + total);
    // What the other-speed descriptor describes is, at that speed, the configuration.
    if (result.configuration.size() >= 2) result.configuration[1] = 0x02;

    // Strings 0 to 3 follow each other; a malformed length ends the table.
    size_t at = kRomStringsOffset;
    const size_t end = kRomStringsOffset + kRomStringsBytes;
    while (result.strings.size() < 4 && at + 2 <= end) {
        const size_t stringLength = set[at];
        if (stringLength < 2 || at + stringLength > end || set[at + 1] != 0x03) break;
        result.strings.emplace_back(set + at, set + at + stringLength);
        at += stringLength;
    }
    return result;
}

}  // namespace sim
