#pragma once
// Kernel streaming and the BDA support library as the host offers them to applications: filter
// instances opened from a device's factory, pin instances created on a filter, pin state
// changes, and the property and method requests of a handle (IOCTL_KS_PROPERTY and
// IOCTL_KS_METHOD). Every call into the driver goes through host::CallDriver.
//
// What the documented services do, these do: the filter's control mutex serialises creation,
// closing and state changes; a pin's state moves one step at a time through the driver's
// SetDeviceState; a request is checked against the automation table's minimum sizes before a
// handler runs; pin factories, data ranges, intersection, topology and component id are
// answered from the filter descriptor. Where the documents leave a detail open, the choice is
// written next to the code that makes it.
#include <cstddef>

#include "platform/host/ks_objects.h"
#include "platform/ks.h"

namespace host {

struct KsFilterFactory {
    PKSDEVICE device = nullptr;
    const KSFILTER_DESCRIPTOR* descriptor = nullptr;
    const BDA_FILTER_TEMPLATE* bdaTemplate = nullptr;
};
// The index-th factory the device's driver created successfully.
bool FindFilterFactory(PKSDEVICE device, size_t index, KsFilterFactory* factory);

// Opens a filter instance from the device's factory and runs the filter's create dispatch.
// Returns null (and the status) when there is no factory or the driver refused.
KsFilterObject* CreateKsFilter(PKSDEVICE device, size_t factoryIndex, NTSTATUS* status);
// Closes the filter's pins, then runs its close dispatch and frees it. Returns the driver's
// status; the filter is gone either way.
NTSTATUS CloseKsFilter(KsFilterObject* filter);

// Creates an instance of pin factory `pinId` connected with `format` (`formatSize` bytes). For
// an output pin, `frames` is the application's end that receives its frames.
KsPinObject* CreateKsPin(KsFilterObject* filter, ULONG pinId, const void* format, ULONG formatSize,
                         OutputPin* frames, NTSTATUS* status);
// Takes the pin to stop (through every state on the way), runs its close dispatch and frees it.
NTSTATUS CloseKsPin(KsPinObject* pin);
// Moves the pin to `state` one step at a time; stops at the first step the driver refuses.
NTSTATUS SetKsPinState(KsPinObject* pin, KSSTATE state);
KSSTATE KsPinState(KsPinObject* pin);

// A property or method request on a filter (pin null) or a pin, with the application's buffers:
// the request (header and what follows it) and the value or data buffer. `returned` gets the
// bytes of data the request produced (or, for a size query, the size needed).
NTSTATUS KsDeviceIoControl(KsFilterObject* filter, KsPinObject* pin, ULONG ioControlCode,
                           const void* input, ULONG inputLength, void* output, ULONG outputLength,
                           ULONG* returned);

// Filter contexts of the BDA support library not given back by BdaUninitFilter (they go with
// their filter), and filter instances still open.
size_t BdaFilterContextsAlive();
size_t KsFiltersOpen();

}  // namespace host
