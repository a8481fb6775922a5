// The properties kernel streaming answers itself for a filter, from its descriptor: the pin
// factories and their data-range intersection (KSPROPSETID_Pin), the topology
// (KSPROPSETID_Topology) and the component id (KSPROPSETID_General). They are get-only; names
// (KSPROPERTY_PIN_NAME, KSPROPERTY_TOPOLOGY_NAME), which kernel streaming reads from the registry,
// are not offered.
#include <vector>

#include "platform/host/driver_call.h"
#include "platform/host/ks_data_ranges.h"
#include "platform/host/ks_request.h"

namespace host {
namespace {

const KSPIN_DESCRIPTOR_EX* PinDescriptorAt(const KSFILTER_DESCRIPTOR* descriptor, ULONG pinId) {
    return reinterpret_cast<const KSPIN_DESCRIPTOR_EX*>(
        reinterpret_cast<const char*>(descriptor->PinDescriptors) +
        size_t{pinId} * descriptor->PinDescriptorSize);
}

ULONG InstancesOf(KsFilterObject* filter, ULONG pinId) {
    std::lock_guard control(filter->control);
    ULONG count = 0;
    for (const KsPinObject* pin : filter->pins) count += pin->ks.Id == pinId ? 1 : 0;
    return count;
}

NTSTATUS AnswerRanges(KsRequest& request, const KSPIN_DESCRIPTOR& pin) {
    std::vector<uint8_t> items;
    for (ULONG i = 0; i < pin.DataRangesCount; ++i) {
        const KSDATARANGE* range = pin.DataRanges[i];
        const auto* bytes = reinterpret_cast<const uint8_t*>(range);
        items.insert(items.end(), bytes, bytes + range->FormatSize);
        items.resize(AlignRange(static_cast<ULONG>(items.size())), 0);
    }
    return AnswerList(request, items.data(), static_cast<ULONG>(items.size()), pin.DataRangesCount);
}

// The application's ranges (a KSMULTIPLE_ITEM after the pin header) are tried in order against
// the pin's matching ranges through the pin's intersection handler, with the filter as its
// context. STATUS_NO_MATCH from the handler moves on; any other answer is the result.
NTSTATUS Intersect(KsRequest& request, const KSPIN_DESCRIPTOR_EX& pin) {
    constexpr ULONG kListAt = sizeof(KSP_PIN);
    if (request.requestLength < kListAt + sizeof(KSMULTIPLE_ITEM))
        return STATUS_INVALID_BUFFER_SIZE;
    const auto* list = reinterpret_cast<const KSMULTIPLE_ITEM*>(request.request + kListAt);
    if (list->Size < sizeof(KSMULTIPLE_ITEM) || list->Size > request.requestLength - kListAt)
        return STATUS_INVALID_BUFFER_SIZE;
    if (pin.IntersectHandler == nullptr) return STATUS_NO_MATCH;
    const ULONG end = kListAt + list->Size;
    ULONG at = kListAt + sizeof(KSMULTIPLE_ITEM);
    for (ULONG i = 0; i < list->Count; ++i) {
        if (end - at < sizeof(KSDATARANGE)) return STATUS_INVALID_PARAMETER;
        auto* range = reinterpret_cast<PKSDATARANGE>(request.request + at);
        if (range->FormatSize < sizeof(KSDATARANGE) || range->FormatSize > end - at)
            return STATUS_INVALID_PARAMETER;
        for (ULONG j = 0; j < pin.PinDescriptor.DataRangesCount; ++j) {
            PKSDATARANGE matching = pin.PinDescriptor.DataRanges[j];
            if (matching == nullptr || !RangesMatch(*range, *matching)) continue;
            ULONG size = 0;
            request.irp->IoStatus.Information = 0;
            const NTSTATUS status =
                CallDriver(pin.IntersectHandler, static_cast<PVOID>(&request.filter->ks),
                           request.irp, reinterpret_cast<PKSP_PIN>(request.request), range,
                           matching, request.dataLength, static_cast<PVOID>(request.data), &size);
            if (status == STATUS_NO_MATCH) continue;
            if (status == STATUS_SUCCESS || status == STATUS_BUFFER_OVERFLOW)
                request.information = status == STATUS_SUCCESS && size > request.dataLength
                                          ? request.dataLength
                                          : size;
            return status;
        }
        at += AlignRange(range->FormatSize);
        if (at > end) break;
    }
    return STATUS_NO_MATCH;
}

NTSTATUS PinProperty(KsRequest& request, ULONG id) {
    const KSFILTER_DESCRIPTOR* descriptor = request.filter->descriptor;
    if (id == KSPROPERTY_PIN_CTYPES)
        return AnswerValue(request, &descriptor->PinDescriptorsCount, sizeof(ULONG));
    if (request.requestLength < sizeof(KSP_PIN)) return STATUS_INVALID_BUFFER_SIZE;
    const ULONG pinId = reinterpret_cast<const KSP_PIN*>(request.request)->PinId;
    if (pinId >= descriptor->PinDescriptorsCount) return STATUS_INVALID_PARAMETER;
    const KSPIN_DESCRIPTOR_EX& pin = *PinDescriptorAt(descriptor, pinId);
    switch (id) {
        case KSPROPERTY_PIN_CINSTANCES: {
            const KSPIN_CINSTANCES instances{pin.InstancesPossible,
                                             InstancesOf(request.filter, pinId)};
            return AnswerValue(request, &instances, sizeof(instances));
        }
        case KSPROPERTY_PIN_NECESSARYINSTANCES:
            return AnswerValue(request, &pin.InstancesNecessary, sizeof(ULONG));
        case KSPROPERTY_PIN_DATAFLOW:
            return AnswerValue(request, &pin.PinDescriptor.DataFlow, sizeof(ULONG));
        case KSPROPERTY_PIN_COMMUNICATION:
            return AnswerValue(request, &pin.PinDescriptor.Communication, sizeof(ULONG));
        case KSPROPERTY_PIN_CATEGORY:
            if (pin.PinDescriptor.Category == nullptr) return STATUS_NOT_FOUND;
            return AnswerValue(request, pin.PinDescriptor.Category, sizeof(GUID));
        case KSPROPERTY_PIN_INTERFACES:
            return AnswerList(request, pin.PinDescriptor.Interfaces,
                              pin.PinDescriptor.InterfacesCount * sizeof(KSPIN_INTERFACE),
                              pin.PinDescriptor.InterfacesCount);
        case KSPROPERTY_PIN_MEDIUMS:
            return AnswerList(request, pin.PinDescriptor.Mediums,
                              pin.PinDescriptor.MediumsCount * sizeof(KSPIN_MEDIUM),
                              pin.PinDescriptor.MediumsCount);
        case KSPROPERTY_PIN_DATARANGES:
            return AnswerRanges(request, pin.PinDescriptor);
        case KSPROPERTY_PIN_DATAINTERSECTION:
            return Intersect(request, pin);
        default:
            return STATUS_NOT_FOUND;
    }
}

NTSTATUS TopologyProperty(KsRequest& request, ULONG id) {
    const KSFILTER_DESCRIPTOR* descriptor = request.filter->descriptor;
    switch (id) {
        case KSPROPERTY_TOPOLOGY_CATEGORIES:
            return AnswerList(request, descriptor->Categories,
                              descriptor->CategoriesCount * sizeof(GUID),
                              descriptor->CategoriesCount);
        case KSPROPERTY_TOPOLOGY_NODES: {
            std::vector<GUID> types;
            for (ULONG i = 0; i < descriptor->NodeDescriptorsCount; ++i) {
                const auto* node = reinterpret_cast<const KSNODE_DESCRIPTOR*>(
                    reinterpret_cast<const char*>(descriptor->NodeDescriptors) +
                    size_t{i} * descriptor->NodeDescriptorSize);
                types.push_back(node->Type != nullptr ? *node->Type : GUID_NULL);
            }
            return AnswerList(request, types.data(),
                              static_cast<ULONG>(types.size() * sizeof(GUID)),
                              static_cast<ULONG>(types.size()));
        }
        case KSPROPERTY_TOPOLOGY_CONNECTIONS:
            return AnswerList(request, descriptor->Connections,
                              descriptor->ConnectionsCount * sizeof(KSTOPOLOGY_CONNECTION),
                              descriptor->ConnectionsCount);
        default:
            return STATUS_NOT_FOUND;
    }
}

}  // namespace

bool ServeStandardFilterProperty(KsRequest& request, NTSTATUS* status) {
    const auto* header = reinterpret_cast<const KSPROPERTY*>(request.request);
    const bool pinSet = IsEqualGUID(header->Set, KSPROPSETID_Pin);
    const bool topologySet = IsEqualGUID(header->Set, KSPROPSETID_Topology);
    const bool generalSet = IsEqualGUID(header->Set, KSPROPSETID_General);
    if (!pinSet && !topologySet && !generalSet) return false;

    switch (header->Flags) {
        case KSPROPERTY_TYPE_SETSUPPORT:
            *status = STATUS_SUCCESS;
            return true;
        case KSPROPERTY_TYPE_BASICSUPPORT: {
            const ULONG access = KSPROPERTY_TYPE_GET | KSPROPERTY_TYPE_BASICSUPPORT;
            *status = AnswerValue(request, &access, sizeof(access));
            return true;
        }
        case KSPROPERTY_TYPE_GET:
            break;
        default:
            *status = STATUS_INVALID_DEVICE_REQUEST;
            return true;
    }
    if (pinSet) {
        *status = PinProperty(request, header->Id);
    } else if (topologySet) {
        *status = TopologyProperty(request, header->Id);
    } else if (header->Id == KSPROPERTY_GENERAL_COMPONENTID &&
               request.filter->descriptor->ComponentId != nullptr) {
        *status =
            AnswerValue(request, request.filter->descriptor->ComponentId, sizeof(KSCOMPONENTID));
    } else {
        *status = STATUS_NOT_FOUND;
    }
    return true;
}

}  // namespace host
