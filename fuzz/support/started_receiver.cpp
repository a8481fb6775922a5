#include "support/started_receiver.h"

#include "driver/driver_entry.h"
#include "platform/host/clock.h"
#include "platform/host/ks_services.h"

namespace fuzz {

namespace {
constexpr uint8_t kDemodLowAddress = 0x32;
constexpr uint8_t kDemodHighAddress = 0x36;
constexpr unsigned kBusWorkers = 2;
}  // namespace

StartedReceiver::StartedReceiver() {
    demod_ = std::make_unique<sim::DemodChip>(air_, [this] { return tuner_.TunedFrequencyHz(); });
    i2c_.Attach(kDemodLowAddress, demod_.get());
    i2c_.Attach(kDemodHighAddress, demod_.get());
    i2c_.Attach(sim::TunerChip::kAddress, &tuner_);
    i2c_.Attach(sim::MessageDevice::kWriteAddress, &messages_);
    i2c_.Attach(sim::MessageDevice::kReadAddress, &messages_);
    firmware_ = std::make_shared<sim::BridgeFirmware>(i2c_, true);
    sim::StickOptions options;
    options.state = sim::StickState::Running;
    stick_ = std::make_shared<sim::Stick>(options);
    stick_->SetCommandProcessor(firmware_);
    remote_ = std::make_unique<sim::RemoteControl>(stick_);
    host::SetClockMode(host::ClockMode::Virtual);
    host::LoadDriver(DriverEntry);
    bus_ = std::make_unique<host::UsbBus>(kBusWorkers);
    host::SetProgressProbe([bus = bus_.get()] { return bus->WorkInProgress(); });
    bus_->SetArrivalCallback([this](PDEVICE_OBJECT pdo) {
        ks_ = std::make_unique<host::KsDeviceHost>(pdo);
        if (ks_->Add() == STATUS_SUCCESS) started_ = ks_->Start() == STATUS_SUCCESS;
    });
    stick_->PlugInto(*bus_);
    bus_->WaitUntilQuiet();
}

StartedReceiver::~StartedReceiver() {
    if (ks_ != nullptr) {
        ks_->Stop();
        ks_->Remove();
    }
    stick_->Unplug();
    bus_->WaitUntilQuiet();
    bus_->Shutdown();
    host::ClearProgressProbe();
    ks_.reset();
    bus_.reset();
    host::UnloadDriver();
}

}  // namespace fuzz
