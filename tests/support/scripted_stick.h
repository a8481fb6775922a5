#pragma once
// A small USB device model for transport and lifecycle tests: configurable identities, pipe
// list, probe answer and interrupt reports, raw configuration-descriptor replies for hostile
// cases, a hook to hold back or fail any request, and a record of every request it saw.
#include <cstdint>
#include <deque>
#include <functional>
#include <mutex>
#include <optional>
#include <vector>

#include "platform/host/usb_bus.h"

namespace kvstest {

struct EndpointSpec {
    uint8_t address;
    USBD_PIPE_TYPE type;
    uint16_t maximumPacketSize;
};

// Endpoints of the alternate setting 1 interface, in pipe positions 0 to 6.
std::vector<EndpointSpec> DefaultEndpoints();

struct SeenRequest {
    USHORT function = 0;
    uint8_t endpoint = 0;
    USBD_PIPE_TYPE pipeType = UsbdPipeTypeControl;
    uint8_t descriptorType = 0;  // descriptor requests
    uint8_t descriptorIndex = 0;
    uint32_t length = 0;  // transfer buffer length as submitted
};

class ScriptedStick : public host::UsbDeviceModel {
  public:
    ScriptedStick(uint16_t vendorId, uint16_t productId, bool firmwareRunning);

    // Set up before plugging.
    std::vector<EndpointSpec> endpoints = DefaultEndpoints();
    bool firmwareRunning;
    // Probe reply (string descriptor 2) when the firmware runs; otherwise a plain string.
    std::vector<uint8_t> runningProbeReply;
    // Replaces the answer to the configuration descriptor read of the given length (9 or the
    // longer one): the bytes are returned as they are (cut to the requested length).
    std::function<std::optional<std::vector<uint8_t>>(uint32_t requestedLength)> configurationReply;
    // The speed of the stick's link, as the bus reports it.
    host::UsbSpeed linkSpeed = host::UsbSpeed::High;
    // Consulted first for every request; an answer given here is final.
    std::function<std::optional<host::UsbAnswer>(const host::UsbRequest&)> intercept;

    host::UsbAnswer Handle(const host::UsbRequest& request) override;
    host::UsbSpeed LinkSpeed() const override { return linkSpeed; }
    void Attached(host::UsbBus& bus, PDEVICE_OBJECT device) override;
    void Detached(PDEVICE_OBJECT device) override;

    // Queues a report on the interrupt pipe and wakes the pending read.
    void PushReport(const std::vector<uint8_t>& report);
    std::vector<SeenRequest> Requests();
    size_t CountRequests(const std::function<bool(const SeenRequest&)>& predicate);
    std::vector<uint8_t> ConfigurationDescriptor() const;
    // Interrupt reads the model has received (answered or parked).
    size_t InterruptReadsSeen();

  private:
    host::UsbAnswer Descriptor(const host::UsbRequest& request);
    host::UsbAnswer Transfer(const host::UsbRequest& request);
    host::UsbAnswer Isochronous(const host::UsbRequest& request);

    uint16_t vendorId_;
    uint16_t productId_;
    std::mutex lock_;
    std::vector<SeenRequest> seen_;
    std::deque<std::vector<uint8_t>> reports_;
    host::UsbBus* bus_ = nullptr;
    PDEVICE_OBJECT device_ = nullptr;
    uint8_t interruptEndpoint_ = 0;
};

}  // namespace kvstest
