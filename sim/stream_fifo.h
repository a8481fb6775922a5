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
#include <deque>
#include <vector>

#include "sim/components.h"

namespace sim {

class StreamFifo {
  public:
    static constexpr size_t kCapacity = 64 * 1024;

    explicit StreamFifo(size_t capacity = kCapacity);

    // A paced source: takes everything it has produced by `now` (host clock ticks) into the
    // arrivals, which came evenly since the previous collection, to be let in with AdmitUntil as
    // their time comes. The first collection of a timeline arrived all at once. An unpaced source
    // (data whenever asked): fills the FIFO up from it, `now` unused.
    void Collect(TransportStreamSource& source, int64_t now);
    // Collected bytes not yet let in.
    size_t Arrivals() const { return arrivals_.size() - arrivalsHead_; }
    // Lets in the arrivals that came by `moment`; what does not fit is lost.
    void AdmitUntil(int64_t moment);
    size_t Level() const { return level_; }
    // Takes up to `count` bytes out; returns how many.
    size_t Take(uint8_t* out, size_t count);
    // Takes up to `count` bytes out, the FIFO's first, then arrivals that came by `until` straight
    // through (a read was waiting for them: they never filled the FIFO); returns how many.
    size_t TakeThrough(uint8_t* out, size_t count, int64_t until);
    // Everything held and collected is gone (the bridge emptied its buffer), and a new timeline
    // begins with the next collection.
    void Clear();
    uint64_t OverflowBytes() const { return overflow_; }

  private:
    // The bytes of one collection, arrived evenly over [from, to].
    struct Batch {
        size_t bytes;
        size_t admitted;
        int64_t from;
        int64_t to;
    };

    void Put(const uint8_t* bytes, size_t count);
    // Arrival bytes that came by `moment` and are not yet let in or taken.
    size_t DueBy(int64_t moment) const;
    // The next `count` arrival bytes are let in or taken: the batches account for them.
    void Consume(size_t count);

    std::vector<uint8_t> ring_;
    size_t head_ = 0;
    size_t level_ = 0;
    std::vector<uint8_t> arrivals_;
    size_t arrivalsHead_ = 0;
    std::deque<Batch> batches_;
    bool timelineStarted_ = false;
    int64_t collectedAt_ = 0;
    uint64_t overflow_ = 0;
};

}  // namespace sim
