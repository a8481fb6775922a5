#include "support/started_receiver.h"

#include <cstdlib>

#include "bridge/signal_status.h"
#include "driver/driver_entry.h"
#include "driver/private_property_handlers.h"
#include "platform/host/clock.h"
#include "platform/host/ks_services.h"

namespace fuzz {

namespace {
constexpr uint8_t kDemodLowAddress = 0x32;
constexpr uint8_t kDemodHighAddress = 0x36;
constexpr unsigned kBusWorkers = 2;

bool SamePool(const std::map<ULONG, host::PoolUsage>& a,
              const std::map<ULONG, host::PoolUsage>& b) {
    if (a.size() != b.size()) return false;
    for (auto i = a.begin(), j = b.begin(); i != a.end(); ++i, ++j)
        if (i->first != j->first || i->second.blocks != j->second.blocks ||
            i->second.bytes != j->second.bytes)
            return false;
    return true;
}

// The values the driver stores for tuning and keeps between requests.
void CopyTuning(const DeviceContext& from, DeviceContext* to) {
    to->frequency = from.frequency;
    to->frequencyMultiplier = from.frequencyMultiplier;
    to->bandwidth = from.bandwidth;
    to->symbolRate = from.symbolRate;
    to->privateSetting8 = from.privateSetting8;
    to->privateSetting6 = from.privateSetting6;
    to->privateSetting5 = from.privateSetting5;
    to->privateSetting7 = from.privateSetting7;
    to->offsetFrequency = from.offsetFrequency;
    to->tuningExtra1 = from.tuningExtra1;
    to->tuningExtra2 = from.tuningExtra2;
    to->modulationType = from.modulationType;
    to->innerFecRate = from.innerFecRate;
    to->outerFecRate = from.outerFecRate;
    to->guardInterval = from.guardInterval;
    to->transmissionMode = from.transmissionMode;
    to->spectralInversion = from.spectralInversion;
    to->tuneLocked = from.tuneLocked;
    to->changesPending = from.changesPending;
}
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
    // The stick answers a transfer on an idle pipe inside the submitting call when it has the
    // answer at hand, as a lower filter driver may: a tune's hundreds of bridge round trips then
    // cost no hand-off between threads at all.
    bus_->SetInlineCompletion(true);
    host::SetProgressProbe([bus = bus_.get()] { return bus->WorkInProgress(); });
    // A thread that waits for the bus serves what is ready itself: a tune's synchronous requests
    // then go through without a hand-off to a worker and back for each of them.
    host::SetWaiterService([bus = bus_.get()] { return bus->ServeOneHere(); });
    bus_->SetArrivalCallback([this](PDEVICE_OBJECT pdo) {
        ks_ = std::make_unique<host::KsDeviceHost>(pdo);
        if (ks_->Add() == STATUS_SUCCESS) started_ = ks_->Start() == STATUS_SUCCESS;
    });
    stick_->PlugInto(*bus_);
    bus_->WaitUntilQuiet();
    if (const DeviceContext* context = GetDeviceContext(Device()))
        CopyTuning(*context, &tuningAfterStart_);
    app_ = std::make_unique<host::BdaReceiverApplication>(Device(), 4);
    if (started_) started_ = app_->Open() == STATUS_SUCCESS;
    // Once run and stopped, as the receiver is between inputs: the stream's first start
    // allocates what later starts reuse.
    if (started_) started_ = app_->Run() == STATUS_SUCCESS && app_->Stop() == STATUS_SUCCESS;
    bus_->WaitUntilQuiet();
    poolAfterStart_ = host::PoolOutstanding();
}

namespace {
StartedReceiver* gShared = nullptr;
// Stopped and removed at exit, before the emulation's own statics (created before it) go.
void DestroyShared() {
    delete gShared;
    gShared = nullptr;
}
}  // namespace

StartedReceiver& StartedReceiver::Shared() {
    if (gShared == nullptr) {
        gShared = new StartedReceiver();
        std::atexit(DestroyShared);
    }
    return *gShared;
}

void StartedReceiver::ResetForNextInput() {
    // Both pins stopped (a stopped pin takes no step), or the application opened again.
    if (app_->InputPin() == nullptr || app_->OutputPinHandle() == nullptr) {
        app_->Close();
        (void)app_->Open();
    } else {
        (void)app_->Stop();
    }
    bus_->WaitUntilQuiet();
    // A commit restarts the stream whatever the pins' state; running the pins and stopping them
    // stops it again. Only an input that left the stream running pays for that.
    if (!SamePool(host::PoolOutstanding(), poolAfterStart_)) {
        (void)app_->Run();
        (void)app_->Stop();
        bus_->WaitUntilQuiet();
    }
    if (DeviceContext* context = GetDeviceContext(Device())) CopyTuning(tuningAfterStart_, context);
    (void)SetLockFlag(0);
    InitializePrivateProperties();
    firmware_->ClearMessageFaults();
    firmware_->ClearFrames();
    tuner_.ClearWrites();
    i2c_.ClearLog();
    messages_.ClearLog();
    messages_.SetAnswer(std::nullopt);
}

StartedReceiver::~StartedReceiver() {
    if (app_ != nullptr) app_->Close();
    if (ks_ != nullptr) {
        ks_->Stop();
        ks_->Remove();
    }
    stick_->Unplug();
    bus_->WaitUntilQuiet();
    bus_->Shutdown();
    host::ClearWaiterService();
    host::ClearProgressProbe();
    ks_.reset();
    bus_.reset();
    host::UnloadDriver();
}

}  // namespace fuzz
