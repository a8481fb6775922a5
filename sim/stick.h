#pragma once
// The simulated receiver stick as a USB device on the host bus.
//
// It answers descriptor requests from its current descriptor set, accepts the configuration it
// presents, and routes transfers by endpoint: command frames (bulk OUT 0x01) to the command
// processor, command replies (bulk IN 0x81) from it, the stream endpoint from the transport
// stream source, the interrupt endpoint from a queue of reports. Other OUT endpoints swallow
// their data. Reads for which nothing is there yet wait on the bus until data arrives.
//
// Create it with std::make_shared: it puts itself back on the bus when it re-enumerates.
// Every member may be called from any thread.
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <unordered_set>
#include <vector>

#include "platform/host/usb_bus.h"
#include "sim/components.h"
#include "sim/stick_descriptors.h"
#include "sim/stream_fifo.h"

namespace sim {

enum class StickState {
    Boot,    // no firmware: boot descriptors, string 2 is a plain product name
    Running  // bridge firmware runs: string 2 carries the "GGG" marker
};

struct StickOptions {
    uint16_t vendorId = 0x3344;
    uint16_t productId = 0x1122;
    StickState state = StickState::Boot;
    // How built-in descriptors (a stick that presents no downloaded image) carry the stream;
    // default: what the speed gives (StreamTransferAt). A downloaded image's descriptors follow
    // the speed alone.
    std::optional<StreamTransfer> streamTransfer;
    // Default: DefaultLayoutFor(vendorId, productId).
    std::optional<DescriptorLayout> layout;
    BusSpeed speed = BusSpeed::High;
    // Bus time of every transfer before the stick's answer, in microseconds; unset: none.
    // kvsbda-sim gives what a host controller gives at the speed (HostControllerLatency).
    std::optional<uint32_t> latencyMicroseconds = std::nullopt;
    // False: transfers cost no bus time and isochronous frames pass at once (a whole-path
    // benchmark that measures the driver, not the bus).
    bool busTime = true;
};

// Bus time per (micro)frame in host clock ticks (100 ns).
constexpr LONGLONG kMicroframeTicks = 1250;
constexpr LONGLONG kFrameTicks = 10000;
// A bulk packet at high speed.
constexpr size_t kBulkPacketBytes = 512;

// Picks requests for fault injection; an empty matcher matches every request.
using RequestMatcher = std::function<bool(const host::UsbRequest&)>;
RequestMatcher OnEndpoint(uint8_t endpointAddress);
RequestMatcher OnFunction(USHORT urbFunction);
RequestMatcher OnDescriptor(uint8_t descriptorType, uint8_t index);
// The `count`-th request (1-based) that the matcher is asked about: with one fault pending, the
// stick's `count`-th request from now on. `seen`, when given, counts the requests asked about.
RequestMatcher NthRequest(size_t count, std::shared_ptr<size_t> seen = nullptr);

// The bus time a host controller gives a transfer at a speed, in microseconds: one microframe
// (125 us) at high speed, one frame (1 ms) at full speed.
constexpr uint32_t HostControllerLatency(BusSpeed speed) {
    return speed == BusSpeed::High ? 125 : 1000;
}
// The bus latency the stick options give (ticks).
LONGLONG LatencyTicksOf(const StickOptions& options);

// USB status of a failed transfer and of a failed isochronous packet.
constexpr USBD_STATUS kFailedTransferStatus = host::kUsbdStatusStallPid;
// Status of an isochronous packet larger than its slot in the transfer buffer (a host
// controller's data overrun).
constexpr USBD_STATUS kOverrunPacketStatus = static_cast<USBD_STATUS>(0xC000000C);
constexpr USBD_STATUS kFailedPacketStatus = static_cast<USBD_STATUS>(0xC0000001);  // CRC error

class Stick : public host::UsbDeviceModel, public std::enable_shared_from_this<Stick> {
  public:
    explicit Stick(StickOptions options = {});
    ~Stick() override;

    // ---- Bus presence -------------------------------------------------------------------------
    // Puts the stick on `bus` and returns its physical device object.
    PDEVICE_OBJECT PlugInto(host::UsbBus& bus);
    // Leaves the bus (everything pending completes with not-connected). From any thread, also
    // from inside the stick's own request handling.
    void Unplug();
    // Leaves the bus and comes back as a new device object in `state`, with the descriptors of
    // that state. Called while the stick answers a request, it happens right after that request
    // has been completed.
    void ReEnumerate(StickState state);
    // Re-enumerates into `state` right after the stick has answered the next request that
    // `after` matches (e.g. the reply read of the firmware start command).
    void ReEnumerateAfter(RequestMatcher after, StickState state);
    // The current device object, null while off the bus.
    PDEVICE_OBJECT DeviceObject() const;
    // How often the stick has arrived on a bus.
    unsigned Arrivals() const;
    // Waits (real time) until the stick has arrived `count` times; false on time-out. A
    // re-enumeration runs after the request that triggered it has completed, so a caller that
    // saw that completion waits here before looking for the new device.
    bool WaitForArrivals(unsigned count, std::chrono::milliseconds limit);

    // ---- Identity and descriptors -------------------------------------------------------------
    StickState State() const;
    BusSpeed Speed() const;
    // Takes effect at the next arrival.
    void SetState(StickState state);
    void SetStreamTransfer(StreamTransfer transfer);
    // The descriptor set of the rom image (256 bytes: device descriptor at 0x00, configuration at
    // 0x1C, strings at 0xB4) that the running firmware presents from its next arrival on. False
    // when the set is too short.
    bool PresentRomImage(const uint8_t* set, size_t length);
    // What the stick presents now.
    DescriptorSet Descriptors() const;

