#pragma once
// A running stick reduced to its command pipes: a kernel-streaming device with a transport whose
// physical device object answers bulk transfers on pipes 0 (0x81) and 1 (0x01) from a simulated
// bridge firmware. Cheaper than the whole stack for frame-level checks of the channel.
#include <cstddef>
#include <cstdint>
#include <vector>

#include "driver/device_context.h"
#include "platform/host/device_node.h"
#include "platform/host/usb_bus.h"
#include "platform/usb.h"
#include "sim/bridge_firmware.h"
#include "sim/i2c_bus.h"
#include "usb/cqzusb.h"

class FakeBridgeStick : public host::DeviceNode {
  public:
    explicit FakeBridgeStick(bool running);
    ~FakeBridgeStick() override;

    PKSDEVICE Device() { return &device_; }
    NTSTATUS Dispatch(PIRP irp) override;

    // The next `count` bulk OUT transfers fail at the bus; the firmware never sees them.
    void FailWrites(int count) { failWrites_ += count; }
    // The write with this 0-based number (counting every write offered to the bus) fails.
    void FailWriteAt(size_t number) { failWriteAt_ = number; }
    // The download frame written with this number is answered with `reply`.
    void ReplyAt(size_t number, uint8_t reply) {
        replyAt_ = number;
        replyAtByte_ = reply;
    }
    // The next `count` bulk IN transfers fail at the bus, losing the reply they would carry.
    void FailReads(int count) { failReads_ += count; }
    // Bulk transfers the bus carried (OUT data, and the length asked for each IN transfer).
    const std::vector<std::vector<uint8_t>>& Writes() const { return writes_; }
    // Resets of the reply pipe (after a reply read that found nothing).
    size_t ReplyPipeResets() const { return replyPipeResets_; }
    const std::vector<ULONG>& ReadLengths() const { return readLengths_; }

    sim::I2cBus bus;
    sim::BridgeFirmware firmware;

  private:
    struct InterfaceWithPipes {
        USBD_INTERFACE_INFORMATION info;
        USBD_PIPE_INFORMATION secondPipe;  // Pipes[1] continues here, as the bus lays it out
    };

    KSDEVICE device_{};
    DEVICE_OBJECT pdo_{};
    DeviceContext context_{};
    CQZUSB transport_{};
    TransportDescriptors descriptors_{};
    InterfaceWithPipes interface_{};
    int failWrites_ = 0;
    size_t replyPipeResets_ = 0;
    int failReads_ = 0;
    size_t writesOffered_ = 0;
    size_t failWriteAt_ = SIZE_MAX;
    size_t replyAt_ = SIZE_MAX;
    uint8_t replyAtByte_ = 0;
    std::vector<std::vector<uint8_t>> writes_;
    std::vector<ULONG> readLengths_;
};
