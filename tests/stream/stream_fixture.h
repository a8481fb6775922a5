#pragma once
// A stick on the host bus whose stream pipe is served by the test: by default from a stream
// source (one 188-byte packet per isochronous packet, whole packets per bulk read), or read by
// read through a script. The driver runs through add and start; the output pin is the host's
// application side, set into the DeviceContext as the pin handlers would.
#include <gtest/gtest.h>

#include <atomic>
#include <functional>
#include <memory>

#include "driver/stream_control.h"
#include "platform/host/output_pin.h"
#include "sim/ts_generator.h"
#include "support/host_system.h"
#include "support/scripted_stick.h"
#include "usb/stream_reader_internal.h"

namespace streamtest {

enum class Path { Bulk, Iso };
inline const char* PathName(Path path) {
    return path == Path::Bulk ? "Bulk" : "Iso";
}

// Serves the stream pipe of a ScriptedStick.
class StreamStick {
  public:
    // Answers one stream read (1-based number in the order the stick answers them).
    using Script = std::function<host::UsbAnswer(uint64_t number, const host::UsbRequest& request)>;

    StreamStick(Path path, sim::TransportStreamSource* source);

    std::shared_ptr<kvstest::ScriptedStick> stick;
    Script script;                       // when set, answers instead of the source
    std::atomic<bool> holdReads{false};  // park new reads until cancelled
    std::atomic<uint64_t> readsAnswered{0};
    std::atomic<uint64_t> readsSeen{0};

    UCHAR StreamEndpoint() const { return path_ == Path::Bulk ? 0x84 : 0x83; }
    host::UsbAnswer FromSource(const host::UsbRequest& request);

  private:
    std::optional<host::UsbAnswer> Serve(const host::UsbRequest& request);
    Path path_;
    sim::TransportStreamSource* source_;
};

// Fills a bulk read with `count` bytes of `value`, or each iso packet i with lengths[i] bytes.
void FillBulk(const host::UsbRequest& request, ULONG count, UCHAR value);
void FillIso(const host::UsbRequest& request, const std::vector<ULONG>& lengths, UCHAR value,
             const std::vector<ULONG>& failedPackets = {});

class StreamFixture {
  public:
    // `isoPacketBytes`: the maximum packet size of the isochronous stream pipe (0: the stick's);
    // `speed`: the stick's link speed.
    explicit StreamFixture(Path path, unsigned busWorkers = 4,
                           host::OutputPinOptions pinOptions = {},
                           sim::TransportStreamSource* source = nullptr,
                           uint16_t isoPacketBytes = 0,
                           host::UsbSpeed speed = host::UsbSpeed::High);
    ~StreamFixture();

    // Output pin present and the antenna pin running, then the stream start of a pin state
    // change.
    void StartStream();
    void StopStream() { ::StopStream(device->Device()); }
    // Waits until the bus has nothing queued and no completion running.
    void Settle();

    sim::TsGenerator generator;
    host::OutputPin pin;
    StreamStick stick;
    kvstest::HostSystem system;
    kvstest::HostedDevice* device = nullptr;
    DeviceContext* context = nullptr;
    CQZUSB* transport = nullptr;
};

}  // namespace streamtest
