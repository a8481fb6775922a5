#pragma once
// Checks the transport stream that reached the application, frame by frame and in order: sync
// bytes in place, continuity counters unbroken per PID, and, for the generator's counting
// packets, sequence numbers without gaps and payload bytes as built.
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace sim {

struct TsCheckerOptions {
    // Frames must hold whole packets, each frame starting with one. Otherwise frames are one
    // byte stream, as the stick sends it: packets cross frame boundaries and the stream may
    // begin inside a packet.
    bool wholePacketFrames = true;
    // Verify the generator's sequence numbers and payload bytes on PIDs other than these.
    bool checkCounting = true;
    std::vector<uint16_t> tablePids = {0x0000, 0x0100};
};

struct TsCheckReport {
    uint64_t frames = 0;
    uint64_t bytes = 0;
    uint64_t packets = 0;
    uint64_t partialFrames = 0;     // frames that do not hold whole packets
    uint64_t syncErrors = 0;        // packets without 0x47 in place
    uint64_t continuityErrors = 0;  // counter breaks per PID
    uint64_t sequenceErrors = 0;    // counting packets missing, repeated or out of order
    uint64_t payloadErrors = 0;     // counting packets whose bytes differ from what was built
    uint64_t skippedBytes = 0;      // stream mode: bytes outside packets (before sync was found)
    uint64_t Errors() const {
        return partialFrames + syncErrors + continuityErrors + sequenceErrors + payloadErrors;
    }
};

class TsChecker {
  public:
    explicit TsChecker(TsCheckerOptions options = {});

    void AddFrame(const uint8_t* data, size_t bytes);
    const TsCheckReport& Report() const { return report_; }
    bool Clean() const { return report_.Errors() == 0; }
    // The report and the first few errors in words, for test failure messages and the CLI.
    std::string Describe() const;
    // Packets seen on a PID.
    uint64_t PacketsOn(uint16_t pid) const;

  private:
    struct PidState {
        bool seen = false;
        uint8_t continuity = 0;
        bool sequenceKnown = false;
        uint64_t nextSequence = 0;
        uint64_t packets = 0;
    };
    void CheckPacket(const uint8_t* packet);
    void CheckCounting(PidState& state, const uint8_t* packet);
    void Note(const std::string& what);

    const TsCheckerOptions options_;
    TsCheckReport report_;
    std::vector<PidState> pids_;
    std::vector<uint8_t> pending_;  // stream mode: bytes not yet part of a checked packet
    bool inSync_ = false;
    std::vector<std::string> notes_;
};

}  // namespace sim
