// USBPcap records of the bus traffic.
#include "sim/pcap_writer.h"

#include <algorithm>

#include "platform/host/clock.h"

namespace sim {
namespace {

// USBPcap transfer types and control stages.
constexpr uint8_t kTransferIsochronous = 0;
constexpr uint8_t kTransferInterrupt = 1;
constexpr uint8_t kTransferControl = 2;
constexpr uint8_t kTransferBulk = 3;
constexpr uint8_t kTransferRequestInfo = 0xFE;
constexpr uint8_t kStageSetup = 0;
constexpr uint8_t kStageComplete = 3;
constexpr uint8_t kInfoCompletion = 0x01;  // the record travels from the device up
constexpr uint16_t kBusNumber = 1;

constexpr size_t kCommonHeaderBytes = 27;
constexpr uint32_t kSnapshotLength = 0x00100000;         // above the largest isochronous read
constexpr int64_t kUnixEpochTicks = 116444736000000000;  // 1970-01-01 in 100 ns since 1601

class Encoder {
  public:
    explicit Encoder(std::vector<uint8_t>* out) : out_(out) {}
    void U8(uint8_t value) { out_->push_back(value); }
    void U16(uint16_t value) {
        U8(static_cast<uint8_t>(value));
        U8(static_cast<uint8_t>(value >> 8));
    }
    void U32(uint32_t value) {
        U16(static_cast<uint16_t>(value));
        U16(static_cast<uint16_t>(value >> 16));
    }
    void U64(uint64_t value) {
        U32(static_cast<uint32_t>(value));
        U32(static_cast<uint32_t>(value >> 32));
    }
    void Bytes(const void* data, size_t count) {
        const auto* bytes = static_cast<const uint8_t*>(data);
        out_->insert(out_->end(), bytes, bytes + count);
    }

