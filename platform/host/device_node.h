#pragma once
// What stands behind a host DEVICE_OBJECT: IofCallDriver hands the packet to the node of the
// device it is sent to (the USB bus device of a stick, a functional device, a test double).
#include "platform/kernel.h"

namespace host {

class DeviceNode {
  public:
    virtual ~DeviceNode() = default;
    // Receives a packet whose current stack location is this device's. Returns what
    // IofCallDriver returns: STATUS_PENDING, or the status the packet was completed with.
    virtual NTSTATUS Dispatch(PIRP irp) = 0;
};

// The node is kept in the device object's DeviceObjectExtension, the I/O system's own record of
// the device that drivers never touch, so that the object keeps the Windows layout.
inline void SetDeviceNode(PDEVICE_OBJECT device, DeviceNode* node) {
    device->DeviceObjectExtension = node;
}
inline DeviceNode* DeviceNodeOf(PDEVICE_OBJECT device) {
    return static_cast<DeviceNode*>(device->DeviceObjectExtension);
}

}  // namespace host
