#pragma once
// The application's end of the transport output pin for `watch`: frames are copied off the
// pin as they complete (so the pin never runs out of frames while the file is written), then
// written to the output file and checked for whole packets and unbroken continuity.
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "platform/host/output_pin.h"
#include "sim/ts_checker.h"

namespace kvssim {

class FrameRecorder {
  public:
    FrameRecorder(std::FILE* file, sim::TsCheckerOptions checkerOptions);

    // Makes `pin` hand its completed frames to this recorder.
    void Connect(host::OutputPin& pin);
    // The PIDs whose packets the checker takes as tables (not counted); before the first Drain.
    void ExpectTablePids(std::vector<uint16_t> pids);
    // When the first frame of the current segment arrived (any thread).
    std::optional<std::chrono::steady_clock::time_point> FirstFrameAt() const;
    // Writes and checks the frames received so far; false once a write has failed.
    bool Drain();
    // Starts a new segment after a channel change, on a settled stream: the frames received so
    // far are drained, their check is kept in the totals, and the new channel's stream (other
    // PIDs, counters that start anew) is checked from its first packet with `tablePids`.
    void BeginSegment(std::vector<uint16_t> tablePids);

    uint64_t Frames() const { return frames_; }
    uint64_t Bytes() const { return bytes_; }
    // Frames of the current segment.
    uint64_t SegmentFrames() const { return frames_ - segmentStartFrames_; }
    // Bytes received so far, including those not yet drained (any thread).
    uint64_t BytesReceived() const;
    // The check of every segment so far, and its findings in words.
    sim::TsCheckReport Report() const;
    std::string Describe() const;
    // Packets seen on a PID in every segment so far.
    uint64_t PacketsOn(uint16_t pid) const;
    const std::string& WriteError() const { return writeError_; }

  private:
    std::FILE* file_;
    sim::TsCheckerOptions checkerOptions_;
    std::optional<sim::TsChecker> checker_;  // the current segment's
    sim::TsCheckReport earlier_;             // the segments before it
    std::string earlierFindings_;
    std::map<uint16_t, uint64_t> earlierPackets_;
    uint64_t segmentStartFrames_ = 0;
    mutable std::mutex lock_;
    std::vector<std::vector<uint8_t>> pending_;                          // guarded by lock_
    uint64_t received_ = 0;                                              // guarded by lock_
    std::optional<std::chrono::steady_clock::time_point> firstFrameAt_;  // guarded by lock_
    uint64_t frames_ = 0;
    uint64_t bytes_ = 0;
    std::string writeError_;
};

}  // namespace kvssim
