#pragma once
// A started receiver for the fuzz targets that drive the driver from the application side: the
// simulated stick on the host bus with its bridge firmware, the tuner, the demodulator and the
// message device on its I2C bus, the default air and a remote control, the driver loaded on a
// virtual clock and the stick added and started. The destructor stops, removes and unplugs it
// and unloads the driver.
//
// Starting a receiver costs far more than most inputs, so the targets share one for the whole
// run (Shared) and put it back between inputs (ResetForNextInput): what an input may change and
// the next would notice - the values the driver stores for tuning, the lock flag, the private
// set's driver-wide state, the bridge's and the message device's fault records - goes back to
// what it was after start, and the application the receiver keeps open (the filter and both
// pins) goes back to both pins stopped; an application closed by an input is opened again.
#include <map>
#include <memory>

#include "driver/device_context.h"
#include "platform/host/bda_receiver_application.h"
#include "platform/host/ks_device_host.h"
#include "platform/host/pool_accounting.h"
#include "platform/host/usb_bus.h"
#include "sim/air.h"
#include "sim/bridge_firmware.h"
#include "sim/demod_chip.h"
#include "sim/i2c_bus.h"
#include "sim/message_device.h"
#include "sim/remote_control.h"
#include "sim/stick.h"
#include "sim/tuner_chip.h"

namespace fuzz {

class StartedReceiver {
  public:
    StartedReceiver();
    ~StartedReceiver();
    StartedReceiver(const StartedReceiver&) = delete;
    StartedReceiver& operator=(const StartedReceiver&) = delete;

    // The receiver shared by every input of this process, started on first use.
    static StartedReceiver& Shared();
    // Settles the bus, then puts back what an input may have changed (see above).
    void ResetForNextInput();
    // The application on the receiver, open (filter and both pins, stopped) at every input.
    host::BdaReceiverApplication& Application() { return *app_; }
    // The pool the started receiver holds with its application open, to which every input must
    // return.
    const std::map<ULONG, host::PoolUsage>& PoolAfterStart() const { return poolAfterStart_; }

    // The stick's work one input may ask for: a script stops at the first step that finds more
    // request blocks sent to the bus since the input began than a tune to a channel with its
    // signal reads (about 224) or a message of 1,024 bytes one way take. A tune costs hundreds of
    // round trips through the bus and the chips, most other requests a few at most: without a
    // bound, a long input of tunes takes the time of hundreds of short inputs and shows little
    // the first tune did not. A step that began within the bound runs to its end.
    static constexpr uint64_t kBusRequestsPerInput = 250;
    void BeginInput() { requestsAtInput_ = bus_->RequestsSubmitted(); }
    bool BusBudgetSpent() const {
        return bus_->RequestsSubmitted() - requestsAtInput_ > kBusRequestsPerInput;
    }

    bool Started() const { return started_; }
    PKSDEVICE Device() { return ks_ != nullptr ? ks_->Device() : nullptr; }
    void Settle() { bus_->WaitUntilQuiet(); }

    sim::BridgeFirmware& Firmware() { return *firmware_; }
    sim::MessageDevice& Messages() { return messages_; }
    sim::RemoteControl& Remote() { return *remote_; }

  private:
    sim::Air air_ = sim::Air::Default();
    sim::TunerChip tuner_;
    std::unique_ptr<sim::DemodChip> demod_;
    sim::MessageDevice messages_;
    sim::I2cBus i2c_;
    std::shared_ptr<sim::BridgeFirmware> firmware_;
    std::shared_ptr<sim::Stick> stick_;
    std::unique_ptr<sim::RemoteControl> remote_;
    std::unique_ptr<host::UsbBus> bus_;
    std::unique_ptr<host::KsDeviceHost> ks_;
    bool started_ = false;
    std::unique_ptr<host::BdaReceiverApplication> app_;
    DeviceContext tuningAfterStart_{};  // only the tuning fields are used
    std::map<ULONG, host::PoolUsage> poolAfterStart_;
    uint64_t requestsAtInput_ = 0;
};

}  // namespace fuzz
