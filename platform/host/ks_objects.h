#pragma once
// The host's kernel-streaming objects: filter and pin instances, each holding the KSFILTER or
// KSPIN the driver sees (Windows layout, nothing of the host's inside) with the host's own
// bookkeeping beside it, and the registry that finds the host object behind a structure the
// driver hands back (KsGetDevice, KsGetFilterFromIrp, KsGetPinFromIrp, the BDA support calls).
#include <cstdint>
#include <memory>
#include <mutex>
#include <shared_mutex>
#include <vector>

#include "platform/ks.h"

namespace host {

class OutputPin;
struct BdaFilterContext;
struct KsPinObject;

struct KsFilterObject {
    KSFILTER ks{};
    PKSDEVICE device = nullptr;
    const KSFILTER_DESCRIPTOR* descriptor = nullptr;
    // Kernel streaming's control mutex: create, close and state changes of the filter and its
    // pins happen one at a time.
    std::mutex control;
    // Requests in flight hold it shared; closing holds it exclusively, so that an object is never
    // freed under a request that reached it.
    std::shared_mutex lifetime;
    std::vector<KsPinObject*> pins;  // guarded by control
    // What BdaInitFilter attached (the BDA support library's context of this filter).
    std::mutex bdaLock;
    std::unique_ptr<BdaFilterContext> bda;  // guarded by bdaLock
};

struct KsPinObject {
    KSPIN ks{};
    KsFilterObject* filter = nullptr;
    std::unique_ptr<uint64_t[]> format;  // the connection format, 8-byte aligned
    OutputPin* frames = nullptr;         // the application's frames (output pins)
    std::shared_mutex lifetime;
};

enum class KsObjectKind { Device, Filter, Pin };

// Objects are registered by the address of the structure the driver sees.
void RegisterKsObject(const void* ksObject, KsObjectKind kind, void* owner);
void UnregisterKsObject(const void* ksObject);
KsFilterObject* FindFilterObject(const void* ksObject);
KsPinObject* FindPinObject(const void* ksObject);

// What a request packet addresses: its current stack location's file object names the filter or
// pin the application sent it to.
void AddressRequest(PIRP irp, KsFilterObject* filter, KsPinObject* pin);

}  // namespace host
