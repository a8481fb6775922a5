#pragma once
// A stick reduced to its physical device object: every request block the transport sends is
// handed to a callback that answers it from the fuzz input. No bus threads: requests are
// answered on the caller's thread (completion at DISPATCH_LEVEL, as the bus does), or parked and
// completed later by the target. Cheap enough to build per input.
#include <cstddef>
#include <cstdint>
#include <functional>

#include "driver/device_context.h"
#include "platform/host/device_node.h"
#include "platform/host/usb_bus.h"
#include "platform/usb.h"
#include "usb/cqzusb.h"

namespace fuzz {

// Pipe positions of the interface the transport expects, and the most a fake interface holds.
constexpr size_t kFakePipeCount = 7;
constexpr size_t kFakePipeCapacity = 16;

// Pipe handles of the fake interface are position + kPipeHandleBase.
constexpr uintptr_t kPipeHandleBase = 0x1000;
inline USBD_PIPE_HANDLE PipeHandleAt(size_t position) {
    return reinterpret_cast<USBD_PIPE_HANDLE>(kPipeHandleBase + position);
}
// Position of a fake pipe handle, or SIZE_MAX for anything else.
size_t PipePositionOf(USBD_PIPE_HANDLE handle);

class FakeStick : public host::DeviceNode {
  public:
    // Answers one request block; STATUS_PENDING parks the packet (see TakeParked), any other
    // value completes it with that packet status. The callback sets the header Status itself.
    using Handler = std::function<NTSTATUS(PURB urb)>;

    // Wires device, physical device object, DeviceContext (active, deviceKind) and transport
    // (device, mutexes, spin locks), as device add and transport construction leave them.
    explicit FakeStick(UCHAR deviceKind);
    ~FakeStick() override;
    FakeStick(const FakeStick&) = delete;
    FakeStick& operator=(const FakeStick&) = delete;

    PKSDEVICE Device() { return &device_; }
    DeviceContext& Context() { return context_; }
    CQZUSB& Transport() { return transport_; }

    // Gives the transport an interface of `pipes` pipes (bulk IN, bulk OUT, isochronous x3,
    // bulk, interrupt IN in the usual positions) held by this object, not by the pool; the
    // interrupt pipe's maximum packet size is `interruptPacketSize`. The transport must not
    // release it: call DetachInterface before ReleaseBuffers if both are used.
    void InstallInterface(size_t pipes, USHORT interruptPacketSize);
    void DetachInterface();

    Handler handler;

    NTSTATUS Dispatch(PIRP irp) override;

    // The packet parked last (and forgets it), or null.
    PIRP TakeParked();
    // Completes a parked packet with `status` at DISPATCH_LEVEL.
    static void Complete(PIRP irp, NTSTATUS status);

  private:
    KSDEVICE device_{};
    DEVICE_OBJECT pdo_{};
    DeviceContext context_{};
    CQZUSB transport_{};
    TransportDescriptors descriptors_{};
    alignas(USBD_INTERFACE_INFORMATION) unsigned char interface_
        [offsetof(USBD_INTERFACE_INFORMATION, Pipes) +
         kFakePipeCapacity * sizeof(USBD_PIPE_INFORMATION)]{};
    PIRP parked_ = nullptr;
};

}  // namespace fuzz
