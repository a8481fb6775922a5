#include "support/host_system.h"

#include <algorithm>
#include <chrono>
#include <thread>

#include "driver/driver_entry.h"
#include "platform/host/debug_log.h"
#include "platform/host/kernel_errors.h"
#include "platform/host/kernel_state.h"
#include "platform/host/pool_accounting.h"
#include "platform/pool.h"

namespace kvstest {

HostSystem::HostSystem(host::ClockMode mode, unsigned busWorkers, host::DriverEntryFunction entry) {
    host::SetClockMode(mode);
    host::ResetKernelState();
    host::LoadDriver(entry != nullptr ? entry : DriverEntry);
    bus_ = std::make_unique<host::UsbBus>(busWorkers);
    host::SetProgressProbe([bus = bus_.get()] { return bus->WorkInProgress(); });
    bus_->SetArrivalCallback([this](PDEVICE_OBJECT pdo) { OnArrival(pdo); });
    bus_->SetDepartureCallback([this](PDEVICE_OBJECT pdo) { OnDeparture(pdo); });
}

HostSystem::~HostSystem() {
    // Unplugging runs remove for every device still there; then the bus stops.
    bus_->Shutdown();
    for (HostedDevice* device : Devices()) {
        if (device->addStatus == STATUS_SUCCESS && !device->removed) Remove(*device);
    }
    host::ClearProgressProbe();
    {
        std::lock_guard guard(lock_);
        devices_.clear();
    }
    bus_.reset();
    host::UnloadDriver();
}

void HostSystem::WaitForPnpIdle() {
    bus_->WaitUntilQuiet();
}

PDEVICE_OBJECT HostSystem::Plug(std::shared_ptr<host::UsbDeviceModel> model) {
    PDEVICE_OBJECT pdo = bus_->Plug(std::move(model));
    WaitForPnpIdle();
    return pdo;
}

PDEVICE_OBJECT HostSystem::Plug(const std::shared_ptr<sim::Stick>& stick) {
    PDEVICE_OBJECT pdo = stick->PlugInto(*bus_);
    WaitForPnpIdle();
    return pdo;
}

void HostSystem::Unplug(PDEVICE_OBJECT physicalDeviceObject) {
    bus_->Unplug(physicalDeviceObject);
    WaitForPnpIdle();
}

void HostSystem::OnArrival(PDEVICE_OBJECT physicalDeviceObject) {
    auto device = std::make_unique<HostedDevice>();
    device->physicalDeviceObject = physicalDeviceObject;
    device->ks = std::make_unique<host::KsDeviceHost>(physicalDeviceObject);
    HostedDevice* raw = device.get();
    {
        std::lock_guard guard(lock_);
        devices_.push_back(std::move(device));
    }
    raw->addStatus = raw->ks->Add();
    if (raw->addStatus == STATUS_SUCCESS) Start(*raw);
}

void HostSystem::OnDeparture(PDEVICE_OBJECT physicalDeviceObject) {
    if (!removeOnDeparture_) return;
    HostedDevice* device = DeviceOf(physicalDeviceObject);
    if (device != nullptr && device->addStatus == STATUS_SUCCESS && !device->removed)
        Remove(*device);
}

NTSTATUS HostSystem::Start(HostedDevice& device) {
    device.startStatus = device.ks->Start();
    device.stopped = false;
    return device.startStatus;
}

void HostSystem::Stop(HostedDevice& device) {
    device.ks->Stop();
    device.stopped = true;
}

void HostSystem::Remove(HostedDevice& device) {
    device.ks->Remove();
    device.removed = true;
}

std::vector<HostedDevice*> HostSystem::Devices() {
    std::lock_guard guard(lock_);
    std::vector<HostedDevice*> result;
    for (auto& device : devices_) result.push_back(device.get());
    return result;
}

HostedDevice* HostSystem::DeviceOf(PDEVICE_OBJECT physicalDeviceObject) {
    std::lock_guard guard(lock_);
    // The newest device over that object (objects are not reused, but be exact anyway).
    for (auto it = devices_.rbegin(); it != devices_.rend(); ++it) {
        if ((*it)->physicalDeviceObject == physicalDeviceObject) return it->get();
    }
    return nullptr;
}

HostedDevice* HostSystem::Current() {
    std::lock_guard guard(lock_);
    for (auto it = devices_.rbegin(); it != devices_.rend(); ++it) {
        if ((*it)->addStatus == STATUS_SUCCESS && !(*it)->removed) return it->get();
    }
    return nullptr;
}

std::vector<std::string> HostSystem::DebugLines() {
    return host::DebugLines();
}

size_t HostSystem::CountDebugLines(const std::string& text) {
    std::vector<std::string> lines = host::DebugLines();
    return static_cast<size_t>(std::count(lines.begin(), lines.end(), text));
}

std::vector<long long> HostSystem::SleepMilliseconds() {
    std::vector<long long> result;
    for (const host::RecordedDelay& delay : host::RecordedDelays()) {
        if (delay.kind != host::DelayKind::WaitTimeout) result.push_back(delay.Milliseconds());
    }
    return result;
}

size_t HostSystem::DriverPoolBytes() {
    return host::PoolBytesOutstanding(kDriverPoolTag);
}
size_t HostSystem::DriverPoolBlocks() {
    return host::PoolBlocksOutstanding(kDriverPoolTag);
}
size_t HostSystem::PacketPoolBlocks() {
    return host::PoolBlocksOutstanding(host::kIrpPoolTag);
}
size_t HostSystem::LinkNamePoolBlocks() {
    return host::PoolBlocksOutstanding(host::kInterfaceLinkPoolTag);
}
std::vector<std::string> HostSystem::KernelErrors() {
    return host::KernelErrors();
}

}  // namespace kvstest
