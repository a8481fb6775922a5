#pragma once
// Kernel-streaming (ks.h) and BDA support (bdasup.h) vocabulary, emulated on the host as far as
// the driver uses it. Descriptor types that the filter tables need are declared here as the
// Windows headers lay them out.
#include <platform_impl/kernel.h>

struct KSDEVICE;
using PKSDEVICE = KSDEVICE*;
struct KSFILTER;
using PKSFILTER = KSFILTER*;
struct KSPIN;
using PKSPIN = KSPIN*;
struct KSFILTER_DESCRIPTOR;
struct BDA_FILTER_TEMPLATE;
struct DEVICE_CAPABILITIES;
using PDEVICE_CAPABILITIES = DEVICE_CAPABILITIES*;
struct CM_RESOURCE_LIST;
using PCM_RESOURCE_LIST = CM_RESOURCE_LIST*;

enum DEVICE_POWER_STATE {
    PowerDeviceUnspecified = 0,
    PowerDeviceD0 = 1,
    PowerDeviceD1 = 2,
    PowerDeviceD2 = 3,
    PowerDeviceD3 = 4,
};
enum SYSTEM_POWER_STATE { PowerSystemUnspecified = 0, PowerSystemWorking = 1 };

// Laid out as in wdm.h; the driver's QueryCapabilities handler leaves it unchanged.
struct DEVICE_CAPABILITIES {
    USHORT Size;
    USHORT Version;
    ULONG Flags;  // DeviceD1, DeviceD2, LockSupported, ... as bits
    ULONG Address;
    ULONG UINumber;
    DEVICE_POWER_STATE DeviceState[7];
    SYSTEM_POWER_STATE SystemWake;
    DEVICE_POWER_STATE DeviceWake;
    ULONG D1Latency;
    ULONG D2Latency;
    ULONG D3Latency;
};

enum KSSTATE { KSSTATE_STOP = 0, KSSTATE_ACQUIRE = 1, KSSTATE_PAUSE = 2, KSSTATE_RUN = 3 };

struct KSDEVICE_DISPATCH {
    NTSTATUS (*Add)(PKSDEVICE device);
    NTSTATUS (*Start)(PKSDEVICE device, PIRP irp, PCM_RESOURCE_LIST translatedResources,
                      PCM_RESOURCE_LIST untranslatedResources);
    NTSTATUS (*PostStart)(PKSDEVICE device);
    NTSTATUS (*QueryStop)(PKSDEVICE device, PIRP irp);
    void (*CancelStop)(PKSDEVICE device, PIRP irp);
    void (*Stop)(PKSDEVICE device, PIRP irp);
    NTSTATUS (*QueryRemove)(PKSDEVICE device, PIRP irp);
    void (*CancelRemove)(PKSDEVICE device, PIRP irp);
    void (*Remove)(PKSDEVICE device, PIRP irp);
    NTSTATUS (*QueryCapabilities)(PKSDEVICE device, PIRP irp, PDEVICE_CAPABILITIES capabilities);
    void (*SurpriseRemoval)(PKSDEVICE device, PIRP irp);
    NTSTATUS (*QueryPower)(PKSDEVICE device, PIRP irp, DEVICE_POWER_STATE deviceTo, DEVICE_POWER_STATE deviceFrom,
                           SYSTEM_POWER_STATE systemTo, SYSTEM_POWER_STATE systemFrom, int action);
    void (*SetPower)(PKSDEVICE device, PIRP irp, DEVICE_POWER_STATE to, DEVICE_POWER_STATE from);
    NTSTATUS (*QueryInterface)(PKSDEVICE device, PIRP irp);
};

struct KSDEVICE_DESCRIPTOR {
    const KSDEVICE_DISPATCH* Dispatch;
    ULONG FilterDescriptorsCount;
    const KSFILTER_DESCRIPTOR* const* FilterDescriptors;
    ULONG Version;
    ULONG Flags;
};

struct KSDEVICE {
    const KSDEVICE_DESCRIPTOR* Descriptor;
    PVOID Bag;
    PVOID Context;
    PDEVICE_OBJECT FunctionalDeviceObject;
    PDEVICE_OBJECT PhysicalDeviceObject;
    PDEVICE_OBJECT NextDeviceObject;
    BOOLEAN Started;
    SYSTEM_POWER_STATE SystemPowerState;
    DEVICE_POWER_STATE DevicePowerState;
};

struct KSFILTER {
    const KSFILTER_DESCRIPTOR* Descriptor;
    PVOID Bag;
    PVOID Context;
    PKSDEVICE HostDevice;  // host only: the device the filter belongs to (KsFilterGetDevice)
};

struct KSPIN {
    const void* Descriptor;
    PVOID Bag;
    PVOID Context;
    ULONG Id;
    ULONG Communication;
    BOOLEAN ConnectionIsExternal;
    KSSTATE DeviceState;
    PKSDEVICE HostDevice;  // host only: the device the pin belongs to (KsPinGetDevice)
};

struct KSSTREAM_HEADER;
struct KSSTREAM_POINTER_OFFSET {
    PUCHAR Data;
    ULONG Count;
    ULONG Remaining;
};
struct KSSTREAM_POINTER {
    PVOID Context;
    PKSPIN Pin;
    KSSTREAM_HEADER* StreamHeader;
    KSSTREAM_POINTER_OFFSET* Offset;
    KSSTREAM_POINTER_OFFSET OffsetIn;
    KSSTREAM_POINTER_OFFSET OffsetOut;
};
using PKSSTREAM_POINTER = KSSTREAM_POINTER*;

enum KSSTREAM_POINTER_STATE { KSSTREAM_POINTER_STATE_UNLOCKED = 0, KSSTREAM_POINTER_STATE_LOCKED = 1 };

NTSTATUS KsInitializeDriver(PDRIVER_OBJECT driverObject, PUNICODE_STRING registryPath,
                            const KSDEVICE_DESCRIPTOR* descriptor);
PKSDEVICE KsFilterGetDevice(PKSFILTER filter);
PKSDEVICE KsPinGetDevice(PKSPIN pin);
PKSSTREAM_POINTER KsPinGetLeadingEdgeStreamPointer(PKSPIN pin, KSSTREAM_POINTER_STATE state);
NTSTATUS KsStreamPointerAdvanceOffsetsAndUnlock(PKSSTREAM_POINTER streamPointer, ULONG inUsed, ULONG outUsed,
                                                BOOLEAN eject);

NTSTATUS BdaCreateFilterFactory(PKSDEVICE device, const KSFILTER_DESCRIPTOR* initialFilterDescriptor,
                                const BDA_FILTER_TEMPLATE* bdaFilterTemplate);
