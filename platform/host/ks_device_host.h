#pragma once
// Kernel streaming as the host presents it to the driver: loading the driver (its entry hands
// the device descriptor to KsInitializeDriver), one KSDEVICE per stick with the plug-and-play
// and power calls of its dispatch table, and the BDA filter factories the driver creates.
#include <mutex>
#include <vector>

#include "platform/ks.h"

namespace host {

using DriverEntryFunction = NTSTATUS (*)(PDRIVER_OBJECT driverObject, PUNICODE_STRING registryPath);

// Calls the entry with a fresh driver object and registry path and keeps the device descriptor
// that the entry passed to KsInitializeDriver. Returns the entry's status.
NTSTATUS LoadDriver(DriverEntryFunction entry);
// The descriptor of the loaded driver (nullptr before LoadDriver or after UnloadDriver).
const KSDEVICE_DESCRIPTOR* LoadedDeviceDescriptor();
PDRIVER_OBJECT LoadedDriverObject();
void UnloadDriver();

// One kernel-streaming device over a physical device object (the stick's bus device). The
// functional device object is created here and attached above the physical one. Each call
// invokes the descriptor's dispatch slot if present; absent slots are skipped as kernel
// streaming does. Calls are serialised per device, as kernel streaming serialises them.
class KsDeviceHost {
  public:
    // Uses the loaded driver's descriptor when `descriptor` is nullptr.
    explicit KsDeviceHost(PDEVICE_OBJECT physicalDeviceObject,
                          const KSDEVICE_DESCRIPTOR* descriptor = nullptr);
    ~KsDeviceHost();
    KsDeviceHost(const KsDeviceHost&) = delete;
    KsDeviceHost& operator=(const KsDeviceHost&) = delete;

    PKSDEVICE Device() { return &device_; }
    PDEVICE_OBJECT FunctionalDeviceObject() { return &functionalDevice_; }

    NTSTATUS Add();
    NTSTATUS Start();  // Start, then PostStart if present; Started set on success
    void Stop();
    void Remove();
    NTSTATUS QueryCapabilities(DEVICE_CAPABILITIES* capabilities = nullptr);
    void SetPower(DEVICE_POWER_STATE to, DEVICE_POWER_STATE from);

  private:
    const KSDEVICE_DISPATCH* Dispatch() const;

    std::mutex pnpLock_;
    KSDEVICE device_{};
    DEVICE_OBJECT functionalDevice_{};
};

// BdaCreateFilterFactory calls, in order. A call that succeeded gave the device a factory from
// which applications open filters (platform/host/ks_services.h); the factories of a device go
// with its KsDeviceHost.
struct FilterFactoryRecord {
    PKSDEVICE device;
    const KSFILTER_DESCRIPTOR* filterDescriptor;
    const BDA_FILTER_TEMPLATE* filterTemplate;
    NTSTATUS result;
};
std::vector<FilterFactoryRecord> FilterFactories(PKSDEVICE device = nullptr);
// The status that following BdaCreateFilterFactory calls return (STATUS_SUCCESS by default).
void SetFilterFactoryResult(NTSTATUS status);
void ClearFilterFactories();  // also restores STATUS_SUCCESS as the result
void ForgetFilterFactories(PKSDEVICE device);

}  // namespace host
