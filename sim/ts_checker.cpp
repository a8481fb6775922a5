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
    // Stream mode: the frames are one byte stream that may start anywhere in a packet (the
    // driver drops the first reads of every start), so packets are found as a demultiplexer
    // finds them: a sync byte that recurs one and two packets on. A packet whose sync byte is
    // out of place loses the sync, which is then searched for again from the next byte.
    pending_.insert(pending_.end(), data, data + bytes);
    const uint8_t* stream = pending_.data();
    const size_t held = pending_.size();
    size_t at = 0;
    for (;;) {
        if (!inSync_) {
            constexpr size_t kConfirm = 2 * ts::kPacketBytes;
            while (at + kConfirm < held && !(stream[at] == ts::kSyncByte &&
                                             stream[at + ts::kPacketBytes] == ts::kSyncByte &&
                                             stream[at + kConfirm] == ts::kSyncByte)) {
                ++at;
                ++report_.skippedBytes;
            }
            if (at + kConfirm >= held) break;
            inSync_ = true;
        }
        if (at + ts::kPacketBytes > held) break;
        if (stream[at] != ts::kSyncByte) {
            ++report_.syncErrors;
            Note("sync lost " + std::to_string(report_.bytes - held + at) +
                 " bytes into the stream");
            inSync_ = false;
            continue;
        }
        CheckPacket(stream + at);
        at += ts::kPacketBytes;
    }
    pending_.erase(pending_.begin(), pending_.begin() + static_cast<std::ptrdiff_t>(at));
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
    if (report_.skippedBytes != 0)
        text += "; " + std::to_string(report_.skippedBytes) + " bytes before a packet start";
    for (const std::string& note : notes_) text += "\n  " + note;
    return text;
}

}  // namespace sim
