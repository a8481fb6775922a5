#pragma once
// Paces a stream source to a bit rate on the wall clock, for the real-time mode of the
// simulated stick. Without a rate (or outside real-time mode) everything asked for is allowed.
#include <chrono>
#include <cstddef>
#include <cstdint>

namespace sim {

class TsPacer {
  public:
    TsPacer(uint64_t bitsPerSecond, bool realTime);
    // How many of `wanted` bytes may go out now; the caller reports what it sent with Sent.
    size_t Allowance(size_t wanted);
    void Sent(size_t bytes) { sent_ += bytes; }

  private:
    using Clock = std::chrono::steady_clock;
    uint64_t bitsPerSecond_;
    bool paced_;
    Clock::time_point start_;
    uint64_t sent_ = 0;
};

}  // namespace sim
