#pragma once
// Lets the CLI hold the air's stream back: while closed, the stick has nothing to send and its
// stream reads wait, so everything already sent can be accounted for before the stream stops.
// It can also cap what one read of the source takes: an isochronous stick carries one transport
// packet per USB packet, so that one read of 512 packets fills at most one 96,256-byte frame.
#include <atomic>
#include <memory>

#include "sim/components.h"

namespace kvssim {

class StreamGate : public sim::TransportStreamSource {
  public:
    explicit StreamGate(std::shared_ptr<sim::TransportStreamSource> inner)
        : inner_(std::move(inner)) {}

    size_t Read(uint8_t* out, size_t capacity) override {
        if (!open_.load(std::memory_order_acquire)) return 0;
        const size_t limit = readLimit_.load(std::memory_order_acquire);
        return inner_->Read(out, limit != 0 && limit < capacity ? limit : capacity);
    }
    void Restart() override { inner_->Restart(); }
    bool Paced() const override { return inner_->Paced(); }
    // 0: no cap.
    void LimitEachRead(size_t bytes) { readLimit_.store(bytes, std::memory_order_release); }
    void Close() { open_.store(false, std::memory_order_release); }
    void Open() { open_.store(true, std::memory_order_release); }

  private:
    std::shared_ptr<sim::TransportStreamSource> inner_;
    std::atomic<bool> open_{true};
    std::atomic<size_t> readLimit_{0};
};

}  // namespace kvssim
