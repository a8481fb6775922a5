#pragma once
// The application's end of the transport output pin for `watch`: frames are copied off the
// pin as they complete (so the pin never runs out of frames while the file is written), then
// written to the output file and checked for whole packets and unbroken continuity.
#include <chrono>
#include <cstdint>
#include <cstdio>
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
    // When the first frame arrived (any thread).
    std::optional<std::chrono::steady_clock::time_point> FirstFrameAt() const;
    // Writes and checks the frames received so far; false once a write has failed.
    bool Drain();

    uint64_t Frames() const { return frames_; }
    uint64_t Bytes() const { return bytes_; }
    // Bytes received so far, including those not yet drained (any thread).
    uint64_t BytesReceived() const;
    const sim::TsChecker& Checker() const { return *checker_; }
    const std::string& WriteError() const { return writeError_; }

  private:
    std::FILE* file_;
    sim::TsCheckerOptions checkerOptions_;
    std::optional<sim::TsChecker> checker_;
    mutable std::mutex lock_;
    std::vector<std::vector<uint8_t>> pending_;                          // guarded by lock_
    uint64_t received_ = 0;                                              // guarded by lock_
    std::optional<std::chrono::steady_clock::time_point> firstFrameAt_;  // guarded by lock_
    uint64_t frames_ = 0;
    uint64_t bytes_ = 0;
    std::string writeError_;
};

}  // namespace kvssim
