#pragma once
// The bridge's PID filter at work on the stream: what the stick sends passes its PID filter
// first. Packets whose PID the filter does not pass are dropped before they reach the stream
// pipe; a read that finds only such packets sends nothing. The filter looks at whole 188-byte
// packets that start with the sync byte; bytes that do not line up as such packets pass as they
// are (the filter cannot tell their PID).
#include <cstddef>
#include <cstdint>
#include <memory>

#include "sim/bridge_firmware.h"
#include "sim/components.h"

namespace sim {

class PidFilteredSource : public TransportStreamSource {
  public:
    // The filter is the one `firmware` keeps loaded.
    PidFilteredSource(std::shared_ptr<TransportStreamSource> inner,
                      std::shared_ptr<const BridgeFirmware> firmware)
        : inner_(std::move(inner)), firmware_(std::move(firmware)) {}

    size_t Read(uint8_t* out, size_t capacity) override;
    // The bridge's stream buffer starts afresh below the filter too.
    void Restart() override { inner_->Restart(); }
    bool Paced() const override { return inner_->Paced(); }

    // Packets dropped so far.
    uint64_t Dropped() const { return dropped_; }

  private:
    std::shared_ptr<TransportStreamSource> inner_;
    std::shared_ptr<const BridgeFirmware> firmware_;
    uint64_t dropped_ = 0;  // only the stick's stream path reads, one read at a time
};

}  // namespace sim
