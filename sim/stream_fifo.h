#pragma once
// The bridge's stream FIFO: the demodulator's transport stream goes in at the transmitter's rate,
// the stream endpoint's packets come out of it when the bus takes them. What arrives while it is
// full is lost, and counted.
//
// Size: the documents say nothing of it. USB 2.0 transport-stream bridges of this kind buffer the
// stream in tens of kilobytes of RAM ahead of their endpoint FIFOs; 64 KiB holds 16 ms of the
// DMB-T maximum (32.5 Mbit/s) and 64 ms of 8 Mbit/s. (4 KiB, the endpoint RAM alone, would be
// 1 ms at 32.5 Mbit/s: less than the real-time emulation's own answer delays.)
#include <cstddef>
#include <cstdint>
#include <vector>

#include "sim/components.h"

namespace sim {

class StreamFifo {
  public:
    static constexpr size_t kCapacity = 64 * 1024;

    explicit StreamFifo(size_t capacity = kCapacity);

    // A paced source: takes everything it has produced by now into the arrivals, to be let in
    // with Admit as the time they arrived comes. An unpaced source (data whenever asked): fills
    // the FIFO up from it.
    void Collect(TransportStreamSource& source);
    // Collected bytes not yet let in.
    size_t Arrivals() const { return arrivals_.size() - arrivalsHead_; }
    // Lets the next `count` collected bytes in; what does not fit is lost.
    void Admit(size_t count);
    size_t Level() const { return level_; }
    // Takes up to `count` bytes out; returns how many.
    size_t Take(uint8_t* out, size_t count);
    // Everything held and collected is gone (the bridge emptied its buffer).
    void Clear();
    uint64_t OverflowBytes() const { return overflow_; }

  private:
    void Put(const uint8_t* bytes, size_t count);

    std::vector<uint8_t> ring_;
    size_t head_ = 0;
    size_t level_ = 0;
    std::vector<uint8_t> arrivals_;
    size_t arrivalsHead_ = 0;
    uint64_t overflow_ = 0;
};

}  // namespace sim
