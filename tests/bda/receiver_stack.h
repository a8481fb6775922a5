#pragma once
// A started receiver on the simulated air: the stick with its bridge firmware, the tuner, the
// demodulator and the message device on its I2C bus, a remote control, the driver added and started
// on a virtual clock, and a BDA application on the filter. The bridge's frames are recorded, and
// the stick can be held at a chosen frame (to catch what another thread does meanwhile).
#include <condition_variable>
#include <functional>
#include <memory>
#include <mutex>
#include <vector>

#include "platform/host/bda_receiver_application.h"
#include "sim/air.h"
#include "sim/bridge_firmware.h"
#include "sim/demod_chip.h"
#include "sim/i2c_bus.h"
#include "sim/message_device.h"
#include "sim/remote_control.h"
#include "sim/stick.h"
#include "sim/tuner_chip.h"
#include "support/host_system.h"

namespace bda_test {

using Bytes = std::vector<uint8_t>;

// Passes the bridge's frames through, and holds the stick (all of it: frames are handled under
// the stick's lock) at the first frame `holdAt` matches until Release.
class FrameGate : public sim::CommandProcessor {
  public:
    explicit FrameGate(std::shared_ptr<sim::BridgeFirmware> inner) : inner_(std::move(inner)) {}
    void OnCommandFrame(const uint8_t* frame, size_t length) override;
    long TakeReply(uint8_t* out, size_t capacity) override {
        return inner_->TakeReply(out, capacity);
    }

    void HoldAt(std::function<bool(const Bytes&)> match);
    // Waits (real time) until a frame is held.
    bool WaitHeld();
    void Release();

  private:
    std::shared_ptr<sim::BridgeFirmware> inner_;
    std::mutex lock_;
    std::condition_variable changed_;
    std::function<bool(const Bytes&)> holdAt_;
    bool held_ = false;
};

struct StackOptions {
    sim::Air air = sim::Air::Default();
    sim::StreamTransfer transfer = sim::StreamTransfer::Isochronous;
    // The air's stream on the stick's stream pipe, through the bridge's PID filter.
    bool airStream = false;
};

class ReceiverStack {
  public:
    explicit ReceiverStack(StackOptions options = {});
    ~ReceiverStack();

    PKSDEVICE Device();
    kvstest::HostedDevice* Hosted() { return system_->Current(); }
    kvstest::HostSystem& System() { return *system_; }

    // Frames the bridge received since the last ClearFrames.
    std::vector<Bytes> Frames() const { return firmware_->Frames(); }
    void ClearFrames() { firmware_->ClearFrames(); }
    // I2C traffic to the chips, as frames of the bridge's I2C gateway, since the last ClearFrames.
    size_t ChipFrames() const;

    FrameGate& Gate() { return *gate_; }
    sim::Stick& Stick() { return *stick_; }
    sim::BridgeFirmware& Firmware() { return *firmware_; }
    sim::I2cBus& I2c() { return i2c_; }
    sim::RemoteControl& Remote() { return *remote_; }

    sim::Air air;
    sim::TunerChip tuner;
    std::unique_ptr<sim::DemodChip> demod;
    sim::MessageDevice messages;

  private:
    sim::I2cBus i2c_;
    std::shared_ptr<sim::BridgeFirmware> firmware_;
    std::shared_ptr<FrameGate> gate_;
    std::shared_ptr<sim::TransportStreamSource> source_;
    std::shared_ptr<sim::Stick> stick_;
    std::unique_ptr<sim::RemoteControl> remote_;
    std::unique_ptr<kvstest::HostSystem> system_;
};

// The tuner's frequency in kHz, rounded (0 while asleep).
ULONG TunerKHz(const sim::TunerChip& tuner);
// Frames of one command code.
std::vector<Bytes> FramesOf(const std::vector<Bytes>& frames, uint8_t code);

}  // namespace bda_test
