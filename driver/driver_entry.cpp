// Driver entry: every module-wide state is set to its load-time value, then kernel streaming is
// given the device descriptor. Filters are not described here: start creates the filter factory.
#include "bridge/bridge_channel.h"
#include "bridge/firmware_download.h"
#include "driver/private_property_handlers.h"
#include "bridge/signal_status.h"
#include "demod/demod_control.h"
#include "driver/device_lifecycle.h"
#include "driver/tune_commit.h"
#include "tuner/tuner_sequence.h"

namespace {

constexpr KSDEVICE_DISPATCH kDeviceDispatch = {
    .Add = DeviceAdd,
    .Start = DeviceStart,
    .PostStart = nullptr,
    .QueryStop = nullptr,
    .CancelStop = nullptr,
    .Stop = DeviceStop,
    .QueryRemove = nullptr,
    .CancelRemove = nullptr,
    .Remove = DeviceRemove,
    .QueryCapabilities = DeviceQueryCapabilities,
    .SurpriseRemoval = nullptr,
    .QueryPower = nullptr,
    .SetPower = DeviceSetPower,
    .QueryInterface = nullptr,
};

// No filter descriptors: start creates the filter factory once the firmware runs. Built field by
// field because the platforms' descriptor layouts differ in their trailing members.
constexpr KSDEVICE_DESCRIPTOR MakeDeviceDescriptor() {
    KSDEVICE_DESCRIPTOR descriptor{};
    descriptor.Dispatch = &kDeviceDispatch;
    descriptor.FilterDescriptorsCount = 0;
    descriptor.FilterDescriptors = nullptr;
    return descriptor;
}

constexpr KSDEVICE_DESCRIPTOR kDeviceDescriptor = MakeDeviceDescriptor();

void InitializeModuleState() {
    InitializeDeviceLifecycle();
    InitializeBridgeChannel();
    InitializeFirmwareDownload();
    InitializeSignalStatus();
    InitializeDemodControl();
    InitializeTuneCommit();
    InitializePrivateProperties();
    TunerInitialize();
}

}  // namespace

extern "C" NTSTATUS DriverEntry(PDRIVER_OBJECT driverObject, PUNICODE_STRING registryPath) {
    InitializeModuleState();
    return KsInitializeDriver(driverObject, registryPath, &kDeviceDescriptor);
}
