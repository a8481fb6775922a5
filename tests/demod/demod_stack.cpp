#include "demod_stack.h"

#include "bridge/bridge_channel.h"

namespace demod_test {

// Passes frames and replies between the stick and the bridge firmware, emptying the reply of a
// frame during which a failure was asked for.
class DemodStack::ReplyFilter : public sim::CommandProcessor {
  public:
    explicit ReplyFilter(std::shared_ptr<sim::BridgeFirmware> inner) : inner_(std::move(inner)) {}
    void OnCommandFrame(const uint8_t* frame, size_t length) override {
        failCurrent_ = false;
        inner_->OnCommandFrame(frame, length);
        if (failCurrent_) emptyNext_ = true;
    }
    long TakeReply(uint8_t* out, size_t capacity) override {
        const long taken = inner_->TakeReply(out, capacity);
        if (taken < 0 || !emptyNext_) return taken;
        emptyNext_ = false;
        return 0;
    }
    void FailCurrent() { failCurrent_ = true; }

  private:
    std::shared_ptr<sim::BridgeFirmware> inner_;
    bool failCurrent_ = false;  // frames are handled one at a time under the stick's lock
    bool emptyNext_ = false;
};

DemodStack::DemodStack(sim::I2cDevice& demod) {
    bus.Attach(0x32, &demod);
    bus.Attach(0x36, &demod);
    bus.Attach(sim::TunerChip::kAddress, &tuner);
    firmware_ = std::make_shared<sim::BridgeFirmware>(bus, true);
    sim::StickOptions options;
    options.state = sim::StickState::Running;
    stick_ = std::make_shared<sim::Stick>(options);
    filter_ = std::make_shared<ReplyFilter>(firmware_);
    stick_->SetCommandProcessor(filter_);
    system_ = std::make_unique<kvstest::HostSystem>(host::ClockMode::Virtual);
    system_->Plug(stick_);
    ClearFrames();
    ClearDelays();
}

DemodStack::~DemodStack() {
    system_.reset();
}

PKSDEVICE DemodStack::Device() {
    kvstest::HostedDevice* device = system_->Current();
    return device != nullptr ? device->Device() : nullptr;
}

std::vector<long long> DemodStack::Delays() const {
    const auto delays = host::RecordedDelayMilliseconds(host::DelayKind::Sleep);
    return {delays.begin(), delays.end()};
}

void DemodStack::FailNextReply() {
    filter_->FailCurrent();
}

void DemodStack::ClearDelays() {
    host::ClearRecordedDelays();
}

}  // namespace demod_test
