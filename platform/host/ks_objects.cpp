// The registry of the host's kernel-streaming objects and the lookups the driver calls.
#include "platform/host/ks_objects.h"

#include <unordered_map>

#include "platform/host/kernel_errors.h"
#include "platform/host/service_rules.h"

namespace host {
namespace {

struct Entry {
    KsObjectKind kind;
    void* owner;
};

struct Registry {
    std::mutex lock;
    std::unordered_map<const void*, Entry> entries;
};

Registry& Objects() {
    static Registry* registry = new Registry;  // never destroyed
    return *registry;
}

bool Find(const void* ksObject, Entry* entry) {
    if (ksObject == nullptr) return false;
    Registry& registry = Objects();
    std::lock_guard guard(registry.lock);
    auto it = registry.entries.find(ksObject);
    if (it == registry.entries.end()) return false;
    *entry = it->second;
    return true;
}

// The object a request was addressed to: the file object of its current stack location.
const void* FileObjectOf(PIRP irp) {
    if (irp == nullptr || irp->Tail.Overlay.CurrentStackLocation == nullptr) return nullptr;
    return IoGetCurrentIrpStackLocation(irp)->FileObject;
}

}  // namespace

void RegisterKsObject(const void* ksObject, KsObjectKind kind, void* owner) {
    Registry& registry = Objects();
    std::lock_guard guard(registry.lock);
    registry.entries[ksObject] = Entry{kind, owner};
}

void UnregisterKsObject(const void* ksObject) {
    Registry& registry = Objects();
    std::lock_guard guard(registry.lock);
    registry.entries.erase(ksObject);
}

KsFilterObject* FindFilterObject(const void* ksObject) {
    Entry entry{};
    if (!Find(ksObject, &entry) || entry.kind != KsObjectKind::Filter) return nullptr;
    return static_cast<KsFilterObject*>(entry.owner);
}

KsPinObject* FindPinObject(const void* ksObject) {
    Entry entry{};
    if (!Find(ksObject, &entry) || entry.kind != KsObjectKind::Pin) return nullptr;
    return static_cast<KsPinObject*>(entry.owner);
}

void AddressRequest(PIRP irp, KsFilterObject* filter, KsPinObject* pin) {
    IoGetCurrentIrpStackLocation(irp)->FileObject =
        pin != nullptr ? static_cast<void*>(&pin->ks) : static_cast<void*>(&filter->ks);
}

}  // namespace host

PKSDEVICE KsGetDevice(PVOID object) {
    static const host::ServiceRule& rule = host::RuleOf("KsGetDevice");
    host::CheckServiceIrql(rule);
    host::Entry entry{};
    if (!host::Find(object, &entry)) {
        host::RecordKernelError("KsGetDevice on an object kernel streaming does not know");
        return nullptr;
    }
    switch (entry.kind) {
        case host::KsObjectKind::Device:
            return static_cast<PKSDEVICE>(object);
        case host::KsObjectKind::Filter:
            return static_cast<host::KsFilterObject*>(entry.owner)->device;
        case host::KsObjectKind::Pin:
            return static_cast<host::KsPinObject*>(entry.owner)->filter->device;
    }
    return nullptr;
}

PKSFILTER KsGetFilterFromIrp(PIRP irp) {
    static const host::ServiceRule& rule = host::RuleOf("KsGetFilterFromIrp");
    host::CheckServiceIrql(rule);
    const void* target = host::FileObjectOf(irp);
    if (host::KsFilterObject* filter = host::FindFilterObject(target)) return &filter->ks;
    // A request sent to a pin belongs to the pin's filter.
    if (host::KsPinObject* pin = host::FindPinObject(target)) return &pin->filter->ks;
    return nullptr;
}

PKSPIN KsGetPinFromIrp(PIRP irp) {
    static const host::ServiceRule& rule = host::RuleOf("KsGetPinFromIrp");
    host::CheckServiceIrql(rule);
    host::KsPinObject* pin = host::FindPinObject(host::FileObjectOf(irp));
    return pin != nullptr ? &pin->ks : nullptr;
}
