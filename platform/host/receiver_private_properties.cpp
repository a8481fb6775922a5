#include "platform/host/receiver_private_properties.h"

#include <algorithm>
#include <cstring>

#include "driver/receiver_guids.h"

namespace host {

namespace {

constexpr ULONG kRecordBytes = 516;
constexpr ULONG kMessageBytes = 1032;
constexpr ULONG kMutexItemBytes = 16396;

void PutWord(std::vector<uint8_t>& data, size_t offset, ULONG value) {
    if (data.size() < offset + 4) data.resize(offset + 4, 0);
    std::memcpy(data.data() + offset, &value, 4);
}

ULONG WordAt(const std::vector<uint8_t>& data, size_t offset) {
    ULONG value = 0;
    if (data.size() >= offset + 4) std::memcpy(&value, data.data() + offset, 4);
    return value;
}

}  // namespace

ULONG ReceiverPrivateProperties::MinimumBytes(ULONG id) {
    if (id == 11 || id == 14) return kMessageBytes;
    if (id == 15 || id == 16) return kMutexItemBytes;
    return kRecordBytes;
}

KsRequestHeader ReceiverPrivateProperties::Header(ULONG id, ULONG flags) const {
    KsRequestHeader header;
    header.set = PrivatePropertySet;
    header.id = id;
    header.flags = flags;
    // The items ask for requests as large as their data; what follows the header is not used.
    header.instance.assign(MinimumBytes(id) - sizeof(KSPROPERTY), 0);
    return header;
}

NTSTATUS ReceiverPrivateProperties::Set(ULONG id, std::vector<uint8_t> data, ULONG dataBytes) {
    data.resize(std::max<size_t>({data.size(), MinimumBytes(id), dataBytes}), 0);
    return filter_->Property(Header(id, KSPROPERTY_TYPE_SET), data.data(),
                             static_cast<ULONG>(data.size()));
}

NTSTATUS ReceiverPrivateProperties::Get(ULONG id, std::vector<uint8_t>* data, ULONG dataBytes) {
    std::vector<uint8_t> buffer(std::max(MinimumBytes(id), dataBytes), 0);
    ULONG returned = 0;
    const NTSTATUS status = filter_->Property(Header(id, KSPROPERTY_TYPE_GET), buffer.data(),
                                              static_cast<ULONG>(buffer.size()), &returned);
    buffer.resize(NT_SUCCESS(status) ? std::min<size_t>(returned, buffer.size()) : 0);
    *data = std::move(buffer);
    return status;
}

NTSTATUS ReceiverPrivateProperties::Version(ULONG* length, ULONG* version) {
    std::vector<uint8_t> data;
    const NTSTATUS status = Get(0, &data);
    *length = WordAt(data, 0);
    *version = WordAt(data, 4);
    return status;
}

NTSTATUS ReceiverPrivateProperties::TakeKey(std::array<uint8_t, 4>* key) {
    std::vector<uint8_t> data;
    const NTSTATUS status = Get(1, &data);
    key->fill(0);
    if (data.size() >= 8) std::copy_n(data.begin() + 4, 4, key->begin());
    return status;
}

NTSTATUS ReceiverPrivateProperties::ClearKeys() {
    return Set(1, {});
}

NTSTATUS ReceiverPrivateProperties::LoadPids(ULONG mode, const std::vector<uint16_t>& pids,
                                             int count) {
    std::vector<uint8_t> data;
    PutWord(data, 0, 40);
    PutWord(data, 4, mode);
    data.resize(10, 0);
    data[8] = static_cast<uint8_t>(count >= 0 ? count : static_cast<int>(pids.size()));
    for (uint16_t pid : pids) {
        data.push_back(static_cast<uint8_t>(pid & 0xFF));
        data.push_back(static_cast<uint8_t>(pid >> 8));
    }
    return Set(2, std::move(data));
}

NTSTATUS ReceiverPrivateProperties::PassThrough(const PassThroughRecord& record) {
    std::vector<uint8_t> data;
    PutWord(data, 0, 272);
    PutWord(data, 4, record.operation);
    PutWord(data, 8, record.address);
    PutWord(data, 12, record.registerNumber);
    PutWord(data, 16, record.length);
    data.insert(data.end(), record.data.begin(), record.data.end());
    return Set(4, std::move(data));
}

NTSTATUS ReceiverPrivateProperties::SavedPassThrough(PassThroughRecord* record) {
    std::vector<uint8_t> data;
    const NTSTATUS status = Get(4, &data);
    *record = PassThroughRecord();
    if (data.size() >= 276) {
        record->operation = WordAt(data, 4);
        record->address = WordAt(data, 8);
        record->registerNumber = WordAt(data, 12);
        record->length = WordAt(data, 16);
        std::copy_n(data.begin() + 20, 256, record->data.begin());
    }
    return status;
}

NTSTATUS ReceiverPrivateProperties::Setting(ULONG id, ULONG check, uint8_t value) {
    std::vector<uint8_t> data;
    PutWord(data, 0, check);
    data.push_back(value);
    return Set(id, std::move(data));
}

NTSTATUS ReceiverPrivateProperties::ExtendedTune(ULONG frequencyKHz, ULONG bandwidthMHz,
                                                 ULONG offsetKHz) {
    std::vector<uint8_t> data;
    PutWord(data, 0, 24);
    PutWord(data, 4, frequencyKHz);
    PutWord(data, 8, bandwidthMHz);
    PutWord(data, 12, offsetKHz);
    return Set(9, std::move(data));
}

NTSTATUS ReceiverPrivateProperties::Status(PrivateStatus* status) {
    std::vector<uint8_t> data;
    const NTSTATUS result = Get(10, &data);
    *status = PrivateStatus();
    if (data.size() >= 7) *status = {data[4], data[5], data[6]};
    return result;
}

NTSTATUS ReceiverPrivateProperties::SendMessage(ULONG kind, const std::vector<uint8_t>& payload,
                                                ULONG item) {
    std::vector<uint8_t> data;
    PutWord(data, 0, kind);
    PutWord(data, 4, static_cast<ULONG>(payload.size()));
    data.insert(data.end(), payload.begin(), payload.end());
    return Set(item, std::move(data));
}

NTSTATUS ReceiverPrivateProperties::ReceiveMessage(ReceivedMessage* message, ULONG item) {
    std::vector<uint8_t> data;
    const NTSTATUS status = Get(item, &data);
    *message = ReceivedMessage();
    message->pending = WordAt(data, 0);
    message->length = WordAt(data, 4);
    if (data.size() > 8) message->payload.assign(data.begin() + 8, data.end());
    return status;
}

NTSTATUS ReceiverPrivateProperties::RawFrame(const std::vector<uint8_t>& frame) {
    std::vector<uint8_t> data;
    PutWord(data, 0, static_cast<ULONG>(frame.size()));
    data.insert(data.end(), frame.begin(), frame.end());
    return Set(12, std::move(data));
}

NTSTATUS ReceiverPrivateProperties::TuneParameters(ULONG frequencyKHz, ULONG bandwidthMHz,
                                                   ULONG symbolRate, ULONG offsetKHz, ULONG extra1,
                                                   ULONG extra2) {
    std::vector<uint8_t> data;
    PutWord(data, 0, 1);
    PutWord(data, 4, 0);
    PutWord(data, 8, frequencyKHz);
    PutWord(data, 12, bandwidthMHz);
    PutWord(data, 16, symbolRate);
    PutWord(data, 20, offsetKHz);
    PutWord(data, 24, extra1);
    PutWord(data, 28, extra2);
    return Set(13, std::move(data));
}

NTSTATUS ReceiverPrivateProperties::Sync(ULONG id, bool set) {
    if (set) return Set(id, {});
    std::vector<uint8_t> data;
    return Get(id, &data);
}

}  // namespace host
