#include "sim/pid_filtered_source.h"

#include <cstring>

namespace sim {

namespace {
constexpr size_t kPacketBytes = 188;
constexpr uint8_t kSyncByte = 0x47;

uint16_t PidOf(const uint8_t* packet) {
    return static_cast<uint16_t>(((packet[1] & 0x1F) << 8) | packet[2]);
}
}  // namespace

size_t PidFilteredSource::Read(uint8_t* out, size_t capacity) {
    const size_t count = inner_->Read(out, capacity);
    size_t kept = 0;
    size_t at = 0;
    for (; at + kPacketBytes <= count; at += kPacketBytes) {
        const uint8_t* packet = out + at;
        if (packet[0] == kSyncByte && !firmware_->Pids().Accept(PidOf(packet))) {
            ++dropped_;
            continue;
        }
        if (kept != at) std::memmove(out + kept, packet, kPacketBytes);
        kept += kPacketBytes;
    }
    // A trailing part of a packet passes as it is.
    if (at < count) {
        if (kept != at) std::memmove(out + kept, out + at, count - at);
        kept += count - at;
    }
    return kept;
}

}  // namespace sim
