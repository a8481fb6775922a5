#pragma once
// A whole receiver on the host bus for fault sweeps: the simulated stick with its bridge firmware,
// the tuner and demodulator on its I2C bus, the default air and a transport stream, driven through
// add, start, tune, stream and removal. One fault is armed at a time, at the k-th request the
// stick sees from then on; a sweep runs k = 1, 2, ... until the sequence completes without the
// fault having fired. Every run ends with the stick removed and checks what removal must leave:
// no driver pool, no request packet, no kernel error.
#include <gtest/gtest.h>

#include <atomic>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "platform/host/output_pin.h"
#include "sim/air.h"
#include "sim/bridge_firmware.h"
#include "sim/demod_chip.h"
#include "sim/i2c_bus.h"
#include "sim/stick.h"
#include "sim/ts_generator.h"
#include "sim/tuner_chip.h"
#include "support/host_system.h"

namespace faulttest {

enum class Fault { Unplug, Hang, Fail, Shorten };
const char* FaultName(Fault fault);

// Identities of the sticks: kind 1 (isochronous stream), kind 2 (bulk stream), kind 3 and kind 0.
struct StickIds {
    const char* name;
    uint16_t vendorId;
    uint16_t productId;
};
constexpr StickIds kKind1{"Kind1", 0x3344, 0x1122};
constexpr StickIds kKind2{"Kind2", 0x3344, 0x1120};
constexpr StickIds kKind3{"Kind3", 0x0572, 0x6688};
constexpr StickIds kKind0{"Kind0", 0x3344, 0x1111};

// The channel of the default air that locks at the first attempt.
constexpr ULONG kLockingChannelKHz = 474000;

class Receiver : private host::UsbTrafficObserver {
  public:
    Receiver(StickIds ids, bool running);
    ~Receiver();

    kvstest::HostSystem system;
    sim::Air air = sim::Air::Default();
    sim::I2cBus i2c;
    sim::TunerChip tuner;
    std::unique_ptr<sim::DemodChip> demod;
    std::shared_ptr<sim::BridgeFirmware> firmware;
    std::shared_ptr<sim::Stick> stick;
    sim::TsGenerator generator;
    host::OutputPin pin;

    // Plugs the stick in and waits until add, start (and a re-enumeration) are done.
    void Plug();
    kvstest::HostedDevice* Device() { return system.Current(); }
    // Arms `fault` at the `k`-th request the stick sees from now on; Fired() tells whether it was
    // reached, FaultRequest() which request it was.
    void Arm(Fault fault, size_t k);
    bool Fired() const;
    // Arms an allocation failure at the `k`-th allocation the driver asks for from now on (its
    // own pool, request packets and interface link names). Disarm removes it.
    void ArmAllocationFailure(size_t k);
    void Disarm();
    bool AllocationFailed() const { return *allocationFired_; }
    const host::UsbRequest& FaultRequest() const { return *faultRequest_; }
    // Requests the stick has seen since Arm, and the frames of those that were command frames
    // (empty for every other request).
    size_t RequestsSinceArm() const { return *seen_; }
    const std::vector<std::vector<uint8_t>>& FramesSinceArm() const { return *frames_; }

    // The tune of a tuning commit: tuner awake, then the tune sequence. True when it locked.
    bool Tune(ULONG frequencyKHz = kLockingChannelKHz);
    // Whether the demodulator really saw lock on the channel in the last tune.
    bool DemodSawLock(ULONG frequencyKHz = kLockingChannelKHz) const;
    // Output pin present, antenna pin running, stream started; once the stick has answered
    // `reads` stream reads (or has left the bus, or a few seconds passed) the stream is stopped.
    void Stream(size_t reads);

    // Unplugs the stick if it is still on the bus, waits until every device is removed, and
    // checks that nothing of the driver is left behind.
    void UnplugAndCheckClean(const std::string& what);

  private:
    // Counts the stream reads the bus accepts.
    void RequestSubmitted(const host::UsbTrafficRecord& record) override;
    void RequestCompleted(const host::UsbTrafficRecord&) override {}

    std::atomic<size_t> streamReads_{0};
    std::shared_ptr<size_t> seen_ = std::make_shared<size_t>(0);
    std::shared_ptr<host::UsbRequest> faultRequest_ = std::make_shared<host::UsbRequest>();
    std::shared_ptr<bool> fired_ = std::make_shared<bool>(false);
    std::shared_ptr<std::atomic<bool>> allocationFired_ =
        std::make_shared<std::atomic<bool>>(false);
    std::shared_ptr<std::vector<std::vector<uint8_t>>> frames_ =
        std::make_shared<std::vector<std::vector<uint8_t>>>();
};

// Brings the receiver's current device up again if its start failed (plug and play starts it
// again), then checks that it tunes: a stick that met a fault must be usable afterwards.
void ExpectUsableAfterwards(Receiver& r, const std::string& what);

// Runs `run(k)` for k = 1, 2, ... until it returns false (the fault was not reached: the
// sequence completed), at most `limit` times; returns the number of runs in which the fault
// fired.
size_t Sweep(size_t limit, const std::function<bool(size_t k)>& run);

// True for the requests whose loss start does not depend on: the reads that run on their own.
bool IsAsynchronousRead(const host::UsbRequest& request);

}  // namespace faulttest