    // ---- Components ---------------------------------------------------------------------------
    // The default processor answers every frame with five zero bytes.
    void SetCommandProcessor(std::shared_ptr<CommandProcessor> processor);
    void SetStreamSource(std::shared_ptr<TransportStreamSource> source);
    // The bridge emptied its stream buffer (the stream source starts afresh).
    void RestartStream();
    // Queues one report for the interrupt IN endpoint; a waiting read gets it at once.
    void QueueInterruptReport(std::vector<uint8_t> report);
    size_t QueuedInterruptReports() const;

    // ---- Fault injection (each fault is used up by the first request it matches) --------------
    // The request is never answered; only cancel, abort or unplug end it.
    void HangNextRequest(RequestMatcher matcher = {});
    // The request fails: header Status kFailedTransferStatus, packet STATUS_UNSUCCESSFUL.
    void FailNextTransfer(RequestMatcher matcher = {});
    // The transfer moves at most `bytes` bytes.
    void ShortenNextTransfer(size_t bytes, RequestMatcher matcher = {});
    // The stick leaves the bus as the request reaches it: the request completes with
    // not-connected, as everything else pending does.
    void UnplugAtNextRequest(RequestMatcher matcher = {});
    // Called for each packet of each isochronous read (reads counted from 0); true fails the
    // packet (Status kFailedPacketStatus, Length 0).
    void SetIsoPacketErrorHook(std::function<bool(uint64_t read, uint32_t packet)> hook);
    // Bytes the stick sent in isochronous packets that overran their slots (lost on the bus).
    uint64_t OverrunBytes() const;
    // Bytes of the transport stream lost in the stick's FIFO: they arrived while it was full,
    // because the bus did not take the stream as fast as the transmitter sent it.
    uint64_t FifoOverflowBytes() const;
    // Stream bytes in the stick not yet sent: in its FIFO or still arriving into it.
    size_t StreamBytesHeld() const;
    void ClearFaults();

    // ---- host::UsbDeviceModel -----------------------------------------------------------------
    host::UsbAnswer Handle(const host::UsbRequest& request) override;
    LONGLONG TransferLatency() const override { return latency_; }
    host::UsbSpeed LinkSpeed() const override;
    void Attached(host::UsbBus& bus, PDEVICE_OBJECT device) override;
    void Detached(PDEVICE_OBJECT device) override;

  private:
    enum class FaultKind { Hang, Fail, Shorten, Unplug };
    struct Fault {
        FaultKind kind;
        RequestMatcher matcher;
        size_t bytes = 0;
    };
    struct PendingReEnumeration {
        RequestMatcher after;
        StickState state;
    };

    // All of these run with lock_ held.
    void RebuildDescriptors();
    std::optional<Fault> TakeFault(const host::UsbRequest& request);
    host::UsbAnswer GetDescriptor(const host::UsbRequest& request, size_t limit);
    host::UsbAnswer SelectConfiguration(const host::UsbRequest& request);
    host::UsbAnswer BulkOrInterrupt(const host::UsbRequest& request, size_t limit);
    host::UsbAnswer Isochronous(const host::UsbRequest& request);
    bool IsStreamEndpoint(const host::UsbEndpoint& endpoint) const;
    host::UsbAnswer BulkStream(const host::UsbRequest& request, size_t capacity);
    // Bus time of one isochronous packet of `endpoint` (0 without bus time).
    LONGLONG IsoPacketTicks(const host::UsbEndpoint& endpoint) const;

    void ReEnumerateNow(StickState state);

    mutable std::recursive_mutex lock_;
    std::condition_variable_any arrived_;
    StickOptions options_;
    StickState state_;
    std::optional<DescriptorSet> romDescriptors_;
    DescriptorSet descriptors_;
    host::UsbBus* bus_ = nullptr;
    PDEVICE_OBJECT device_ = nullptr;
    unsigned arrivals_ = 0;
    std::shared_ptr<CommandProcessor> processor_;
    std::shared_ptr<TransportStreamSource> source_;
    std::deque<std::vector<uint8_t>> reports_;
    std::deque<Fault> faults_;
    std::optional<PendingReEnumeration> pendingReEnumeration_;
    std::function<bool(uint64_t, uint32_t)> isoPacketError_;
    uint64_t isoReads_ = 0;
    std::vector<uint8_t> isoScratch_;  // one packet as the stick sends it
    uint64_t overrunBytes_ = 0;
    // Since when the bulk stream pipe has had no read queued (none: reads have been queued since
    // the stream began).
    std::optional<LONGLONG> bulkIdleSince_;
    const LONGLONG latency_;  // bus time of every transfer, host clock ticks
    StreamFifo fifo_;
    // The isochronous read the stream pipe serves: its frames, from first to one past its last.
    PIRP isoRead_ = nullptr;
    LONGLONG isoStart_ = 0;
    LONGLONG isoEnd_ = 0;
    LONGLONG isoNextFrame_ = 0;  // the first frame no read has taken yet
    // The packets of isochronous reads answered since the stream (re)started.
    std::unordered_set<PIRP> isoAnswered_;
};

}  // namespace sim
