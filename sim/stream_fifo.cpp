#include "sim/stream_fifo.h"

#include <algorithm>
#include <cstring>

namespace sim {
namespace {
// One read of a source takes at most this much; a paced source hands out at most its backlog,
// but a collection stops here in any case (a source that wrongly says it is paced).
constexpr size_t kCollectChunk = 16 * 1024;
constexpr size_t kMaxCollect = 16 * 1024 * 1024;
}  // namespace

StreamFifo::StreamFifo(size_t capacity) : ring_(capacity) {}

void StreamFifo::Collect(TransportStreamSource& source, int64_t now) {
    if (!source.Paced()) {
        // Data whenever asked: the FIFO is full whenever the bus looks (up to whole packets).
        uint8_t chunk[kCollectChunk];
        while (level_ < ring_.size()) {
            const size_t got = source.Read(chunk, std::min(ring_.size() - level_, sizeof chunk));
            if (got == 0) break;
            Put(chunk, got);
        }
        return;
    }
    if (arrivalsHead_ == arrivals_.size()) {
        arrivals_.clear();
        arrivalsHead_ = 0;
    }
    size_t collected = 0;
    while (collected < kMaxCollect) {
        const size_t at = arrivals_.size();
        arrivals_.resize(at + kCollectChunk);
        const size_t got = source.Read(arrivals_.data() + at, kCollectChunk);
        arrivals_.resize(at + got);
        if (got == 0) break;
        collected += got;
    }
    // A collection that finds nothing new says that nothing came since the previous one: the
    // next batch is spread only over the time after it.
    const int64_t from = timelineStarted_ ? std::min(collectedAt_, now) : now;
    if (collected != 0) batches_.push_back({collected, 0, from, now});
    timelineStarted_ = true;
    collectedAt_ = std::max(collectedAt_, now);
}

size_t StreamFifo::DueBy(int64_t moment) const {
    size_t due = 0;
    for (const Batch& batch : batches_) {
        if (moment >= batch.to) {
            due += batch.bytes - batch.admitted;
            continue;
        }
        if (moment > batch.from) {
            const auto part = static_cast<size_t>(static_cast<long double>(batch.bytes) *
                                                  static_cast<long double>(moment - batch.from) /
                                                  static_cast<long double>(batch.to - batch.from));
            if (part > batch.admitted) due += part - batch.admitted;
        }
        break;
    }
    return due;
}

void StreamFifo::Consume(size_t count) {
    arrivalsHead_ += count;
    while (count != 0 && !batches_.empty()) {
        Batch& batch = batches_.front();
        const size_t part = std::min(count, batch.bytes - batch.admitted);
        batch.admitted += part;
        count -= part;
        if (batch.admitted == batch.bytes) batches_.pop_front();
    }
}

void StreamFifo::AdmitUntil(int64_t moment) {
    const size_t due = std::min(DueBy(moment), Arrivals());
    Put(arrivals_.data() + arrivalsHead_, due);
    Consume(due);
}

size_t StreamFifo::TakeThrough(uint8_t* out, size_t count, int64_t until) {
    const size_t taken = Take(out, count);
    const size_t direct = std::min({count - taken, DueBy(until), Arrivals()});
    if (direct != 0) std::memcpy(out + taken, arrivals_.data() + arrivalsHead_, direct);
    Consume(direct);
    return taken + direct;
}

void StreamFifo::Put(const uint8_t* bytes, size_t count) {
    const size_t fits = std::min(count, ring_.size() - level_);
    // At most two runs: up to the end of the ring, then from its start.
    const size_t at = (head_ + level_) % ring_.size();
    const size_t first = std::min(fits, ring_.size() - at);
    if (first != 0) std::memcpy(ring_.data() + at, bytes, first);
    if (fits > first) std::memcpy(ring_.data(), bytes + first, fits - first);
    level_ += fits;
    overflow_ += count - fits;
}

size_t StreamFifo::Take(uint8_t* out, size_t count) {
    count = std::min(count, level_);
    const size_t first = std::min(count, ring_.size() - head_);
    if (first != 0) std::memcpy(out, ring_.data() + head_, first);
    if (count > first) std::memcpy(out + first, ring_.data(), count - first);
    head_ = (head_ + count) % ring_.size();
    level_ -= count;
    return count;
}

void StreamFifo::Clear() {
    head_ = level_ = 0;
    arrivals_.clear();
    arrivalsHead_ = 0;
    batches_.clear();
    timelineStarted_ = false;
    collectedAt_ = 0;
}

}  // namespace sim
