#include "support/scripted_stick.h"

#include <algorithm>
#include <cstring>
#include <initializer_list>

namespace kvstest {

std::vector<EndpointSpec> DefaultEndpoints() {
    return {
        {0x81, UsbdPipeTypeBulk, 64},          // 0 command replies
        {0x01, UsbdPipeTypeBulk, 64},          // 1 commands
        {0x82, UsbdPipeTypeIsochronous, 512},  // 2
        {0x83, UsbdPipeTypeIsochronous, 512},  // 3
        {0x84, UsbdPipeTypeBulk, 512},         // 4
        {0x05, UsbdPipeTypeBulk, 64},          // 5
        {0x86, UsbdPipeTypeInterrupt, 8},      // 6 reports
    };
}

ScriptedStick::ScriptedStick(uint16_t vendorId, uint16_t productId, bool running)
    : firmwareRunning(running), vendorId_(vendorId), productId_(productId) {
    runningProbeReply = {12, 3, 'G', 'G', 'G', 0, 'K', 0, 'V', 0, 'S', 0};
}

std::vector<uint8_t> ScriptedStick::ConfigurationDescriptor() const {
    std::vector<uint8_t> bytes;
    bytes.reserve(9 + 9 + 9 + 7 * endpoints.size());
    // Byte by byte: GCC's -O3 array-bounds check misreads a range insert into a vector that grows.
    const auto append = [&bytes](std::initializer_list<uint8_t> descriptor) {
        for (const uint8_t b : descriptor) bytes.push_back(b);
    };
    append({9, 2, 0, 0, 1, 1, 0, 0x80, 50});
    // Alternate setting 0 without endpoints, then alternate setting 1 with the pipe list.
    append({9, 4, 0, 0, 0, 0xFF, 0, 0, 0});
    append({9, 4, 0, 1, static_cast<uint8_t>(endpoints.size()), 0xFF, 0, 0, 0});
    for (const EndpointSpec& e : endpoints) {
        append({7, 5, e.address, static_cast<uint8_t>(e.type),
                static_cast<uint8_t>(e.maximumPacketSize),
                static_cast<uint8_t>(e.maximumPacketSize >> 8), 1});
    }
    bytes[2] = static_cast<uint8_t>(bytes.size());
    bytes[3] = static_cast<uint8_t>(bytes.size() >> 8);
    return bytes;
}

void ScriptedStick::Attached(host::UsbBus& bus, PDEVICE_OBJECT device) {
    std::lock_guard guard(lock_);
    bus_ = &bus;
    device_ = device;
}

void ScriptedStick::Detached(PDEVICE_OBJECT) {
    std::lock_guard guard(lock_);
    bus_ = nullptr;
}

host::UsbAnswer ScriptedStick::Handle(const host::UsbRequest& request) {
    SeenRequest seen;
    seen.function = request.function;
    seen.endpoint = request.endpoint.address;
    seen.pipeType = request.endpoint.type;
    if (request.function == URB_FUNCTION_GET_DESCRIPTOR_FROM_DEVICE) {
        seen.descriptorType = request.urb->UrbControlDescriptorRequest.DescriptorType;
        seen.descriptorIndex = request.urb->UrbControlDescriptorRequest.Index;
        seen.length = request.urb->UrbControlDescriptorRequest.TransferBufferLength;
    } else if (request.function == URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER) {
        seen.length = request.urb->UrbBulkOrInterruptTransfer.TransferBufferLength;
    }
    if (request.attempt == 0) {
        std::lock_guard guard(lock_);
        seen_.push_back(seen);
    }
    if (intercept) {
        if (std::optional<host::UsbAnswer> answer = intercept(request)) return *answer;
    }
    switch (request.function) {
        case URB_FUNCTION_GET_DESCRIPTOR_FROM_DEVICE:
            return Descriptor(request);
        case URB_FUNCTION_SELECT_CONFIGURATION:
            return host::UsbAnswer::Success();
        case URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER:
            return Transfer(request);
        case URB_FUNCTION_ISOCH_TRANSFER:
            return Isochronous(request);
        default:
            return host::UsbAnswer::Failure(STATUS_UNSUCCESSFUL,
                                            host::kUsbdStatusInvalidUrbFunction);
    }
}

host::UsbAnswer ScriptedStick::Descriptor(const host::UsbRequest& request) {
    auto& d = request.urb->UrbControlDescriptorRequest;
    std::vector<uint8_t> reply;
    if (d.DescriptorType == USB_DEVICE_DESCRIPTOR_TYPE) {
        reply = {18,
                 1,
                 0x00,
                 0x02,
                 0xFF,
                 0xFF,
                 0xFF,
                 64,
                 static_cast<uint8_t>(vendorId_),
                 static_cast<uint8_t>(vendorId_ >> 8),
                 static_cast<uint8_t>(productId_),
                 static_cast<uint8_t>(productId_ >> 8),
                 0x00,
                 0x01,
                 1,
                 2,
                 0,
                 1};
    } else if (d.DescriptorType == USB_CONFIGURATION_DESCRIPTOR_TYPE) {
        std::optional<std::vector<uint8_t>> scripted;
        if (configurationReply) scripted = configurationReply(d.TransferBufferLength);
        reply = scripted ? *scripted : ConfigurationDescriptor();
    } else if (d.DescriptorType == USB_STRING_DESCRIPTOR_TYPE) {
        if (firmwareRunning && d.Index == 2) {
            reply = runningProbeReply;
        } else {
            reply = {8, 3, 'B', 0, 'o', 0, 'o', 0};
        }
    } else {
        return host::UsbAnswer::Failure(STATUS_UNSUCCESSFUL, host::kUsbdStatusStallPid);
    }
    const size_t n = std::min<size_t>(reply.size(), d.TransferBufferLength);
    std::memcpy(d.TransferBuffer, reply.data(), n);
    d.TransferBufferLength = static_cast<ULONG>(n);
    return host::UsbAnswer::Success();
}

host::UsbAnswer ScriptedStick::Transfer(const host::UsbRequest& request) {
    auto& t = request.urb->UrbBulkOrInterruptTransfer;
    if (request.endpoint.type == UsbdPipeTypeInterrupt) {
        std::lock_guard guard(lock_);
        interruptEndpoint_ = request.endpoint.address;
        if (reports_.empty()) return host::UsbAnswer::WaitForWake();
        std::vector<uint8_t> report = reports_.front();
        reports_.pop_front();
        const size_t n = std::min<size_t>(report.size(), t.TransferBufferLength);
        std::memcpy(t.TransferBuffer, report.data(), n);
        t.TransferBufferLength = static_cast<ULONG>(n);
        return host::UsbAnswer::Success();
    }
    if (request.endpoint.IsIn()) {
        // Stream data never comes: the reads stay in flight until cancelled or aborted.
        if (request.endpoint.address != 0x81) return host::UsbAnswer::WaitForCancel();
        // Command replies: nothing to say.
        t.TransferBufferLength = 0;
    }
    return host::UsbAnswer::Success();
}

host::UsbAnswer ScriptedStick::Isochronous(const host::UsbRequest& request) {
    // An isochronous read always ends (a frame goes by); this stick sends empty packets, a little
    // later so that the readers do not spin.
    if (request.attempt == 0) return host::UsbAnswer::WaitForWake();
    auto& t = request.urb->UrbIsochronousTransfer;
    for (ULONG i = 0; i < t.NumberOfPackets; ++i) {
        t.IsoPacket[i].Length = 0;
        t.IsoPacket[i].Status = USBD_STATUS_SUCCESS;
    }
    t.TransferBufferLength = 0;
    return host::UsbAnswer::Success();
}

void ScriptedStick::PushReport(const std::vector<uint8_t>& report) {
    host::UsbBus* bus;
    PDEVICE_OBJECT device;
    uint8_t endpoint = 0x86;
    {
        std::lock_guard guard(lock_);
        reports_.push_back(report);
        bus = bus_;
        device = device_;
        for (const EndpointSpec& e : endpoints) {
            if (e.type == UsbdPipeTypeInterrupt) endpoint = e.address;
        }
    }
    if (bus != nullptr) bus->Wake(device, endpoint);
}

std::vector<SeenRequest> ScriptedStick::Requests() {
    std::lock_guard guard(lock_);
    return seen_;
}

size_t ScriptedStick::CountRequests(const std::function<bool(const SeenRequest&)>& predicate) {
    std::lock_guard guard(lock_);
    return static_cast<size_t>(std::count_if(seen_.begin(), seen_.end(), predicate));
}

size_t ScriptedStick::InterruptReadsSeen() {
    return CountRequests([](const SeenRequest& r) { return r.pipeType == UsbdPipeTypeInterrupt; });
}

}  // namespace kvstest
