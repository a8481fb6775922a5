#pragma once
// Device interfaces registered and enabled through IoRegisterDeviceInterface and
// IoSetDeviceInterfaceState.
#include <string>
#include <vector>

#include "platform/kernel.h"

namespace host {

struct DeviceInterface {
    PDEVICE_OBJECT physicalDeviceObject;
    GUID interfaceClass;
    std::string referenceString;  // UTF-8, empty without a reference string
    std::string linkName;         // UTF-8 form of the symbolic link name handed out
    bool enabled;
};
// One entry per distinct interface (device, class, reference string).
std::vector<DeviceInterface> DeviceInterfaces(PDEVICE_OBJECT physicalDeviceObject = nullptr);

enum class DeviceInterfaceChange { Registered, Enabled, Disabled };
struct DeviceInterfaceEvent {
    PDEVICE_OBJECT physicalDeviceObject;
    std::string linkName;
    DeviceInterfaceChange change;
};
// Every registration and state change in order (for one device, or all with nullptr).
std::vector<DeviceInterfaceEvent> DeviceInterfaceHistory(
    PDEVICE_OBJECT physicalDeviceObject = nullptr);
void ClearDeviceInterfaces();

}  // namespace host
