#include "sim/ts_checker.h"

#include <algorithm>
#include <cstdio>

#include "sim/ts_packet.h"

namespace sim {
namespace {
constexpr size_t kMaxNotes = 8;
constexpr size_t kPidCount = 0x2000;
}  // namespace

TsChecker::TsChecker(TsCheckerOptions options) : options_(std::move(options)), pids_(kPidCount) {}

void TsChecker::AddFrame(const uint8_t* data, size_t bytes) {
    ++report_.frames;
    report_.bytes += bytes;
    if (options_.wholePacketFrames) {
        if (bytes % ts::kPacketBytes != 0) {
            ++report_.partialFrames;
            Note("frame " + std::to_string(report_.frames) + " holds " + std::to_string(bytes) +
                 " bytes");
        }
        for (size_t at = 0; at + ts::kPacketBytes <= bytes; at += ts::kPacketBytes)
            CheckPacket(data + at);
        return;
    }
    // Stream mode: complete a packet cut by the previous frame, then whole packets, then keep the
    // remainder for the next frame.
    size_t at = 0;
    if (!carry_.empty()) {
        const size_t need = std::min(ts::kPacketBytes - carry_.size(), bytes);
        carry_.insert(carry_.end(), data, data + need);
        at = need;
        if (carry_.size() < ts::kPacketBytes) return;
        CheckPacket(carry_.data());
        carry_.clear();
    }
    for (; at + ts::kPacketBytes <= bytes; at += ts::kPacketBytes) CheckPacket(data + at);
    carry_.assign(data + at, data + bytes);
}

void TsChecker::CheckPacket(const uint8_t* packet) {
    ++report_.packets;
    if (packet[0] != ts::kSyncByte) {
        ++report_.syncErrors;
        Note("packet " + std::to_string(report_.packets) + " has no sync byte");
        return;
    }
    const uint16_t pid = ts::Pid(packet);
    if (pid == ts::kNullPid) return;
    PidState& state = pids_[pid];
    ++state.packets;
    const uint8_t counter = ts::ContinuityCounter(packet);
    const bool payload = ts::HasPayload(packet);
    if (state.seen) {
        // The counter steps with every packet that carries payload and stays otherwise.
        const uint8_t expected =
            payload ? static_cast<uint8_t>((state.continuity + 1) & 0x0F) : state.continuity;
        if (counter != expected) {
            ++report_.continuityErrors;
            char text[96];
            std::snprintf(text, sizeof text, "PID 0x%04X: continuity %u after %u", pid, counter,
                          state.continuity);
            Note(text);
        }
    }
    state.seen = true;
    state.continuity = counter;
    if (options_.checkCounting && payload &&
        std::find(options_.tablePids.begin(), options_.tablePids.end(), pid) ==
            options_.tablePids.end()) {
        CheckCounting(state, packet);
    }
}

void TsChecker::CheckCounting(PidState& state, const uint8_t* packet) {
    const size_t payload = ts::PayloadOffset(packet);
    if (payload + ts::kSequenceBytes > ts::kPacketBytes) return;
    uint64_t sequence = 0;
    for (size_t i = 0; i < ts::kSequenceBytes; ++i)
        sequence = (sequence << 8) | packet[payload + i];
    const uint16_t pid = ts::Pid(packet);
    if (state.sequenceKnown && sequence != state.nextSequence) {
        ++report_.sequenceErrors;
        Note("PID " + std::to_string(pid) + ": packet " + std::to_string(sequence) + " where " +
             std::to_string(state.nextSequence) + " was due");
    }
    state.sequenceKnown = true;
    state.nextSequence = sequence + 1;
    for (size_t i = payload + ts::kSequenceBytes, n = 0; i < ts::kPacketBytes; ++i, ++n) {
        if (packet[i] != ts::PatternByte(sequence, n)) {
            ++report_.payloadErrors;
            Note("PID " + std::to_string(pid) + ": packet " + std::to_string(sequence) +
                 " damaged at byte " + std::to_string(i));
            break;
        }
    }
}

void TsChecker::Note(const std::string& what) {
    if (notes_.size() < kMaxNotes) notes_.push_back(what);
}

uint64_t TsChecker::PacketsOn(uint16_t pid) const {
    return pid < kPidCount ? pids_[pid].packets : 0;
}

std::string TsChecker::Describe() const {
    std::string text =
        std::to_string(report_.frames) + " frames, " + std::to_string(report_.bytes) + " bytes, " +
        std::to_string(report_.packets) +
        " packets; errors: " + std::to_string(report_.partialFrames) + " partial frames, " +
        std::to_string(report_.syncErrors) + " sync, " + std::to_string(report_.continuityErrors) +
        " continuity, " + std::to_string(report_.sequenceErrors) + " sequence, " +
        std::to_string(report_.payloadErrors) + " payload";
    for (const std::string& note : notes_) text += "\n  " + note;
    return text;
}

}  // namespace sim
