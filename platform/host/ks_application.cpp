// The application's handles on kernel streaming.
#include "platform/host/ks_application.h"

#include <cstring>

#include "platform/host/ks_services.h"

namespace host {

std::vector<uint8_t> KsRequestHeader::Bytes() const {
    KSP_NODE head{};
    head.Property.Set = set;
    head.Property.Id = id;
    head.Property.Flags = flags | (node ? static_cast<ULONG>(KSPROPERTY_TYPE_TOPOLOGY) : 0);
    head.NodeId = node.value_or(0);
    const size_t headBytes = node ? sizeof(KSP_NODE) : sizeof(KSPROPERTY);
    std::vector<uint8_t> bytes(headBytes + instance.size());
    std::memcpy(bytes.data(), &head, headBytes);
    if (!instance.empty()) std::memcpy(bytes.data() + headBytes, instance.data(), instance.size());
    return bytes;
}

NTSTATUS KsHandle::DeviceControl(ULONG ioControlCode, const void* input, ULONG inputLength,
                                 void* output, ULONG outputLength, ULONG* returned) {
    if (filter_ == nullptr) return STATUS_INVALID_PARAMETER;
    return KsDeviceIoControl(filter_, pin_, ioControlCode, input, inputLength, output, outputLength,
                             returned);
}

NTSTATUS KsHandle::Property(const KsRequestHeader& header, void* data, ULONG dataLength,
                            ULONG* returned) {
    const std::vector<uint8_t> request = header.Bytes();
    return DeviceControl(IOCTL_KS_PROPERTY, request.data(), static_cast<ULONG>(request.size()),
                         data, dataLength, returned);
}

NTSTATUS KsHandle::Method(const KsRequestHeader& header, void* data, ULONG dataLength,
                          ULONG* returned) {
    const std::vector<uint8_t> request = header.Bytes();
    return DeviceControl(IOCTL_KS_METHOD, request.data(), static_cast<ULONG>(request.size()), data,
                         dataLength, returned);
}

NTSTATUS KsHandle::Get(const GUID& set, ULONG id, void* value, ULONG size, ULONG* returned,
                       std::optional<ULONG> node) {
    return Property({set, id, KSPROPERTY_TYPE_GET, node, {}}, value, size, returned);
}

NTSTATUS KsHandle::Set(const GUID& set, ULONG id, const void* value, ULONG size,
                       std::optional<ULONG> node) {
    return Property({set, id, KSPROPERTY_TYPE_SET, node, {}}, const_cast<void*>(value), size);
}

NTSTATUS KsHandle::GetULong(const GUID& set, ULONG id, ULONG* value, std::optional<ULONG> node) {
    return Get(set, id, value, sizeof(ULONG), nullptr, node);
}

NTSTATUS KsHandle::SetULong(const GUID& set, ULONG id, ULONG value, std::optional<ULONG> node) {
    return Set(set, id, &value, sizeof(value), node);
}

NTSTATUS KsHandle::GetBytes(const KsRequestHeader& header, std::vector<uint8_t>* value) {
    value->clear();
    ULONG size = 0;
    NTSTATUS status = Property(header, nullptr, 0, &size);
    if (NT_SUCCESS(status)) return size == 0 ? STATUS_SUCCESS : STATUS_UNSUCCESSFUL;
    if (status != STATUS_BUFFER_OVERFLOW) return status;
    value->assign(size, 0);
    ULONG returned = 0;
    status = Property(header, value->data(), size, &returned);
    if (!NT_SUCCESS(status)) return status;
    value->resize(returned);
    return STATUS_SUCCESS;
}

NTSTATUS KsHandle::Call(const GUID& set, ULONG id, void* data, ULONG dataLength, ULONG* returned) {
    return Method({set, id, KSMETHOD_TYPE_SEND, std::nullopt, {}}, data, dataLength, returned);
}

KsPinHandle::~KsPinHandle() {
    (void)Close();
}

NTSTATUS KsPinHandle::Close() {
    if (pin_ == nullptr) return STATUS_SUCCESS;
    KsPinObject* pin = pin_;
    pin_ = nullptr;
    filter_ = nullptr;
    // Closing the filter closes its pins: a pin that is gone is not closed twice.
    if (FindPinObject(&pin->ks) != pin) return STATUS_SUCCESS;
    return CloseKsPin(pin);
}

NTSTATUS KsPinHandle::SetState(KSSTATE state) {
    if (pin_ == nullptr) return STATUS_INVALID_PARAMETER;
    return SetKsPinState(pin_, state);
}

KSSTATE KsPinHandle::State() {
    return pin_ != nullptr ? KsPinState(pin_) : KSSTATE_STOP;
}

std::unique_ptr<KsFilterHandle> KsFilterHandle::Open(PKSDEVICE device, NTSTATUS* status,
                                                     size_t factoryIndex) {
    KsFilterObject* filter = CreateKsFilter(device, factoryIndex, status);
    if (filter == nullptr) return nullptr;
    return std::unique_ptr<KsFilterHandle>(new KsFilterHandle(filter));
}

KsFilterHandle::~KsFilterHandle() {
    (void)Close();
}

NTSTATUS KsFilterHandle::Close() {
    if (filter_ == nullptr) return STATUS_SUCCESS;
    KsFilterObject* filter = filter_;
    filter_ = nullptr;
    return CloseKsFilter(filter);
}

NTSTATUS KsFilterHandle::PinFactoryCount(ULONG* count) {
    return GetULong(KSPROPSETID_Pin, KSPROPERTY_PIN_CTYPES, count);
}

namespace {

// A KSP_PIN request: the header, then the pin id and a reserved word.
KsRequestHeader PinRequest(ULONG id, ULONG pinId) {
    KsRequestHeader header{KSPROPSETID_Pin, id, KSPROPERTY_TYPE_GET, std::nullopt, {}};
    const ULONG tail[2] = {pinId, 0};
    static_assert(sizeof(KSP_PIN) == sizeof(KSPROPERTY) + sizeof(tail));
    header.instance.resize(sizeof(tail));
    std::memcpy(header.instance.data(), tail, sizeof(tail));
    return header;
}

}  // namespace

NTSTATUS KsFilterHandle::PinInstances(ULONG pinId, KSPIN_CINSTANCES* instances) {
    return Property(PinRequest(KSPROPERTY_PIN_CINSTANCES, pinId), instances, sizeof(*instances));
}

NTSTATUS KsFilterHandle::NecessaryInstances(ULONG pinId, ULONG* count) {
    return Property(PinRequest(KSPROPERTY_PIN_NECESSARYINSTANCES, pinId), count, sizeof(ULONG));
}

NTSTATUS KsFilterHandle::PinDataFlow(ULONG pinId, ULONG* dataFlow) {
    return Property(PinRequest(KSPROPERTY_PIN_DATAFLOW, pinId), dataFlow, sizeof(ULONG));
}

NTSTATUS KsFilterHandle::PinCategory(ULONG pinId, GUID* category) {
    return Property(PinRequest(KSPROPERTY_PIN_CATEGORY, pinId), category, sizeof(GUID));
}

NTSTATUS KsFilterHandle::ListProperty(const KsRequestHeader& header, std::vector<uint8_t>* list) {
    ULONG size = 0;
    NTSTATUS status = Property(header, nullptr, 0, &size);
    if (status != STATUS_BUFFER_OVERFLOW) return NT_SUCCESS(status) ? STATUS_UNSUCCESSFUL : status;
    list->assign(size, 0);
    ULONG returned = 0;
    status = Property(header, list->data(), size, &returned);
    if (!NT_SUCCESS(status)) return status;
    list->resize(returned);
    return returned >= sizeof(KSMULTIPLE_ITEM) ? STATUS_SUCCESS : STATUS_UNSUCCESSFUL;
}

NTSTATUS KsFilterHandle::DataRanges(ULONG pinId, std::vector<std::vector<uint8_t>>* ranges) {
    std::vector<uint8_t> list;
    const NTSTATUS status = ListProperty(PinRequest(KSPROPERTY_PIN_DATARANGES, pinId), &list);
    if (!NT_SUCCESS(status)) return status;
    KSMULTIPLE_ITEM header;
    std::memcpy(&header, list.data(), sizeof(header));
    ranges->clear();
    size_t at = sizeof(header);
    for (ULONG i = 0; i < header.Count && at + sizeof(KSDATARANGE) <= list.size(); ++i) {
        KSDATARANGE range;
        std::memcpy(&range, list.data() + at, sizeof(range));
        if (range.FormatSize < sizeof(range) || at + range.FormatSize > list.size())
            return STATUS_UNSUCCESSFUL;
        ranges->emplace_back(list.begin() + at, list.begin() + at + range.FormatSize);
        at += (range.FormatSize + 7u) & ~size_t{7};
    }
    return STATUS_SUCCESS;
}

NTSTATUS KsFilterHandle::Intersect(ULONG pinId, std::span<const uint8_t> range,
                                   std::vector<uint8_t>* format) {
    KsRequestHeader header = PinRequest(KSPROPERTY_PIN_DATAINTERSECTION, pinId);
    const ULONG rangeBytes = static_cast<ULONG>((range.size() + 7) & ~size_t{7});
    const KSMULTIPLE_ITEM list{static_cast<ULONG>(sizeof(KSMULTIPLE_ITEM) + rangeBytes), 1};
    const size_t at = header.instance.size();
    header.instance.resize(at + sizeof(list) + rangeBytes, 0);
    std::memcpy(header.instance.data() + at, &list, sizeof(list));
    std::memcpy(header.instance.data() + at + sizeof(list), range.data(), range.size());
    ULONG size = 0;
    NTSTATUS status = Property(header, nullptr, 0, &size);
    if (status != STATUS_BUFFER_OVERFLOW) return NT_SUCCESS(status) ? STATUS_UNSUCCESSFUL : status;
    format->assign(size, 0);
    ULONG returned = 0;
    status = Property(header, format->data(), size, &returned);
    if (NT_SUCCESS(status)) format->resize(returned);
    return status;
}

NTSTATUS KsFilterHandle::Categories(std::vector<GUID>* categories) {
    std::vector<uint8_t> list;
    const NTSTATUS status = ListProperty(
        {KSPROPSETID_Topology, KSPROPERTY_TOPOLOGY_CATEGORIES, KSPROPERTY_TYPE_GET, {}, {}}, &list);
    if (!NT_SUCCESS(status)) return status;
    categories->resize((list.size() - sizeof(KSMULTIPLE_ITEM)) / sizeof(GUID));
    std::memcpy(categories->data(), list.data() + sizeof(KSMULTIPLE_ITEM),
                categories->size() * sizeof(GUID));
    return STATUS_SUCCESS;
}

NTSTATUS KsFilterHandle::NodeTypes(std::vector<GUID>* types) {
    std::vector<uint8_t> list;
    const NTSTATUS status = ListProperty(
        {KSPROPSETID_Topology, KSPROPERTY_TOPOLOGY_NODES, KSPROPERTY_TYPE_GET, {}, {}}, &list);
    if (!NT_SUCCESS(status)) return status;
    types->resize((list.size() - sizeof(KSMULTIPLE_ITEM)) / sizeof(GUID));
    std::memcpy(types->data(), list.data() + sizeof(KSMULTIPLE_ITEM), types->size() * sizeof(GUID));
    return STATUS_SUCCESS;
}

NTSTATUS KsFilterHandle::Connections(std::vector<KSTOPOLOGY_CONNECTION>* connections) {
    std::vector<uint8_t> list;
    const NTSTATUS status = ListProperty(
        {KSPROPSETID_Topology, KSPROPERTY_TOPOLOGY_CONNECTIONS, KSPROPERTY_TYPE_GET, {}, {}},
        &list);
    if (!NT_SUCCESS(status)) return status;
    connections->resize((list.size() - sizeof(KSMULTIPLE_ITEM)) / sizeof(KSTOPOLOGY_CONNECTION));
    std::memcpy(connections->data(), list.data() + sizeof(KSMULTIPLE_ITEM),
                connections->size() * sizeof(KSTOPOLOGY_CONNECTION));
    return STATUS_SUCCESS;
}

std::unique_ptr<KsPinHandle> KsFilterHandle::CreatePin(ULONG pinId, std::span<const uint8_t> format,
                                                       OutputPin* frames, NTSTATUS* status) {
    if (filter_ == nullptr) {
        *status = STATUS_INVALID_PARAMETER;
        return nullptr;
    }
    // The connection format, 8-byte aligned as kernel streaming keeps formats.
    std::vector<uint64_t> aligned((format.size() + 7) / 8);
    std::memcpy(aligned.data(), format.data(), format.size());
    KsPinObject* pin = CreateKsPin(filter_, pinId, aligned.data(),
                                   static_cast<ULONG>(format.size()), frames, status);
    if (pin == nullptr) return nullptr;
    return std::unique_ptr<KsPinHandle>(new KsPinHandle(filter_, pin));
}

}  // namespace host
