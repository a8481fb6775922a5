// Property and method requests: kernel streaming captures the application's buffers, finds the
// set and item in the automation table of the object the request was sent to, checks the item's
// minimum sizes and direction, and only then calls the driver's handler.
//
// Node requests (the topology flag, a KSP_NODE or KSM_NODE header): a node has no handle of its
// own. Sent to a filter, the request is looked up in the automation table of the node it names
// (AVStream: KSNODE_DESCRIPTOR.AutomationTable). Sent to a pin, it is looked up in the pin's own
// automation table, as for any request on that handle, and the handler receives the node id in
// the header: BDA documents node properties as reached through the node's controlling pin, with
// the minidriver checking that the pin controls the node (BdaValidateNodeProperty). Kernel
// streaming never resolves a pin's node request through the filter's node descriptors; a pin
// whose table lacks the set refuses the request. Either way a node id beyond the filter's nodes
// is STATUS_NOT_FOUND.
//
// Refusals, none of which reaches a handler (the documents name the statuses of the user-mode
// side; these are their kernel counterparts):
//   request shorter than a header, than a node header (topology requests) or than the item's
//   minimum: STATUS_INVALID_BUFFER_SIZE;
//   unknown set: STATUS_PROPSET_NOT_FOUND; unknown item or node: STATUS_NOT_FOUND;
//   a direction the item has no handler for (a set of a get-only item):
//   STATUS_INVALID_DEVICE_REQUEST; a value buffer below the item's minimum:
//   STATUS_BUFFER_TOO_SMALL, or, for an empty buffer of a get, STATUS_BUFFER_OVERFLOW with the
//   minimum as the size needed; flags that are not one request type: STATUS_INVALID_PARAMETER.
// A handler finds IoStatus.Information at 0 and sets it to the bytes it returned. A basic-support
// query of an item without a support handler is answered from the item: its access flags, or a
// KSPROPERTY_DESCRIPTION of them (general type set, type VT_ILLEGAL: the item declares no values).
#include <memory>

#include "platform/host/driver_call.h"
#include "platform/host/host_request.h"
#include "platform/host/kernel_errors.h"
#include "platform/host/ks_request.h"
#include "platform/host/ks_services.h"

namespace host {
namespace {

constexpr CCHAR kRequestStackSize = 1;
constexpr ULONG kVariantTypeIllegal = 0xFFFF;

// An exact-size heap copy of an application buffer.
class Captured {
  public:
    Captured(const void* source, ULONG length) {
        if (length == 0) return;
        bytes_ = std::make_unique<uint8_t[]>(length);
        if (source != nullptr) std::memcpy(bytes_.get(), source, length);
    }
    uint8_t* Bytes() { return bytes_.get(); }

