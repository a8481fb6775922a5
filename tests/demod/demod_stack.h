#pragma once
// A running simulated stick on the host system with the driver started: the bridge firmware with
// its I2C bus, the simulated tuner at 0xC6 and a demodulator of the test's choosing at 0x32 and
// 0x36. Virtual clock: every delay is recorded, none is slept.
#include <memory>
#include <vector>

#include "sim/bridge_firmware.h"
#include "sim/i2c_bus.h"
#include "sim/stick.h"
#include "sim/tuner_chip.h"
#include "support/host_system.h"

namespace demod_test {

class DemodStack {
  public:
    explicit DemodStack(sim::I2cDevice& demod);
    ~DemodStack();

    PKSDEVICE Device();
    // Frames the bridge received (bulk OUT 0x01) since the last ClearFrames.
    std::vector<std::vector<uint8_t>> Frames() const { return firmware_->Frames(); }
    void ClearFrames() { firmware_->ClearFrames(); }
    // Sleeps requested since the last ClearDelays, in milliseconds.
    std::vector<long long> Delays() const;
    void ClearDelays();
    // Called while the bridge handles a frame: that frame's reply comes back empty, which the
    // channel reports as a failed access.
    void FailNextReply();

    sim::TunerChip tuner;
    sim::I2cBus bus;

  private:
    class ReplyFilter;
    std::shared_ptr<ReplyFilter> filter_;
    std::shared_ptr<sim::BridgeFirmware> firmware_;
    std::shared_ptr<sim::Stick> stick_;
    std::unique_ptr<kvstest::HostSystem> system_;
};

}  // namespace demod_test
