#include "stream_fixture.h"

#include <algorithm>
#include <chrono>
#include <cstring>
#include <thread>

namespace streamtest {

StreamStick::StreamStick(Path path, sim::TransportStreamSource* source)
    : stick(std::make_shared<kvstest::ScriptedStick>(0x3344, path == Path::Bulk ? 0x1120 : 0x1122,
                                                     true)),
      path_(path),
      source_(source) {
    stick->intercept = [this](const host::UsbRequest& request) { return Serve(request); };
}

std::optional<host::UsbAnswer> StreamStick::Serve(const host::UsbRequest& request) {
    if (request.endpoint.address != StreamEndpoint()) return std::nullopt;
    if (request.attempt == 0) ++readsSeen;
    if (holdReads) return host::UsbAnswer::WaitForCancel();
    host::UsbAnswer answer = script ? script(readsAnswered + 1, request) : FromSource(request);
    if (answer.kind == host::UsbAnswer::Kind::Complete) ++readsAnswered;
    return answer;
}

host::UsbAnswer StreamStick::FromSource(const host::UsbRequest& request) {
    if (path_ == Path::Bulk) {
        auto& bulk = request.urb->UrbBulkOrInterruptTransfer;
        bulk.TransferBufferLength = static_cast<ULONG>(
            source_->Read(static_cast<uint8_t*>(bulk.TransferBuffer), bulk.TransferBufferLength));
        return host::UsbAnswer::Success();
    }
    auto& iso = request.urb->UrbIsochronousTransfer;
    auto* buffer = static_cast<uint8_t*>(iso.TransferBuffer);
    for (ULONG i = 0; i < iso.NumberOfPackets; ++i) {
        const ULONG room = std::min<ULONG>(
            188, host::IsoPacketCapacity(iso, i, request.endpoint.maximumPacketSize));
        iso.IsoPacket[i].Length =
            static_cast<ULONG>(source_->Read(buffer + iso.IsoPacket[i].Offset, room));
        iso.IsoPacket[i].Status = USBD_STATUS_SUCCESS;
    }
    return host::UsbAnswer::Success();
}

void FillBulk(const host::UsbRequest& request, ULONG count, UCHAR value) {
    auto& bulk = request.urb->UrbBulkOrInterruptTransfer;
    std::memset(bulk.TransferBuffer, value, count);
    bulk.TransferBufferLength = count;
}

void FillIso(const host::UsbRequest& request, const std::vector<ULONG>& lengths, UCHAR value,
             const std::vector<ULONG>& failedPackets) {
    auto& iso = request.urb->UrbIsochronousTransfer;
    auto* buffer = static_cast<uint8_t*>(iso.TransferBuffer);
    for (ULONG i = 0; i < iso.NumberOfPackets; ++i) {
        const ULONG length = i < lengths.size() ? lengths[i] : 0;
        // Each packet's bytes say which packet they are, after the read's value.
        std::memset(buffer + iso.IsoPacket[i].Offset, static_cast<UCHAR>(value + i), length);
        iso.IsoPacket[i].Length = length;
        const bool failed =
            std::find(failedPackets.begin(), failedPackets.end(), i) != failedPackets.end();
        iso.IsoPacket[i].Status =
            failed ? host::kUsbdStatusIsochRequestFailed : USBD_STATUS_SUCCESS;
    }
}

StreamFixture::StreamFixture(Path path, unsigned busWorkers, host::OutputPinOptions pinOptions,
                             sim::TransportStreamSource* source, uint16_t isoPacketBytes,
                             host::UsbSpeed speed)
    : pin(pinOptions),
      stick(path, source != nullptr ? source : &generator),
      system(host::ClockMode::Virtual, busWorkers) {
    if (isoPacketBytes != 0)
        for (kvstest::EndpointSpec& endpoint : stick.stick->endpoints)
            if (endpoint.type == UsbdPipeTypeIsochronous)
                endpoint.maximumPacketSize = isoPacketBytes;
    stick.stick->linkSpeed = speed;
    system.Plug(stick.stick);
    device = system.Current();
    if (device == nullptr || device->startStatus != STATUS_SUCCESS) {
        ADD_FAILURE() << "the stick did not start";
        return;
    }
    context = device->Context();
    transport = device->Transport();
}

StreamFixture::~StreamFixture() {
    // Unplug and remove while the pin still exists; then the pin goes.
    if (device != nullptr && !device->removed) system.Unplug(device->physicalDeviceObject);
}

void StreamFixture::StartStream() {
    WritePointerRelease(reinterpret_cast<PVOID volatile*>(&context->outputPin), pin.KsPin());
    WriteLongRelease(reinterpret_cast<LONG volatile*>(&context->antennaPinState), KSSTATE_RUN);
    StartStreamLocked(device->Device());
}

void StreamFixture::Settle() {
    while (system.Bus().WorkInProgress())
        std::this_thread::sleep_for(std::chrono::microseconds(200));
}

}  // namespace streamtest
