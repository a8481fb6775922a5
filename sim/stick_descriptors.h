#pragma once
// The USB descriptors the simulated stick presents: built-in sets for its boot and running
// states, and the descriptor set taken from the rom image the driver downloads.
#include <cstddef>
#include <cstdint>
#include <optional>
#include <vector>

namespace sim {

// How the stick's transport-stream endpoint moves data.
enum class StreamTransfer { Isochronous, Bulk };

// The speed the stick enumerates at. A high-speed device presents its configuration descriptor;
// the same device on a full-speed link presents what its other-speed configuration describes.
enum class BusSpeed { High, Full };

// The stream transfer a stick presents at a speed when nothing else says: the running firmware's
// configurations carry the stream as 512-byte bulk at high speed and as isochronous 1020-byte
// packets at full speed.
constexpr StreamTransfer StreamTransferAt(BusSpeed speed) {
    return speed == BusSpeed::High ? StreamTransfer::Bulk : StreamTransfer::Isochronous;
}

// Which interface layout the stick has.
enum class DescriptorLayout {
    RomImage,          // seven endpoints; stream IN at position 4 (0x87 isochronous or 0x88 bulk)
    StreamAtPosition2  // four endpoints; stream IN 0x82 at position 2
};

// The layout a stick with these ids has unless told otherwise.
DescriptorLayout DefaultLayoutFor(uint16_t vendorId, uint16_t productId);

struct DescriptorSet {
    std::vector<uint8_t> device;                // 18 bytes
    std::vector<uint8_t> configuration;         // wTotalLength bytes
    std::vector<std::vector<uint8_t>> strings;  // by index; empty = no such string

    const std::vector<uint8_t>* String(uint8_t index) const;
};

// The built-in descriptors. With the bridge firmware running, string 2 is the six-byte "GGG"
// marker the firmware presents; in the boot state it is an ordinary UTF-16 product name.
DescriptorSet BuiltInDescriptors(uint16_t vendorId, uint16_t productId, DescriptorLayout layout,
                                 StreamTransfer transfer, bool firmwareRunning);

// Size and positions of one descriptor set of the rom image.
constexpr size_t kRomDescriptorSetBytes = 256;
constexpr size_t kRomDeviceOffset = 0x00;
constexpr size_t kRomConfigurationOffset = 0x1C;
constexpr size_t kRomConfigurationBytes = 76;
constexpr size_t kRomOtherSpeedConfigurationOffset = 0x68;
constexpr size_t kRomStringsOffset = 0xB4;
constexpr size_t kRomStringsBytes = 26;

// The descriptors of one 256-byte set of the rom image as a device at `speed` presents them:
// device descriptor, configuration (no more than its 76-byte slot: at full speed the
// other-speed configuration, presented as the configuration) and the strings packed after each
// other. Null when `length` is short.
std::optional<DescriptorSet> DescriptorsFromRomImage(const uint8_t* set, size_t length,
                                                     BusSpeed speed = BusSpeed::High);

}  // namespace sim
