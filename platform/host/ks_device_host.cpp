// Kernel-streaming device host: driver loading, the plug-and-play and power calls of one
// KSDEVICE, and the device of filters and pins.
#include "platform/host/ks_device_host.h"

#include <memory>
#include <vector>

#include "platform/host/driver_call.h"
#include "platform/host/host_request.h"
#include "platform/host/kernel_errors.h"
#include "platform/host/ks_objects.h"
#include "platform/host/service_rules.h"

namespace host {
namespace {

constexpr UCHAR kIrpMnStartDevice = 0x00;
constexpr UCHAR kIrpMnRemoveDevice = 0x02;
constexpr UCHAR kIrpMnStopDevice = 0x04;
constexpr UCHAR kIrpMnQueryCapabilities = 0x09;
constexpr UCHAR kIrpMnSetPower = 0x02;
constexpr SHORT kIoTypeDevice = 3;
constexpr SHORT kIoTypeDriver = 4;

struct LoadedDriver {
    std::mutex lock;
    std::unique_ptr<DRIVER_OBJECT> driverObject;
    std::u16string registryPath;
    UNICODE_STRING registryPathString{};
    const KSDEVICE_DESCRIPTOR* descriptor = nullptr;
    // Set while an entry runs: KsInitializeDriver records the descriptor for this driver object.
    PDRIVER_OBJECT loading = nullptr;
};

LoadedDriver& Loaded() {
    static LoadedDriver* loaded = new LoadedDriver;  // never destroyed
    return *loaded;
}

}  // namespace

NTSTATUS LoadDriver(DriverEntryFunction entry) {
    LoadedDriver& loaded = Loaded();
    PDRIVER_OBJECT driverObject;
    PUNICODE_STRING registryPath;
    {
        std::lock_guard guard(loaded.lock);
        loaded.driverObject = std::make_unique<DRIVER_OBJECT>();
        loaded.driverObject->Type = kIoTypeDriver;
        loaded.driverObject->Size = sizeof(DRIVER_OBJECT);
        loaded.registryPath = u"\\Registry\\Machine\\System\\CurrentControlSet\\Services\\kvsbda";
        loaded.registryPathString.Buffer = loaded.registryPath.data();
        loaded.registryPathString.Length =
            static_cast<USHORT>(loaded.registryPath.size() * sizeof(WCHAR));
        loaded.registryPathString.MaximumLength = loaded.registryPathString.Length;
        loaded.descriptor = nullptr;
        loaded.loading = loaded.driverObject.get();
        driverObject = loaded.driverObject.get();
        registryPath = &loaded.registryPathString;
    }
    NTSTATUS status = CallDriver(entry, driverObject, registryPath);
    std::lock_guard guard(loaded.lock);
    loaded.loading = nullptr;
    if (!NT_SUCCESS(status)) loaded.descriptor = nullptr;
    return status;
}

const KSDEVICE_DESCRIPTOR* LoadedDeviceDescriptor() {
    std::lock_guard guard(Loaded().lock);
    return Loaded().descriptor;
}

PDRIVER_OBJECT LoadedDriverObject() {
    std::lock_guard guard(Loaded().lock);
    return Loaded().driverObject.get();
}

void UnloadDriver() {
    std::lock_guard guard(Loaded().lock);
    Loaded().descriptor = nullptr;
    Loaded().driverObject.reset();
}

KsDeviceHost::KsDeviceHost(PDEVICE_OBJECT physicalDeviceObject,
                           const KSDEVICE_DESCRIPTOR* descriptor) {
    device_.Descriptor = descriptor != nullptr ? descriptor : LoadedDeviceDescriptor();
    device_.PhysicalDeviceObject = physicalDeviceObject;
    device_.NextDeviceObject = physicalDeviceObject;
    device_.FunctionalDeviceObject = &functionalDevice_;
    device_.SystemPowerState = PowerSystemWorking;
    device_.DevicePowerState = PowerDeviceD0;
    functionalDevice_.Type = kIoTypeDevice;
    functionalDevice_.Size = sizeof(DEVICE_OBJECT);
    functionalDevice_.DriverObject = LoadedDriverObject();
    functionalDevice_.StackSize = static_cast<CCHAR>(
        (physicalDeviceObject != nullptr ? physicalDeviceObject->StackSize : 0) + 1);
    if (physicalDeviceObject != nullptr) physicalDeviceObject->AttachedDevice = &functionalDevice_;
    RegisterKsObject(&device_, KsObjectKind::Device, this);
}

KsDeviceHost::~KsDeviceHost() {
    ForgetFilterFactories(&device_);
    UnregisterKsObject(&device_);
    if (device_.PhysicalDeviceObject != nullptr &&
        device_.PhysicalDeviceObject->AttachedDevice == &functionalDevice_)
        device_.PhysicalDeviceObject->AttachedDevice = nullptr;
}

const KSDEVICE_DISPATCH* KsDeviceHost::Dispatch() const {
    return device_.Descriptor != nullptr ? device_.Descriptor->Dispatch : nullptr;
}

NTSTATUS KsDeviceHost::Add() {
    std::lock_guard guard(pnpLock_);
    const KSDEVICE_DISPATCH* dispatch = Dispatch();
    return dispatch != nullptr && dispatch->Add != nullptr ? CallDriver(dispatch->Add, &device_)
                                                           : STATUS_SUCCESS;
}

NTSTATUS KsDeviceHost::Start() {
    std::lock_guard guard(pnpLock_);
    const KSDEVICE_DISPATCH* dispatch = Dispatch();
    HostRequest request(functionalDevice_.StackSize, kIrpMjPnp, kIrpMnStartDevice);
    NTSTATUS status = STATUS_SUCCESS;
    if (dispatch != nullptr && dispatch->Start != nullptr)
        status = CallDriver(dispatch->Start, &device_, request.Irp(), nullptr, nullptr);
    if (NT_SUCCESS(status) && dispatch != nullptr && dispatch->PostStart != nullptr)
        status = CallDriver(dispatch->PostStart, &device_);
    device_.Started = NT_SUCCESS(status) ? TRUE : FALSE;
    return status;
}

void KsDeviceHost::Stop() {
    std::lock_guard guard(pnpLock_);
    const KSDEVICE_DISPATCH* dispatch = Dispatch();
    HostRequest request(functionalDevice_.StackSize, kIrpMjPnp, kIrpMnStopDevice);
    if (dispatch != nullptr && dispatch->Stop != nullptr)
        CallDriver(dispatch->Stop, &device_, request.Irp());
    device_.Started = FALSE;
}

void KsDeviceHost::Remove() {
    std::lock_guard guard(pnpLock_);
    const KSDEVICE_DISPATCH* dispatch = Dispatch();
    HostRequest request(functionalDevice_.StackSize, kIrpMjPnp, kIrpMnRemoveDevice);
    if (dispatch != nullptr && dispatch->Remove != nullptr)
        CallDriver(dispatch->Remove, &device_, request.Irp());
    device_.Started = FALSE;
}

NTSTATUS KsDeviceHost::QueryCapabilities(DEVICE_CAPABILITIES* capabilities) {
    std::lock_guard guard(pnpLock_);
    DEVICE_CAPABILITIES local{};
    if (capabilities == nullptr) capabilities = &local;
    capabilities->Size = sizeof(DEVICE_CAPABILITIES);
    capabilities->Version = 1;
    const KSDEVICE_DISPATCH* dispatch = Dispatch();
    if (dispatch == nullptr || dispatch->QueryCapabilities == nullptr) return STATUS_SUCCESS;
    HostRequest request(functionalDevice_.StackSize, kIrpMjPnp, kIrpMnQueryCapabilities);
    IoGetCurrentIrpStackLocation(request.Irp())->Parameters.Others.Argument1 = capabilities;
    return CallDriver(dispatch->QueryCapabilities, &device_, request.Irp(), capabilities);
}

void KsDeviceHost::SetPower(DEVICE_POWER_STATE to, DEVICE_POWER_STATE from) {
    std::lock_guard guard(pnpLock_);
    const KSDEVICE_DISPATCH* dispatch = Dispatch();
    HostRequest request(functionalDevice_.StackSize, kIrpMjPower, kIrpMnSetPower);
    if (dispatch != nullptr && dispatch->SetPower != nullptr)
        CallDriver(dispatch->SetPower, &device_, request.Irp(), to, from);
    device_.DevicePowerState = to;
}

}  // namespace host

NTSTATUS KsInitializeDriver(PDRIVER_OBJECT driverObject, PUNICODE_STRING,
                            const KSDEVICE_DESCRIPTOR* descriptor) {
    static const host::ServiceRule& rule = host::RuleOf("KsInitializeDriver");
    host::CheckServiceIrql(rule);
    host::LoadedDriver& loaded = host::Loaded();
    std::lock_guard guard(loaded.lock);
    if (driverObject == nullptr || driverObject != loaded.loading) {
        host::RecordKernelError("KsInitializeDriver outside the entry of a driver being loaded");
        return STATUS_INVALID_PARAMETER;
    }
    loaded.descriptor = descriptor;
    return STATUS_SUCCESS;
}