  private:
    std::unique_ptr<uint8_t[]> bytes_;
};

const KSAUTOMATION_TABLE* TableOfObject(const KsRequest& request) {
    if (request.pin != nullptr) return request.pin->ks.Descriptor->AutomationTable;
    return request.filter->descriptor->AutomationTable;
}

// The automation table that serves a node request: the pin's own for a request sent to a pin,
// the named node's for a request sent to the filter. False when the filter has no such node.
bool TableOfNodeRequest(const KsRequest& request, ULONG nodeId, const KSAUTOMATION_TABLE** table) {
    const KSFILTER_DESCRIPTOR* descriptor = request.filter->descriptor;
    if (nodeId >= descriptor->NodeDescriptorsCount) return false;
    if (request.pin != nullptr) {
        *table = TableOfObject(request);
        return true;
    }
    const auto* node = reinterpret_cast<const KSNODE_DESCRIPTOR*>(
        reinterpret_cast<const char*>(descriptor->NodeDescriptors) +
        size_t{nodeId} * descriptor->NodeDescriptorSize);
    *table = node->AutomationTable;
    return true;
}

template <typename Set>
const Set* FindSet(const Set* sets, ULONG count, const GUID& id) {
    for (ULONG i = 0; i < count; ++i)
        if (sets[i].Set != nullptr && IsEqualGUID(*sets[i].Set, id)) return &sets[i];
    return nullptr;
}

// Items are walked by the size the table declares for them.
template <typename Item>
const Item* FindItem(const Item* items, ULONG count, ULONG itemSize, ULONG id,
                     ULONG Item::*idMember) {
    if (itemSize < sizeof(Item)) {
        RecordKernelError("automation table declares items smaller than the platform's");
        return nullptr;
    }
    for (ULONG i = 0; i < count; ++i) {
        const auto* item = reinterpret_cast<const Item*>(reinterpret_cast<const char*>(items) +
                                                         size_t{i} * itemSize);
        if (item->*idMember == id) return item;
    }
    return nullptr;
}

NTSTATUS CallHandler(KsRequest& request, PFNKSHANDLER handler) {
    request.irp->IoStatus.Information = 0;
    const NTSTATUS status =
        CallDriver(handler, request.irp, reinterpret_cast<PKSIDENTIFIER>(request.request),
                   static_cast<PVOID>(request.data));
    request.irp->IoStatus.Status = status;
    request.information = static_cast<ULONG>(request.irp->IoStatus.Information);
    if (request.information > request.dataLength && status != STATUS_BUFFER_OVERFLOW)
        request.information = request.dataLength;
    return status;
}

NTSTATUS BasicSupport(KsRequest& request, const KSPROPERTY_ITEM& item) {
    if (item.SupportHandler != nullptr) return CallHandler(request, item.SupportHandler);
    const ULONG access = KSPROPERTY_TYPE_BASICSUPPORT |
                         (item.GetPropertyHandler != nullptr ? KSPROPERTY_TYPE_GET : 0) |
                         (item.SetPropertyHandler != nullptr ? KSPROPERTY_TYPE_SET : 0);
    if (request.dataLength == 0) {
        request.information = sizeof(KSPROPERTY_DESCRIPTION);
        return STATUS_BUFFER_OVERFLOW;
    }
    if (request.dataLength < sizeof(KSPROPERTY_DESCRIPTION))
        return AnswerValue(request, &access, sizeof(access));
    KSPROPERTY_DESCRIPTION description{};
    description.AccessFlags = access;
    description.DescriptionSize = sizeof(KSPROPERTY_DESCRIPTION);
    description.PropTypeSet.Set = KSPROPTYPESETID_General;
    description.PropTypeSet.Id = kVariantTypeIllegal;
    description.PropTypeSet.Flags = 0;
    description.MembersListCount = 0;
    description.Reserved = 0;
    return AnswerValue(request, &description, sizeof(description));
}

NTSTATUS DispatchProperty(KsRequest& request) {
    const auto* header = reinterpret_cast<const KSPROPERTY*>(request.request);
    const ULONG type = header->Flags & ~static_cast<ULONG>(KSPROPERTY_TYPE_TOPOLOGY);
    if (type != KSPROPERTY_TYPE_GET && type != KSPROPERTY_TYPE_SET &&
        type != KSPROPERTY_TYPE_SETSUPPORT && type != KSPROPERTY_TYPE_BASICSUPPORT)
        return STATUS_INVALID_PARAMETER;

    const KSAUTOMATION_TABLE* table = nullptr;
    if ((header->Flags & KSPROPERTY_TYPE_TOPOLOGY) != 0) {
        if (request.requestLength < sizeof(KSP_NODE)) return STATUS_INVALID_BUFFER_SIZE;
        if (!TableOfNodeRequest(request, reinterpret_cast<const KSP_NODE*>(request.request)->NodeId,
                                &table))
            return STATUS_NOT_FOUND;
    } else {
        NTSTATUS status;
        if (request.pin == nullptr && ServeStandardFilterProperty(request, &status)) return status;
        table = TableOfObject(request);
    }
    if (table == nullptr) return STATUS_PROPSET_NOT_FOUND;

    const KSPROPERTY_SET* set = FindSet(table->PropertySets, table->PropertySetsCount, header->Set);
    if (set == nullptr) return STATUS_PROPSET_NOT_FOUND;
    if (type == KSPROPERTY_TYPE_SETSUPPORT) return STATUS_SUCCESS;
    const KSPROPERTY_ITEM* item =
        FindItem(set->PropertyItem, set->PropertiesCount, table->PropertyItemSize, header->Id,
                 &KSPROPERTY_ITEM::PropertyId);
    if (item == nullptr) return STATUS_NOT_FOUND;
    if (request.requestLength < item->MinProperty) return STATUS_INVALID_BUFFER_SIZE;
    if (type == KSPROPERTY_TYPE_BASICSUPPORT) return BasicSupport(request, *item);

    const PFNKSHANDLER handler =
        type == KSPROPERTY_TYPE_GET ? item->GetPropertyHandler : item->SetPropertyHandler;
    if (handler == nullptr) return STATUS_INVALID_DEVICE_REQUEST;
    if (request.dataLength < item->MinData) {
        if (type == KSPROPERTY_TYPE_GET && request.dataLength == 0) {
            request.information = item->MinData;
            return STATUS_BUFFER_OVERFLOW;
        }
        return STATUS_BUFFER_TOO_SMALL;
    }
    return CallHandler(request, handler);
}

NTSTATUS DispatchMethod(KsRequest& request) {
    const auto* header = reinterpret_cast<const KSMETHOD*>(request.request);
    const KSAUTOMATION_TABLE* table = nullptr;
    if ((header->Flags & KSMETHOD_TYPE_TOPOLOGY) != 0) {
        if (request.requestLength < sizeof(KSM_NODE)) return STATUS_INVALID_BUFFER_SIZE;
        if (!TableOfNodeRequest(request, reinterpret_cast<const KSM_NODE*>(request.request)->NodeId,
                                &table))
            return STATUS_NOT_FOUND;
    } else {
        table = TableOfObject(request);
    }
    if (table == nullptr) return STATUS_PROPSET_NOT_FOUND;

    const KSMETHOD_SET* set = FindSet(table->MethodSets, table->MethodSetsCount, header->Set);
    if (set == nullptr) return STATUS_PROPSET_NOT_FOUND;
    const ULONG type = header->Flags & ~static_cast<ULONG>(KSMETHOD_TYPE_TOPOLOGY);
    if (type == KSMETHOD_TYPE_SETSUPPORT) return STATUS_SUCCESS;
    const KSMETHOD_ITEM* item = FindItem(set->MethodItem, set->MethodsCount, table->MethodItemSize,
                                         header->Id, &KSMETHOD_ITEM::MethodId);
    if (item == nullptr) return STATUS_NOT_FOUND;
    if (request.requestLength < item->MinMethod) return STATUS_INVALID_BUFFER_SIZE;
    if (type == KSMETHOD_TYPE_BASICSUPPORT)
        return AnswerValue(request, &item->Flags, sizeof(ULONG));
    // Anything else asks for the method to run (the application's proxy sends KSMETHOD_TYPE_SEND).
    if (item->MethodHandler == nullptr) return STATUS_INVALID_DEVICE_REQUEST;
    if (request.dataLength < item->MinData) return STATUS_BUFFER_TOO_SMALL;
    return CallHandler(request, item->MethodHandler);
}

}  // namespace

NTSTATUS AnswerValue(KsRequest& request, const void* value, ULONG size) {
    if (request.dataLength == 0) {
        request.information = size;
        return STATUS_BUFFER_OVERFLOW;
    }
    if (request.dataLength < size) return STATUS_BUFFER_TOO_SMALL;
    std::memcpy(request.data, value, size);
    request.information = size;
    return STATUS_SUCCESS;
}

NTSTATUS AnswerList(KsRequest& request, const void* items, ULONG itemsBytes, ULONG count) {
    const ULONG total = sizeof(KSMULTIPLE_ITEM) + itemsBytes;
    if (request.dataLength == 0) {
        request.information = total;
        return STATUS_BUFFER_OVERFLOW;
    }
    if (request.dataLength == sizeof(ULONG)) {
        std::memcpy(request.data, &total, sizeof(ULONG));
        request.information = sizeof(ULONG);
        return STATUS_SUCCESS;
    }
    if (request.dataLength < total) return STATUS_BUFFER_TOO_SMALL;
    const KSMULTIPLE_ITEM header{total, count};
    std::memcpy(request.data, &header, sizeof(header));
    if (itemsBytes != 0) std::memcpy(request.data + sizeof(header), items, itemsBytes);
    request.information = total;
    return STATUS_SUCCESS;
}

NTSTATUS KsDeviceIoControl(KsFilterObject* filter, KsPinObject* pin, ULONG ioControlCode,
                           const void* input, ULONG inputLength, void* output, ULONG outputLength,
                           ULONG* returned) {
    if (returned != nullptr) *returned = 0;
    if (filter == nullptr) return STATUS_INVALID_PARAMETER;
    std::shared_lock filterLifetime(filter->lifetime);
    std::shared_lock<std::shared_mutex> pinLifetime;
    if (pin != nullptr) pinLifetime = std::shared_lock(pin->lifetime);
    if (ioControlCode != IOCTL_KS_PROPERTY && ioControlCode != IOCTL_KS_METHOD)
        return STATUS_INVALID_DEVICE_REQUEST;
    if (input == nullptr || inputLength < sizeof(KSIDENTIFIER)) return STATUS_INVALID_BUFFER_SIZE;
    if (output == nullptr) outputLength = 0;

    Captured requestCopy(input, inputLength);
    Captured dataCopy(output, outputLength);
    HostRequest packet(kRequestStackSize, 0x0E /* IRP_MJ_DEVICE_CONTROL */, 0);
    PIO_STACK_LOCATION stack = packet.Stack();
    stack->Parameters.DeviceIoControl.OutputBufferLength = outputLength;
    stack->Parameters.DeviceIoControl.InputBufferLength = inputLength;
    stack->Parameters.DeviceIoControl.IoControlCode = ioControlCode;
    stack->Parameters.DeviceIoControl.Type3InputBuffer = requestCopy.Bytes();
    packet.Irp()->UserBuffer = dataCopy.Bytes();
    AddressRequest(packet.Irp(), filter, pin);

    KsRequest request;
    request.filter = filter;
    request.pin = pin;
    request.irp = packet.Irp();
    request.request = requestCopy.Bytes();
    request.requestLength = inputLength;
    request.data = dataCopy.Bytes();
    request.dataLength = outputLength;
    const NTSTATUS status =
        ioControlCode == IOCTL_KS_PROPERTY ? DispatchProperty(request) : DispatchMethod(request);
    if (NT_SUCCESS(status) && request.information != 0 && output != nullptr)
        std::memcpy(output, request.data, request.information);
    if (returned != nullptr) *returned = request.information;
    return status;
}

}  // namespace host
