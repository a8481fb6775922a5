#pragma once
// A running host system for the CLI: the driver loaded on the real clock, a USB bus whose
// arrivals run add and start and whose departures run remove, a simulated receiver stick, an
// optional wire capture, and the driver's debug output passed on as it is printed. The stick
// carries the tuner, the demodulator and the message device on its I2C bus and receives the
// simulated air: once the demodulator locks, the stream pipe carries the transmitter's stream
// (through the bridge's PID filter) and the interrupt pipe its status reports; a remote control
// sends its key presses on the interrupt pipe too.
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "driver/device_context.h"
#include "options.h"
#include "platform/host/ks_device_host.h"
#include "platform/host/usb_bus.h"
#include "platform/image/image_runner.h"
#include "sim/air.h"
#include "sim/air_signal.h"
#include "sim/bridge_firmware.h"
#include "sim/demod_chip.h"
#include "sim/i2c_bus.h"
#include "sim/message_device.h"
#include "sim/pcap_writer.h"
#include "sim/remote_control.h"
#include "sim/stick.h"
#include "sim/tuner_chip.h"
#include "stream_gate.h"

namespace kvssim {

struct SessionDevice {
    PDEVICE_OBJECT physicalDeviceObject = nullptr;
    std::unique_ptr<host::KsDeviceHost> ks;
    NTSTATUS addStatus = STATUS_PENDING;
    NTSTATUS startStatus = STATUS_PENDING;
    bool removed = false;
};

class Session {
  public:
    // `debugLine` gets each debug line (GB2312 marker already shown as UTF-8) as it is printed.
    Session(const GlobalOptions& options, std::function<void(const std::string&)> debugLine);
    ~Session();
    Session(const Session&) = delete;
    Session& operator=(const Session&) = delete;

    // False (with a message) when the capture or log file cannot be opened or the --air text
    // does not describe an air.
    bool Open(std::string* error);
    // Plugs the stick in and waits until add and start (and any re-enumeration) are done.
    void Plug(const StickId& id, bool boot);
    // The device that add accepted last and that is still there.
    SessionDevice* Current();
    std::vector<SessionDevice*> Devices();
    // Stops and removes the current device, unplugs the stick and stops the bus.
    void StopRemoveUnplug();

    sim::Stick* Stick() { return stick_.get(); }
    host::UsbBus& Bus() { return *bus_; }
    const sim::Air& Air() const { return air_; }
    sim::TunerChip& Tuner() { return tuner_; }
    sim::DemodChip& Demod() { return *demod_; }
    sim::MessageDevice& Messages() { return messages_; }
    sim::I2cBus& I2c() { return i2c_; }
    // The bridge firmware and the remote control; null before Plug.
    sim::BridgeFirmware* Firmware() { return firmware_.get(); }
    sim::RemoteControl* Remote() { return remote_.get(); }
    // The stick's stream source; null before Plug.
    StreamGate* AirStream() { return airStream_.get(); }
    // The driver image running under emulation (--image), else null.
    image::ImageRunner* Image() { return runner_.get(); }

  private:
    void WaitForQuiet();
    void OnArrival(PDEVICE_OBJECT pdo);
    void OnDeparture(PDEVICE_OBJECT pdo);

    GlobalOptions options_;
    std::function<void(const std::string&)> debugLine_;
    std::unique_ptr<image::ImageRunner> runner_;
    std::unique_ptr<host::UsbBus> bus_;
    std::unique_ptr<sim::PcapWriter> pcap_;
    std::FILE* log_ = nullptr;
    sim::I2cBus i2c_;
    // The chips and the air outlive the stick, which reaches them from its request handling.
    sim::Air air_;
    sim::TunerChip tuner_;
    std::unique_ptr<sim::DemodChip> demod_;
    sim::MessageDevice messages_;
    std::shared_ptr<sim::BridgeFirmware> firmware_;
    std::shared_ptr<sim::Stick> stick_;
    std::shared_ptr<StreamGate> airStream_;
    std::unique_ptr<sim::RemoteControl> remote_;
    // Declared after the stick and the demodulator so that its thread ends before either goes.
    std::unique_ptr<sim::AirStatusReporter> statusReporter_;
    std::mutex lock_;
    std::vector<std::unique_ptr<SessionDevice>> devices_;
};

std::string StatusText(NTSTATUS status);

// Where the driver's debug lines go: printed as they come, or with --json collected for the
// JSON object.
std::function<void(const std::string&)> DebugLineSink(const GlobalOptions& options,
                                                      std::vector<std::string>* collected);

}  // namespace kvssim
