#include "receiver_stack.h"

#include <chrono>

#include "sim/air_signal.h"
#include "sim/pid_filtered_source.h"

namespace bda_test {

namespace {
constexpr uint8_t kDemodLowAddress = 0x32;
constexpr uint8_t kDemodHighAddress = 0x36;
// Frames of the bridge's I2C gateway: block write, register write, read.
constexpr uint8_t kI2cFrameCodes[] = {0x04, 0x05, 0x84};
}  // namespace

void FrameGate::OnCommandFrame(const uint8_t* frame, size_t length) {
    {
        std::unique_lock guard(lock_);
        if (holdAt_ && holdAt_(Bytes(frame, frame + length))) {
            holdAt_ = nullptr;
            held_ = true;
            changed_.notify_all();
            changed_.wait(guard, [this] { return !held_; });
        }
    }
    inner_->OnCommandFrame(frame, length);
}

void FrameGate::HoldAt(std::function<bool(const Bytes&)> match) {
    std::lock_guard guard(lock_);
    holdAt_ = std::move(match);
}

bool FrameGate::WaitHeld() {
    std::unique_lock guard(lock_);
    return changed_.wait_for(guard, std::chrono::seconds(10), [this] { return held_; });
}

void FrameGate::Release() {
    std::lock_guard guard(lock_);
    held_ = false;
    holdAt_ = nullptr;
    changed_.notify_all();
}

ReceiverStack::ReceiverStack(StackOptions options) : air(std::move(options.air)) {
    demod = std::make_unique<sim::DemodChip>(air, [this] { return tuner.TunedFrequencyHz(); });
    i2c_.Attach(kDemodLowAddress, demod.get());
    i2c_.Attach(kDemodHighAddress, demod.get());
    i2c_.Attach(sim::TunerChip::kAddress, &tuner);
    i2c_.Attach(sim::MessageDevice::kWriteAddress, &messages);
    i2c_.Attach(sim::MessageDevice::kReadAddress, &messages);
    firmware_ = std::make_shared<sim::BridgeFirmware>(i2c_, true);
    gate_ = std::make_shared<FrameGate>(firmware_);
    sim::StickOptions stickOptions;
    stickOptions.state = sim::StickState::Running;
    stickOptions.streamTransfer = options.transfer;
    stick_ = std::make_shared<sim::Stick>(stickOptions);
    stick_->SetCommandProcessor(gate_);
    remote_ = std::make_unique<sim::RemoteControl>(stick_);
    if (options.airStream) {
        sim::TsGeneratorOptions stream;
        stream.realTime = false;
        source_ = std::make_shared<sim::PidFilteredSource>(
            std::make_shared<sim::AirStreamSource>(*demod, stream), firmware_);
        stick_->SetStreamSource(source_);
    }
    system_ = std::make_unique<kvstest::HostSystem>(host::ClockMode::Virtual);
    system_->Plug(stick_);
    ClearFrames();
}

ReceiverStack::~ReceiverStack() {
    gate_->Release();
    system_.reset();
}

PKSDEVICE ReceiverStack::Device() {
    kvstest::HostedDevice* device = system_->Current();
    return device != nullptr ? device->Device() : nullptr;
}

size_t ReceiverStack::ChipFrames() const {
    size_t count = 0;
    for (const Bytes& frame : Frames()) {
        for (uint8_t code : kI2cFrameCodes) count += !frame.empty() && frame[0] == code ? 1 : 0;
    }
    return count;
}

ULONG TunerKHz(const sim::TunerChip& tuner) {
    return static_cast<ULONG>((tuner.TunedFrequencyHz() + 500) / 1000);
}

std::vector<Bytes> FramesOf(const std::vector<Bytes>& frames, uint8_t code) {
    std::vector<Bytes> result;
    for (const Bytes& frame : frames)
        if (!frame.empty() && frame[0] == code) result.push_back(frame);
    return result;
}

}  // namespace bda_test
