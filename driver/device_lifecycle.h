#pragma once
// The kernel-streaming device dispatch of the driver (add, start, stop, remove, capabilities and
// power) and the module-wide count of sticks accepted by add.
#include "platform/ks.h"

NTSTATUS DeviceAdd(PKSDEVICE device);
NTSTATUS DeviceStart(PKSDEVICE device, PIRP irp, PCM_RESOURCE_LIST translatedResources,
                     PCM_RESOURCE_LIST untranslatedResources);
void DeviceStop(PKSDEVICE device, PIRP irp);
void DeviceRemove(PKSDEVICE device, PIRP irp);
NTSTATUS DeviceQueryCapabilities(PKSDEVICE device, PIRP irp, PDEVICE_CAPABILITIES capabilities);
void DeviceSetPower(PKSDEVICE device, PIRP irp, DEVICE_POWER_STATE to, DEVICE_POWER_STATE from);

// The one-stick count: 0 at driver entry; add raises it (and lowers it again when it fails for
// want of memory), stop and remove put it back to 0, and a start after a stop raises it from 0
// to 1 again, so that the stopped and restarted stick still holds its place.
void InitializeDeviceLifecycle();
LONG DeviceCount();
LONG RaiseDeviceCount();
void LowerDeviceCount();
void RestoreDeviceCount();
void ResetDeviceCount();

// Brings a transport to rest: stream stopped, synchronous requests refused, every read gone.
// Clears deviceActive.
void QuiesceTransport(PKSDEVICE device);
// Frees the transport and the ring (after QuiesceTransport) and clears both references.
void ReleaseTransportAndRing(PKSDEVICE device);
