// Filter and pin instances: creation from the filter descriptor, the driver's create and close
// dispatch, and pin state changes.
#include <atomic>
#include <cstring>
#include <vector>

#include "platform/host/bda_filter_context.h"
#include "platform/host/driver_call.h"
#include "platform/host/host_request.h"
#include "platform/host/ks_data_ranges.h"
#include "platform/host/ks_services.h"
#include "platform/host/output_pin.h"

namespace host {
namespace {

constexpr CCHAR kRequestStackSize = 1;
constexpr ULONG kPriorityNormal = 0x40000000;

std::atomic<size_t> gFiltersOpen{0};

// Frees what kernel streaming keeps for a filter, including anything the BDA support library
// attached to it and the driver did not give back (it goes with the filter, as its object bag
// would take it).
void DestroyFilter(KsFilterObject* filter) {
    {
        std::lock_guard guard(filter->bdaLock);
        if (filter->bda != nullptr) ReleaseBdaFilterContext(std::move(filter->bda));
    }
    UnregisterKsObject(&filter->ks);
    delete filter;
    --gFiltersOpen;
}

void DestroyPin(KsPinObject* pin) {
    if (pin->frames != nullptr) pin->frames->Detach();
    UnregisterKsObject(&pin->ks);
    delete pin;
}

size_t InstancesOf(const KsFilterObject* filter, ULONG pinId) {
    size_t count = 0;
    for (const KsPinObject* pin : filter->pins) count += pin->ks.Id == pinId ? 1 : 0;
    return count;
}

// The connection format must be a whole data format that one of the pin's ranges admits.
bool FormatAccepted(const KSPIN_DESCRIPTOR_EX* pin, const void* format, ULONG formatSize) {
    if (format == nullptr || formatSize < sizeof(KSDATAFORMAT)) return false;
    const auto* header = static_cast<const KSDATAFORMAT*>(format);
    if (header->FormatSize < sizeof(KSDATAFORMAT) || header->FormatSize > formatSize) return false;
    for (ULONG i = 0; i < pin->PinDescriptor.DataRangesCount; ++i) {
        const KSDATARANGE* range = pin->PinDescriptor.DataRanges[i];
        if (range != nullptr && RangesMatch(*header, *range)) return true;
    }
    return false;
}

NTSTATUS RunFilterCreate(KsFilterObject* filter) {
    std::lock_guard control(filter->control);
    HostRequest request(kRequestStackSize, kIrpMjCreate, 0);
    AddressRequest(request.Irp(), filter, nullptr);
    const KSFILTER_DISPATCH* dispatch = filter->descriptor->Dispatch;
    if (dispatch == nullptr || dispatch->Create == nullptr) return STATUS_SUCCESS;
    return CallDriver(dispatch->Create, &filter->ks, request.Irp());
}

// A pin's state moves one step at a time, each step through the driver's SetDeviceState; the pin
// takes a state once the driver accepted it. Called with the filter's control mutex held.
NTSTATUS WalkPinState(KsPinObject* pin, KSSTATE target) {
    pin->ks.ClientState = target;
    const KSPIN_DISPATCH* dispatch = pin->ks.Descriptor->Dispatch;
    while (pin->ks.DeviceState != target) {
        const KSSTATE from = pin->ks.DeviceState;
        const KSSTATE to = static_cast<KSSTATE>(from < target ? from + 1 : from - 1);
        if (dispatch != nullptr && dispatch->SetDeviceState != nullptr) {
            const NTSTATUS status = CallDriver(dispatch->SetDeviceState, &pin->ks, to, from);
            if (!NT_SUCCESS(status)) {
                pin->ks.ClientState = pin->ks.DeviceState;
                return status;
            }
        }
        pin->ks.DeviceState = to;
    }
    return STATUS_SUCCESS;
}

}  // namespace

size_t KsFiltersOpen() {
    return gFiltersOpen.load();
}

KsFilterObject* CreateKsFilter(PKSDEVICE device, size_t factoryIndex, NTSTATUS* status) {
    KsFilterFactory factory;
    if (device == nullptr || !FindFilterFactory(device, factoryIndex, &factory)) {
        *status = STATUS_NOT_FOUND;
        return nullptr;
    }
    auto* filter = new KsFilterObject;
    filter->device = device;
    filter->descriptor = factory.descriptor;
    filter->ks.Descriptor = factory.descriptor;
    filter->ks.Bag = nullptr;
    // A new filter starts with the context of its factory, which is the device's.
    filter->ks.Context = device->Context;
    RegisterKsObject(&filter->ks, KsObjectKind::Filter, filter);
    ++gFiltersOpen;

    *status = RunFilterCreate(filter);
    if (!NT_SUCCESS(*status)) {
        DestroyFilter(filter);
        return nullptr;
    }
    return filter;
}

NTSTATUS CloseKsFilter(KsFilterObject* filter) {
    if (filter == nullptr) return STATUS_INVALID_PARAMETER;
    // Pins hold their filter open: they are closed first, newest first.
    for (;;) {
        KsPinObject* pin = nullptr;
        {
            std::lock_guard control(filter->control);
            if (!filter->pins.empty()) pin = filter->pins.back();
        }
        if (pin == nullptr) break;
        (void)CloseKsPin(pin);
    }
    NTSTATUS status = STATUS_SUCCESS;
    {
        std::unique_lock lifetime(filter->lifetime);
        std::lock_guard control(filter->control);
        HostRequest request(kRequestStackSize, kIrpMjClose, 0);
        AddressRequest(request.Irp(), filter, nullptr);
        const KSFILTER_DISPATCH* dispatch = filter->descriptor->Dispatch;
        if (dispatch != nullptr && dispatch->Close != nullptr)
            status = CallDriver(dispatch->Close, &filter->ks, request.Irp());
    }
    DestroyFilter(filter);
    return status;
}

KsPinObject* CreateKsPin(KsFilterObject* filter, ULONG pinId, const void* format, ULONG formatSize,
                         OutputPin* frames, NTSTATUS* status) {
    std::lock_guard control(filter->control);
    const KSFILTER_DESCRIPTOR* descriptor = filter->descriptor;
    // Choices where the documents are silent: an unknown pin factory is an invalid parameter,
    // a factory whose instances are all in use answers STATUS_UNSUCCESSFUL, and a format that no
    // range of the pin admits answers STATUS_NO_MATCH; the driver is not called for any of them.
    if (pinId >= descriptor->PinDescriptorsCount) {
        *status = STATUS_INVALID_PARAMETER;
        return nullptr;
    }
    const auto* pinDescriptor = reinterpret_cast<const KSPIN_DESCRIPTOR_EX*>(
        reinterpret_cast<const char*>(descriptor->PinDescriptors) +
        size_t{pinId} * descriptor->PinDescriptorSize);
    if (InstancesOf(filter, pinId) >= pinDescriptor->InstancesPossible) {
        *status = STATUS_UNSUCCESSFUL;
        return nullptr;
    }
    if (!FormatAccepted(pinDescriptor, format, formatSize)) {
        *status = STATUS_NO_MATCH;
        return nullptr;
    }

    auto* pin = new KsPinObject;
    pin->filter = filter;
    const ULONG connectionBytes = static_cast<const KSDATAFORMAT*>(format)->FormatSize;
    pin->format = std::make_unique<uint64_t[]>((connectionBytes + 7) / 8);
    std::memcpy(pin->format.get(), format, connectionBytes);
    KSPIN& ks = pin->ks;
    ks.Descriptor = pinDescriptor;
    ks.Bag = nullptr;
    // A new pin starts with the context of its filter.
    ks.Context = filter->ks.Context;
    ks.Id = pinId;
    ks.Communication = pinDescriptor->PinDescriptor.Communication;
    ks.ConnectionIsExternal = TRUE;
    ks.ConnectionInterface.Set = KSINTERFACESETID_Standard;
    ks.ConnectionInterface.Id = KSINTERFACE_STANDARD_STREAMING;
    ks.ConnectionInterface.Flags = 0;
    ks.ConnectionPriority.PriorityClass = kPriorityNormal;
    ks.ConnectionPriority.PrioritySubClass = 1;
    ks.ConnectionFormat = reinterpret_cast<PKSDATAFORMAT>(pin->format.get());
    ks.AttributeList = nullptr;
    ks.StreamHeaderSize = 0;
    ks.DataFlow = pinDescriptor->PinDescriptor.DataFlow;
    ks.DeviceState = KSSTATE_STOP;
    ks.ResetState = KSRESET_END;
    ks.ClientState = KSSTATE_STOP;
    RegisterKsObject(&pin->ks, KsObjectKind::Pin, pin);
    // The application's frames are there before the driver can look for them.
    pin->frames = frames;
    if (frames != nullptr) frames->Attach(&pin->ks);

    HostRequest request(kRequestStackSize, kIrpMjCreate, 0);
    AddressRequest(request.Irp(), filter, pin);
    const KSPIN_DISPATCH* dispatch = pinDescriptor->Dispatch;
    *status = dispatch != nullptr && dispatch->Create != nullptr
                  ? CallDriver(dispatch->Create, &pin->ks, request.Irp())
                  : STATUS_SUCCESS;
    if (!NT_SUCCESS(*status)) {
        DestroyPin(pin);
        return nullptr;
    }
    filter->pins.push_back(pin);
    return pin;
}

NTSTATUS CloseKsPin(KsPinObject* pin) {
    if (pin == nullptr) return STATUS_INVALID_PARAMETER;
    KsFilterObject* filter = pin->filter;
    NTSTATUS status = STATUS_SUCCESS;
    {
        std::unique_lock lifetime(pin->lifetime);
        std::lock_guard control(filter->control);
        // A pin is taken down to stop before it closes.
        (void)WalkPinState(pin, KSSTATE_STOP);
        HostRequest request(kRequestStackSize, kIrpMjClose, 0);
        AddressRequest(request.Irp(), filter, pin);
        const KSPIN_DISPATCH* dispatch = pin->ks.Descriptor->Dispatch;
        if (dispatch != nullptr && dispatch->Close != nullptr)
            status = CallDriver(dispatch->Close, &pin->ks, request.Irp());
        std::erase(filter->pins, pin);
    }
    DestroyPin(pin);
    return status;
}

NTSTATUS SetKsPinState(KsPinObject* pin, KSSTATE state) {
    if (pin == nullptr || state < KSSTATE_STOP || state > KSSTATE_RUN)
        return STATUS_INVALID_PARAMETER;
    std::shared_lock lifetime(pin->lifetime);
    std::lock_guard control(pin->filter->control);
    return WalkPinState(pin, state);
}

KSSTATE KsPinState(KsPinObject* pin) {
    std::lock_guard control(pin->filter->control);
    return pin->ks.DeviceState;
}

}  // namespace host
