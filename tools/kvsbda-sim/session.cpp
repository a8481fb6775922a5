#include "session.h"

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <thread>

#include "driver/driver_entry.h"
#include "platform/host/clock.h"
#include "platform/host/debug_log.h"
#include "platform/host/driver_call.h"
#include "platform/host/kernel_state.h"
#include "sim/pid_filtered_source.h"
#include "sim/stick_descriptors.h"

namespace kvssim {

namespace {
// The demodulator answers at two I2C addresses: registers below 0xC0 and from 0xC0 on.
constexpr uint8_t kDemodLowAddress = 0x32;
constexpr uint8_t kDemodHighAddress = 0x36;
// Every transmitter sends at DMB-T's highest rate, the hardest case for the stream path.
constexpr uint64_t kAirStreamBitsPerSecond = sim::kDmbtMaxBitsPerSecond;
constexpr std::chrono::microseconds kStreamPollInterval{500};
}  // namespace

Session::Session(const GlobalOptions& options, std::function<void(const std::string&)> debugLine)
    : options_(options), debugLine_(std::move(debugLine)) {}

bool Session::Open(std::string* error) {
    if (options_.air.empty()) {
        air_ = sim::Air::Default();
    } else if (std::string why; !sim::Air::Parse(options_.air, air_, why)) {
        *error = "--air: " + why;
        return false;
    }
    demod_ = std::make_unique<sim::DemodChip>(air_, [this] { return tuner_.TunedFrequencyHz(); });
    i2c_.Attach(kDemodLowAddress, demod_.get());
    i2c_.Attach(kDemodHighAddress, demod_.get());
    i2c_.Attach(sim::TunerChip::kAddress, &tuner_);
    i2c_.Attach(sim::MessageDevice::kWriteAddress, &messages_);
    i2c_.Attach(sim::MessageDevice::kReadAddress, &messages_);

    host::SetClockMode(host::ClockMode::Real);
    host::ResetKernelState();
    if (!options_.logPath.empty()) {
        log_ = std::fopen(options_.logPath.c_str(), "w");
        if (log_ == nullptr) {
            *error = "cannot open log file " + options_.logPath;
            return false;
        }
    }
    host::SetDebugSink([this](const std::string& line) {
        const std::string text = host::Gb2312ToUtf8(line);
        if (log_ != nullptr) std::fprintf(log_, "%s\n", text.c_str());
        if (debugLine_) debugLine_(text);
    });
    if (!options_.image.empty()) {
        std::string why;
        runner_ = image::ImageRunner::Load(options_.image, &why);
        if (runner_ == nullptr) {
            *error = "--image: " + why;
            return false;
        }
        // A fault stops the run: the report says where, and nothing after it can be trusted.
        runner_->SetFaultHandler([](const image::GuestFault& fault) {
            std::fflush(stdout);
            std::fprintf(stderr, "kvsbda-sim: the driver image stopped\n%s",
                         fault.Report().c_str());
            std::fflush(stderr);
            std::_Exit(3);
        });
        if (!runner_->UnboundImports().empty()) {
            std::string names;
            for (const std::string& name : runner_->UnboundImports()) names += " " + name;
            std::fprintf(stderr,
                         "kvsbda-sim: the image imports what the emulation lacks (a call is a "
                         "fault):%s\n",
                         names.c_str());
        }
        host::SetForeignCodeRunner(runner_.get());
        host::LoadDriver(runner_->EntryPoint<host::DriverEntryFunction>());
    } else {
        host::LoadDriver(DriverEntry);
    }
    bus_ = std::make_unique<host::UsbBus>();
    if (!options_.pcapPath.empty()) {
        pcap_ = std::make_unique<sim::PcapWriter>(options_.pcapPath);
        if (!pcap_->IsOpen()) {
            *error = "cannot open capture file " + options_.pcapPath;
            return false;
        }
        bus_->AddObserver(pcap_.get());
    }
    // Stream reads waiting for the paced air are retried often enough to keep the pipe busy.
    bus_->SetPollInterval(kStreamPollInterval);
    bus_->SetInlineCompletion(options_.inlineCompletion);
    host::SetProgressProbe([bus = bus_.get()] { return bus->WorkInProgress(); });
    bus_->SetArrivalCallback([this](PDEVICE_OBJECT pdo) { OnArrival(pdo); });
    bus_->SetDepartureCallback([this](PDEVICE_OBJECT pdo) { OnDeparture(pdo); });
    return true;
}

Session::~Session() {
    if (statusReporter_ != nullptr) statusReporter_->Stop();
    if (bus_ != nullptr) {
        bus_->Shutdown();
        for (SessionDevice* device : Devices()) {
            if (device->addStatus == STATUS_SUCCESS && !device->removed) {
                device->ks->Remove();
                device->removed = true;
            }
        }
        if (pcap_ != nullptr) bus_->RemoveObserver(pcap_.get());
        host::ClearProgressProbe();
    }
    devices_.clear();
    bus_.reset();
    if (pcap_ != nullptr) pcap_->Flush();
    pcap_.reset();
    host::UnloadDriver();
    if (runner_ != nullptr) {
        host::SetForeignCodeRunner(nullptr);
        runner_.reset();
    }
    host::SetDebugSink({});
    if (log_ != nullptr) std::fclose(log_);
}

void Session::Plug(const StickId& id, bool boot) {
    sim::StickOptions options;
    options.vendorId = id.vendorId;
    options.productId = id.productId;
    options.state = boot ? sim::StickState::Boot : sim::StickState::Running;
    options.speed = options_.speed == "full" ? sim::BusSpeed::Full : sim::BusSpeed::High;
    if (options_.stream == "bulk") options.streamTransfer = sim::StreamTransfer::Bulk;
    if (options_.stream == "iso") options.streamTransfer = sim::StreamTransfer::Isochronous;
    options.latencyMicroseconds = options_.latencyMicroseconds >= 0
                                      ? static_cast<uint32_t>(options_.latencyMicroseconds)
                                      : sim::HostControllerLatency(options.speed);
    firmware_ = std::make_shared<sim::BridgeFirmware>(i2c_, !boot);
    stick_ = std::make_shared<sim::Stick>(options);
    sim::AttachBridgeFirmware(stick_, firmware_);
    sim::TsGeneratorOptions stream;
    stream.bitsPerSecond = kAirStreamBitsPerSecond;
    stream.realTime = true;
    airStream_ = std::make_shared<StreamGate>(std::make_shared<sim::PidFilteredSource>(
        std::make_shared<sim::AirStreamSource>(*demod_, stream), firmware_));
    stick_->SetStreamSource(airStream_);
    remote_ = std::make_unique<sim::RemoteControl>(stick_);
    statusReporter_ =
        std::make_unique<sim::AirStatusReporter>(stick_, *demod_, options_.statusPeriodMs);
    statusReporter_->Start();
    stick_->PlugInto(*bus_);
    WaitForQuiet();
}

void Session::WaitForQuiet() {
    bus_->WaitUntilQuiet();
}

void Session::OnArrival(PDEVICE_OBJECT pdo) {
    auto device = std::make_unique<SessionDevice>();
    device->physicalDeviceObject = pdo;
    device->ks = std::make_unique<host::KsDeviceHost>(pdo);
    SessionDevice* raw = device.get();
    {
        std::lock_guard guard(lock_);
        devices_.push_back(std::move(device));
    }
    raw->addStatus = raw->ks->Add();
    if (raw->addStatus == STATUS_SUCCESS) raw->startStatus = raw->ks->Start();
}

void Session::OnDeparture(PDEVICE_OBJECT pdo) {
    std::lock_guard guard(lock_);
    for (auto& device : devices_) {
        if (device->physicalDeviceObject == pdo && device->addStatus == STATUS_SUCCESS &&
            !device->removed) {
            device->ks->Remove();
            device->removed = true;
        }
    }
}

SessionDevice* Session::Current() {
    std::lock_guard guard(lock_);
    for (auto it = devices_.rbegin(); it != devices_.rend(); ++it) {
        if ((*it)->addStatus == STATUS_SUCCESS && !(*it)->removed) return it->get();
    }
    return nullptr;
}

std::vector<SessionDevice*> Session::Devices() {
    std::lock_guard guard(lock_);
    std::vector<SessionDevice*> result;
    for (auto& device : devices_) result.push_back(device.get());
    return result;
}

void Session::StopRemoveUnplug() {
    if (statusReporter_ != nullptr) statusReporter_->Stop();
    if (SessionDevice* device = Current()) {
        device->ks->Stop();
        device->ks->Remove();
        device->removed = true;
    }
    if (stick_ != nullptr) stick_->Unplug();
    WaitForQuiet();
    bus_->Shutdown();
}

std::string StatusText(NTSTATUS status) {
    char text[16];
    std::snprintf(text, sizeof text, "0x%08X", static_cast<unsigned>(status));
    return text;
}

std::function<void(const std::string&)> DebugLineSink(const GlobalOptions& options,
                                                      std::vector<std::string>* collected) {
    if (options.json) return [collected](const std::string& line) { collected->push_back(line); };
    return [](const std::string& line) {
        std::printf("%s\n", line.c_str());
        std::fflush(stdout);
    };
}

}  // namespace kvssim
