#pragma once
// Lets the CLI hold the air's stream back: while closed, the stick has nothing to send and its
// stream reads wait, so everything already sent can be accounted for before the stream stops.
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
        return inner_->Read(out, capacity);
    }
    void Restart() override { inner_->Restart(); }
    bool Paced() const override { return inner_->Paced(); }
    void Close() { open_.store(false, std::memory_order_release); }
    void Open() { open_.store(true, std::memory_order_release); }

  private:
    std::shared_ptr<sim::TransportStreamSource> inner_;
    std::atomic<bool> open_{true};
};

}  // namespace kvssim
