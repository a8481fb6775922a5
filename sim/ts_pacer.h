#pragma once
// Paces a stream source to a bit rate on the host clock (the wall clock in real-time mode, the
// virtual clock in tests). Without a rate (or unpaced) everything asked for is allowed.
#include <cstddef>
#include <cstdint>

namespace sim {

class TsPacer {
  public:
    TsPacer(uint64_t bitsPerSecond, bool paced);
    // How many of `wanted` bytes may go out now; the caller reports what it sent with Sent.
    size_t Allowance(size_t wanted);
    void Sent(size_t bytes) { sent_ += bytes; }
    // Whether the source produces at its rate (false: it has data whenever it is read).
    bool Paced() const { return paced_; }

  private:
    uint64_t bitsPerSecond_;
    bool paced_;
    long long start_;  // host clock ticks when the source began
    uint64_t sent_ = 0;
};

}  // namespace sim