  private:
    std::vector<uint8_t>* out_;
};

uint8_t TransferTypeOf(const host::UsbTrafficRecord& record) {
    switch (record.function) {
        case URB_FUNCTION_GET_DESCRIPTOR_FROM_DEVICE:
        case URB_FUNCTION_SELECT_CONFIGURATION:
            return kTransferControl;
        case URB_FUNCTION_ISOCH_TRANSFER:
            return kTransferIsochronous;
        case URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER:
            return record.endpoint.type == UsbdPipeTypeInterrupt ? kTransferInterrupt
                                                                 : kTransferBulk;
        default:
            return kTransferRequestInfo;
    }
}

}  // namespace

PcapWriter::PcapWriter(const std::string& path) {
    file_ = std::fopen(path.c_str(), "wb");
    if (file_ == nullptr) return;
    std::vector<uint8_t> header;
    Encoder encoder(&header);
    encoder.U32(0xA1B2C3D4);  // microsecond time stamps, written little-endian
    encoder.U16(2);
    encoder.U16(4);
    encoder.U32(0);  // time zone
    encoder.U32(0);  // accuracy
    encoder.U32(kSnapshotLength);
    encoder.U32(kLinkTypeUsbPcap);
    std::fwrite(header.data(), 1, header.size(), file_);
}

PcapWriter::~PcapWriter() {
    if (file_ != nullptr) std::fclose(file_);
}

size_t PcapWriter::RecordsWritten() const {
    std::lock_guard guard(lock_);
    return records_;
}

void PcapWriter::Flush() {
    std::lock_guard guard(lock_);
    if (file_ != nullptr) std::fflush(file_);
}

void PcapWriter::RequestSubmitted(const host::UsbTrafficRecord& record) {
    WriteRecord(record, false);
}

void PcapWriter::RequestCompleted(const host::UsbTrafficRecord& record) {
    WriteRecord(record, true);
}

void PcapWriter::WriteRecord(const host::UsbTrafficRecord& record, bool completed) {
    if (file_ == nullptr || record.urb == nullptr) return;
    const URB* urb = record.urb;
    const uint8_t transfer = TransferTypeOf(record);
    const bool in = record.endpoint.IsIn();

    // What follows the pseudo-header, and the header's own extension.
    std::vector<uint8_t> extension;
    Encoder extra(&extension);
    const uint8_t* data = nullptr;
    size_t dataBytes = 0;
    uint8_t endpoint = record.endpoint.address;
    uint8_t setup[8] = {};

    if (record.function == URB_FUNCTION_GET_DESCRIPTOR_FROM_DEVICE) {
        const auto& request = urb->UrbControlDescriptorRequest;
        endpoint = 0x80;
        extra.U8(completed ? kStageComplete : kStageSetup);
        if (!completed) {
            setup[0] = 0x80;  // device to host, standard, device
            setup[1] = 0x06;  // GET_DESCRIPTOR
            setup[2] = request.Index;
            setup[3] = request.DescriptorType;
            setup[4] = static_cast<uint8_t>(request.LanguageId);
            setup[5] = static_cast<uint8_t>(request.LanguageId >> 8);
            setup[6] = static_cast<uint8_t>(request.TransferBufferLength);
            setup[7] = static_cast<uint8_t>(request.TransferBufferLength >> 8);
            data = setup;
            dataBytes = sizeof setup;
        } else {
            data = static_cast<const uint8_t*>(request.TransferBuffer);
            dataBytes = request.TransferBufferLength;
        }
    } else if (record.function == URB_FUNCTION_SELECT_CONFIGURATION) {
        endpoint = 0x00;
        extra.U8(completed ? kStageComplete : kStageSetup);
        if (!completed) {
            setup[1] = 0x09;  // SET_CONFIGURATION
            setup[2] = record.configurationValue;
            data = setup;
            dataBytes = sizeof setup;
        }
    } else if (record.function == URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER) {
        const auto& request = urb->UrbBulkOrInterruptTransfer;
        if (completed == in) {
            data = static_cast<const uint8_t*>(request.TransferBuffer);
            dataBytes = request.TransferBufferLength;
        }
    } else if (record.function == URB_FUNCTION_ISOCH_TRANSFER) {
        const auto& request = urb->UrbIsochronousTransfer;
        const USBD_ISO_PACKET_DESCRIPTOR* packet = request.IsoPacket;
        extra.U32(request.StartFrame);
        extra.U32(request.NumberOfPackets);
        extra.U32(request.ErrorCount);
        size_t end = 0;
        for (ULONG i = 0; i < request.NumberOfPackets; ++i) {
            extra.U32(packet[i].Offset);
            extra.U32(packet[i].Length);
            extra.U32(static_cast<uint32_t>(packet[i].Status));
            if (packet[i].Length > 0)
                end = std::max(end, size_t{packet[i].Offset} + packet[i].Length);
        }
        if (completed == in && request.TransferBuffer != nullptr) {
            data = static_cast<const uint8_t*>(request.TransferBuffer);
            dataBytes = in ? end : request.TransferBufferLength;
        }
    }
    if (data == nullptr) dataBytes = 0;

    std::vector<uint8_t> packet;
    Encoder encoder(&packet);
    encoder.U16(static_cast<uint16_t>(kCommonHeaderBytes + extension.size()));
    encoder.U64(reinterpret_cast<uintptr_t>(record.irp));
    encoder.U32(completed ? static_cast<uint32_t>(urb->UrbHeader.Status) : 0);
    encoder.U16(record.function);
    encoder.U8(completed ? kInfoCompletion : 0);
    encoder.U16(kBusNumber);
    encoder.U16(record.deviceAddress);
    encoder.U8(endpoint);
    encoder.U8(transfer);
    encoder.U32(static_cast<uint32_t>(dataBytes));
    encoder.Bytes(extension.data(), extension.size());
    if (dataBytes > 0) encoder.Bytes(data, dataBytes);
    WritePacket(packet);
}

void PcapWriter::WritePacket(const std::vector<uint8_t>& packet) {
    const int64_t ticks = std::max<int64_t>(host::NowTicks() - kUnixEpochTicks, 0);
    const uint64_t microseconds = static_cast<uint64_t>(ticks) / 10;
    std::vector<uint8_t> header;
    Encoder encoder(&header);
    encoder.U32(static_cast<uint32_t>(microseconds / 1000000));
    encoder.U32(static_cast<uint32_t>(microseconds % 1000000));
    encoder.U32(static_cast<uint32_t>(packet.size()));
    encoder.U32(static_cast<uint32_t>(packet.size()));
    std::lock_guard guard(lock_);
    std::fwrite(header.data(), 1, header.size(), file_);
    std::fwrite(packet.data(), 1, packet.size(), file_);
    ++records_;
}

}  // namespace sim
