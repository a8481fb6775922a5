#include "sim/ts_generator.h"

#include <algorithm>
#include <cstring>

#include "sim/ts_packet.h"

namespace sim {
namespace {

// PCR runs at 27 MHz; an unlimited stream is stamped as if it ran at the DMB-T maximum.
constexpr uint64_t kPcrHz = 27'000'000;

void WriteHeader(uint8_t* out, uint16_t pid, bool unitStart, uint8_t adaptationControl,
                 uint64_t sequence) {
    out[0] = ts::kSyncByte;
    out[1] = static_cast<uint8_t>((unitStart ? 0x40 : 0) | ((pid >> 8) & 0x1F));
    out[2] = static_cast<uint8_t>(pid);
    out[3] = static_cast<uint8_t>((adaptationControl << 4) | (sequence & 0x0F));
}

// Writes a PSI section (after its pointer field) and its CRC; returns the bytes written.
size_t FinishSection(uint8_t* section, size_t bodyBytes) {
    // section_length counts from after the length field to the end of the CRC.
    const size_t sectionLength = bodyBytes - 3 + 4;
    section[1] = static_cast<uint8_t>(0xB0 | ((sectionLength >> 8) & 0x0F));
    section[2] = static_cast<uint8_t>(sectionLength);
    const uint32_t crc = ts::SectionCrc(section, bodyBytes);
    section[bodyBytes + 0] = static_cast<uint8_t>(crc >> 24);
    section[bodyBytes + 1] = static_cast<uint8_t>(crc >> 16);
    section[bodyBytes + 2] = static_cast<uint8_t>(crc >> 8);
    section[bodyBytes + 3] = static_cast<uint8_t>(crc);
    return bodyBytes + 4;
}

TsGeneratorOptions WithPayloadPid(TsGeneratorOptions options) {
    if (options.payloadPids == 0) options.payloadPids = 1;
    return options;
}

}  // namespace

TsGenerator::TsGenerator(TsGeneratorOptions options)
    : options_(WithPayloadPid(options)), pacer_(options.bitsPerSecond, options.realTime) {}

size_t TsGenerator::Read(uint8_t* out, size_t capacity) {
    std::lock_guard guard(lock_);
    size_t packets = pacer_.Allowance(capacity) / ts::kPacketBytes;
    if (options_.packetLimit != 0)
        packets = static_cast<size_t>(std::min<uint64_t>(packets, options_.packetLimit - next_));
    for (size_t i = 0; i < packets; ++i) BuildPacket(next_ + i, out + i * ts::kPacketBytes);
    next_ += packets;
    pacer_.Sent(packets * ts::kPacketBytes);
    return packets * ts::kPacketBytes;
}

uint64_t TsGenerator::PacketsProduced() const {
    std::lock_guard guard(lock_);
    return next_;
}

TsGenerator::Slot TsGenerator::SlotOf(uint64_t index) const {
    const uint64_t interval = index / kTableInterval;
    const uint64_t inInterval = index % kTableInterval;
    if (inInterval == 0) return {ts::kPatPid, interval, Slot::kPat};
    if (inInterval == 1) return {options_.pmtPid, interval, Slot::kPmt};
    // PCR packets at 2, 2 + kPcrInterval, ... of each interval.
    constexpr uint64_t kPcrPerInterval = (kTableInterval - 2 + kPcrInterval - 1) / kPcrInterval;
    const uint64_t afterTables = inInterval - 2;
    if (afterTables % kPcrInterval == 0) {
        return {options_.pcrPid, interval * kPcrPerInterval + afterTables / kPcrInterval,
                Slot::kPcr};
    }
    // The rest go round the payload PIDs.
    const uint64_t payloadPerInterval = kTableInterval - 2 - kPcrPerInterval;
    const uint64_t payloadIndex =
        interval * payloadPerInterval + afterTables - afterTables / kPcrInterval - 1;
    const uint16_t lane = static_cast<uint16_t>(payloadIndex % options_.payloadPids);
    return {static_cast<uint16_t>(options_.firstPayloadPid + lane),
            payloadIndex / options_.payloadPids, Slot::kPayload};
}

void TsGenerator::BuildPacket(uint64_t index, uint8_t* out) const {
    const Slot slot = SlotOf(index);
    switch (slot.kind) {
        case Slot::kPat:
            BuildPat(slot, out);
            break;
        case Slot::kPmt:
            BuildPmt(slot, out);
            break;
        case Slot::kPcr:
        case Slot::kPayload:
            BuildCounting(slot, index, out);
            break;
    }
}

void TsGenerator::BuildPat(const Slot& slot, uint8_t* out) const {
    WriteHeader(out, slot.pid, true, 0x1, slot.sequence);
    std::memset(out + 4, 0xFF, ts::kPacketBytes - 4);
    out[4] = 0;  // pointer field
    uint8_t* s = out + 5;
    s[0] = 0x00;  // program_association_section
    s[3] = 0x00;  // transport_stream_id
    s[4] = 0x01;
    s[5] = 0xC1;  // version 0, current
    s[6] = 0x00;  // section_number
    s[7] = 0x00;  // last_section_number
    s[8] = static_cast<uint8_t>(options_.programNumber >> 8);
    s[9] = static_cast<uint8_t>(options_.programNumber);
    s[10] = static_cast<uint8_t>(0xE0 | (options_.pmtPid >> 8));
    s[11] = static_cast<uint8_t>(options_.pmtPid);
    FinishSection(s, 12);
}

void TsGenerator::BuildPmt(const Slot& slot, uint8_t* out) const {
    WriteHeader(out, slot.pid, true, 0x1, slot.sequence);
    std::memset(out + 4, 0xFF, ts::kPacketBytes - 4);
    out[4] = 0;
    uint8_t* s = out + 5;
    s[0] = 0x02;  // TS_program_map_section
    s[3] = static_cast<uint8_t>(options_.programNumber >> 8);
    s[4] = static_cast<uint8_t>(options_.programNumber);
    s[5] = 0xC1;
    s[6] = 0x00;
    s[7] = 0x00;
    s[8] = static_cast<uint8_t>(0xE0 | (options_.pcrPid >> 8));
    s[9] = static_cast<uint8_t>(options_.pcrPid);
    s[10] = 0xF0;  // program_info_length 0
    s[11] = 0x00;
    size_t at = 12;
    for (uint16_t lane = 0; lane < options_.payloadPids && at + 5 + 4 <= ts::kPacketBytes - 5;
         ++lane) {
        const uint16_t pid = static_cast<uint16_t>(options_.firstPayloadPid + lane);
        s[at + 0] = 0x06;  // PES private data
        s[at + 1] = static_cast<uint8_t>(0xE0 | (pid >> 8));
        s[at + 2] = static_cast<uint8_t>(pid);
        s[at + 3] = 0xF0;  // ES_info_length 0
        s[at + 4] = 0x00;
        at += 5;
    }
    FinishSection(s, at);
}

void TsGenerator::BuildCounting(const Slot& slot, uint64_t index, uint8_t* out) const {
    size_t payload = 4;
    if (slot.kind == Slot::kPcr) {
        WriteHeader(out, slot.pid, false, 0x3, slot.sequence);
        const uint64_t rate =
            options_.bitsPerSecond != 0 ? options_.bitsPerSecond : kDmbtMaxBitsPerSecond;
        const auto ticks = static_cast<uint64_t>(static_cast<unsigned __int128>(index) *
                                                 ts::kPacketBytes * 8 * kPcrHz / rate);
        const uint64_t base = (ticks / 300) & ((uint64_t{1} << 33) - 1);
        const uint64_t extension = ticks % 300;
        out[4] = 7;     // adaptation_field_length
        out[5] = 0x10;  // PCR_flag
        out[6] = static_cast<uint8_t>(base >> 25);
        out[7] = static_cast<uint8_t>(base >> 17);
        out[8] = static_cast<uint8_t>(base >> 9);
        out[9] = static_cast<uint8_t>(base >> 1);
        out[10] = static_cast<uint8_t>(((base & 1) << 7) | 0x7E | ((extension >> 8) & 1));
        out[11] = static_cast<uint8_t>(extension);
        payload = 12;
    } else {
        WriteHeader(out, slot.pid, false, 0x1, slot.sequence);
    }
    for (size_t i = 0; i < ts::kSequenceBytes; ++i) {
        out[payload + i] =
            static_cast<uint8_t>(slot.sequence >> (8 * (ts::kSequenceBytes - 1 - i)));
    }
    for (size_t i = payload + ts::kSequenceBytes, n = 0; i < ts::kPacketBytes; ++i, ++n) {
        out[i] = ts::PatternByte(slot.sequence, n);
    }
}

}  // namespace sim
