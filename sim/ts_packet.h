#pragma once
// MPEG-2 transport-stream packet layout shared by the stream generator and the checker.
#include <array>
#include <cstddef>
#include <cstdint>

namespace sim::ts {

constexpr size_t kPacketBytes = 188;
constexpr uint8_t kSyncByte = 0x47;
constexpr uint16_t kPatPid = 0x0000;
constexpr uint16_t kNullPid = 0x1FFF;

inline uint16_t Pid(const uint8_t* packet) {
    return static_cast<uint16_t>(((packet[1] & 0x1F) << 8) | packet[2]);
}
inline bool PayloadUnitStart(const uint8_t* packet) {
    return (packet[1] & 0x40) != 0;
}
inline uint8_t AdaptationFieldControl(const uint8_t* packet) {
    return (packet[3] >> 4) & 0x3;
}
inline bool HasPayload(const uint8_t* packet) {
    return (AdaptationFieldControl(packet) & 0x1) != 0;
}
inline bool HasAdaptationField(const uint8_t* packet) {
    return (AdaptationFieldControl(packet) & 0x2) != 0;
}
inline uint8_t ContinuityCounter(const uint8_t* packet) {
    return packet[3] & 0x0F;
}
// Offset of the payload in the packet (kPacketBytes when the adaptation field fills it).
inline size_t PayloadOffset(const uint8_t* packet) {
    if (!HasAdaptationField(packet)) return 4;
    const size_t offset = 5 + size_t{packet[4]};
    return offset < kPacketBytes ? offset : kPacketBytes;
}

// CRC-32 of PSI sections: polynomial 0x04C11DB7, start value 0xFFFFFFFF, not reflected.
constexpr std::array<uint32_t, 256> MakeCrcTable() {
    std::array<uint32_t, 256> table{};
    for (uint32_t i = 0; i < 256; ++i) {
        uint32_t crc = i << 24;
        for (int bit = 0; bit < 8; ++bit)
            crc = (crc & 0x80000000u) ? (crc << 1) ^ 0x04C11DB7u : crc << 1;
        table[i] = crc;
    }
    return table;
}
inline constexpr std::array<uint32_t, 256> kCrcTable = MakeCrcTable();

constexpr uint32_t SectionCrc(const uint8_t* data, size_t length) {
    uint32_t crc = 0xFFFFFFFFu;
    for (size_t i = 0; i < length; ++i)
        crc = (crc << 8) ^ kCrcTable[((crc >> 24) ^ data[i]) & 0xFF];
    return crc;
}

// Payload of the generator's counting packets: an 8-byte big-endian sequence number per PID,
// then bytes that continue from it (byte i after the number is low byte of number + i), so that
// a lost, repeated, reordered or mixed packet shows.
constexpr size_t kSequenceBytes = 8;
inline uint8_t PatternByte(uint64_t sequence, size_t index) {
    return static_cast<uint8_t>(sequence + index);
}

}  // namespace sim::ts
