#pragma once
// A whole host system for driver tests and tools: the kernel emulation reset, the driver loaded
// through its entry, a USB bus whose arrivals run add and start on a kernel-streaming device and
// whose departures run remove, and access to what the driver left behind (debug output, delays,
// pool, device interfaces, filter factories).
#include <atomic>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "driver/device_context.h"
#include "platform/host/clock.h"
#include "platform/host/ks_device_host.h"
#include "platform/host/usb_bus.h"
#include "sim/stick.h"
#include "usb/cqzusb.h"

namespace kvstest {

// One kernel-streaming device the bus announced, with what add and start answered.
struct HostedDevice {
    PDEVICE_OBJECT physicalDeviceObject = nullptr;
    std::unique_ptr<host::KsDeviceHost> ks;
    NTSTATUS addStatus = STATUS_PENDING;
    NTSTATUS startStatus = STATUS_PENDING;  // STATUS_PENDING: start not called
    bool stopped = false;
    bool removed = false;

    PKSDEVICE Device() { return ks->Device(); }
    DeviceContext* Context() { return GetDeviceContext(ks->Device()); }
    CQZUSB* Transport() {
        DeviceContext* context = Context();
        return context != nullptr ? context->transport : nullptr;
    }
};

class HostSystem {
  public:
    // Loads `entry` (the host-compiled driver's when null): e.g. the entry of an image that a
    // runner executes.
    explicit HostSystem(host::ClockMode mode = host::ClockMode::Virtual, unsigned busWorkers = 4,
                        host::DriverEntryFunction entry = nullptr);
    ~HostSystem();
    HostSystem(const HostSystem&) = delete;
    HostSystem& operator=(const HostSystem&) = delete;

    host::UsbBus& Bus() { return *bus_; }

    // Plugs a device model; its arrival runs add and start. Returns once every plug-and-play
    // notification so far (re-enumeration included) has been handled.
    PDEVICE_OBJECT Plug(std::shared_ptr<host::UsbDeviceModel> model);
    // Puts a simulated stick on the bus (it re-plugs itself when it re-enumerates).
    PDEVICE_OBJECT Plug(const std::shared_ptr<sim::Stick>& stick);
    void Unplug(PDEVICE_OBJECT physicalDeviceObject);
    // Returns once the bus is quiet and every plug-and-play notification has been handled.
    void WaitForPnpIdle();

    // Kernel-streaming calls on a hosted device, recorded in its state.
    void Stop(HostedDevice& device);
    void Remove(HostedDevice& device);
    NTSTATUS Start(HostedDevice& device);

    // Devices in arrival order (removed ones included).
    std::vector<HostedDevice*> Devices();
    HostedDevice* DeviceOf(PDEVICE_OBJECT physicalDeviceObject);
    // The most recent device that add accepted and that is not removed.
    HostedDevice* Current();

    // What the emulation recorded.
    static std::vector<std::string> DebugLines();
    static size_t CountDebugLines(const std::string& text);
    static std::vector<long long> SleepMilliseconds();
    static size_t DriverPoolBytes();     // 'XTZQ'
    static size_t DriverPoolBlocks();    // 'XTZQ'
    static size_t PacketPoolBlocks();    // request packets
    static size_t LinkNamePoolBlocks();  // interface link names
    static std::vector<std::string> KernelErrors();

    // Whether departures run remove (the default) — tests of stop-then-unplug set it as needed.
    void SetRemoveOnDeparture(bool remove) { removeOnDeparture_ = remove; }

  private:
    void OnArrival(PDEVICE_OBJECT physicalDeviceObject);
    void OnDeparture(PDEVICE_OBJECT physicalDeviceObject);

    std::unique_ptr<host::UsbBus> bus_;
    std::mutex lock_;
    std::vector<std::unique_ptr<HostedDevice>> devices_;
    std::atomic<bool> removeOnDeparture_{true};  // read on the bus's plug-and-play thread
};

}  // namespace kvstest
