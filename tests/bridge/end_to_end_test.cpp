// The download road through the whole stack: a stick in its boot state gets both images and the
// start command, leaves the bus, comes back running and is started again with its filter.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <chrono>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "platform/host/device_interfaces.h"
#include "platform/host/ks_device_host.h"
#include "sim/bridge_firmware.h"
#include "sim/i2c_bus.h"
#include "sim/stick.h"
#include "support/host_system.h"

using ::testing::ElementsAre;
using Bytes = std::vector<uint8_t>;

namespace {

// The stick leaves the bus from a bus worker once the start command's reply read has completed,
// which may be after start has returned: wait for it to come back.
void WaitForArrivals(kvstest::HostSystem& system, const sim::Stick& stick, unsigned arrivals) {
    for (int i = 0; i < 5000 && stick.Arrivals() < arrivals; ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    system.WaitForPnpIdle();
}

// Bulk transfers on the command pipes as submitted: endpoint and length.
class CommandPipeObserver : public host::UsbTrafficObserver {
  public:
    struct Transfer {
        uint8_t endpoint;
        ULONG length;
    };
    void RequestSubmitted(const host::UsbTrafficRecord& record) override {
        if (record.function != URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER) return;
        if (record.endpoint.address != 0x01 && record.endpoint.address != 0x81) return;
        std::lock_guard lock(mutex_);
        transfers_.push_back(
            {record.endpoint.address, record.urb->UrbBulkOrInterruptTransfer.TransferBufferLength});
    }
    void RequestCompleted(const host::UsbTrafficRecord&) override {}
    std::vector<Transfer> Transfers() {
        std::lock_guard lock(mutex_);
        return transfers_;
    }

  private:
    std::mutex mutex_;
    std::vector<Transfer> transfers_;
};

TEST(DownloadEndToEnd, BootStickIsLoadedReEnumeratesAndGetsItsFilter) {
    CommandPipeObserver observer;
    std::vector<Bytes> frames;
    {
        kvstest::HostSystem system;
        system.Bus().AddObserver(&observer);
        sim::I2cBus bus;
        sim::StickOptions options;
        options.vendorId = 0x3344;
        options.productId = 0x1120;
        auto stick = std::make_shared<sim::Stick>(options);
        auto firmware = std::make_shared<sim::BridgeFirmware>(bus);
        sim::AttachBridgeFirmware(stick, firmware);
        system.Plug(stick);
        WaitForArrivals(system, *stick, 2);

        const std::vector<kvstest::HostedDevice*> devices = system.Devices();
        ASSERT_EQ(devices.size(), 2u);
        EXPECT_EQ(devices[0]->startStatus, STATUS_SUCCESS);
        EXPECT_TRUE(devices[0]->removed);
        EXPECT_EQ(devices[1]->startStatus, STATUS_SUCCESS);
        EXPECT_TRUE(host::FilterFactories(devices[0]->Device()).empty());
        EXPECT_EQ(host::FilterFactories(devices[1]->Device()).size(), 1u);
        const auto interfaces = host::DeviceInterfaces(devices[1]->physicalDeviceObject);
        ASSERT_EQ(interfaces.size(), 1u);
        EXPECT_TRUE(interfaces[0].enabled);
        EXPECT_TRUE(host::DeviceInterfaces(devices[0]->physicalDeviceObject).empty());

        // The stick came back presenting the downloaded set: vendor 0x3344, product 0x1120.
        EXPECT_EQ(stick->State(), sim::StickState::Running);
        EXPECT_EQ(stick->Arrivals(), 2u);
        frames = firmware->Frames();
        system.Bus().RemoveObserver(&observer);
        system.Unplug(stick->DeviceObject());
        system.WaitForPnpIdle();
        EXPECT_EQ(kvstest::HostSystem::DriverPoolBytes(), 0u);
    }

    // Eleven rom.dat frames, sixty-three fw.bin frames, then the start command.
    ASSERT_EQ(frames.size(), 75u);
    for (size_t i = 0; i < 74; ++i) {
        const bool rom = i < 11;
        const bool last = i == 10 || i == 73;
        EXPECT_EQ(frames[i][0], (rom ? 0x01 : 0x02) | (last ? 0x80 : 0)) << i;
        EXPECT_EQ(frames[i].size(), last ? (rom ? 15u : 20u) : 53u) << i;
    }
    EXPECT_THAT(frames[74], ElementsAre(0x8A, 0x00));

    // On the wire each frame is followed by one reply read: 1 byte after a download frame,
    // 5 after the start command.
    const auto transfers = observer.Transfers();
    ASSERT_EQ(transfers.size(), 150u);
    for (size_t i = 0; i < 75; ++i) {
        EXPECT_EQ(transfers[2 * i].endpoint, 0x01);
        EXPECT_EQ(transfers[2 * i].length, frames[i].size());
        EXPECT_EQ(transfers[2 * i + 1].endpoint, 0x81);
        EXPECT_EQ(transfers[2 * i + 1].length, i < 74 ? 1u : 5u);
    }
}

}  // namespace

namespace {

struct BootStick {
    BootStick() {
        sim::StickOptions options;
        options.vendorId = 0x3344;
        options.productId = 0x1120;
        stick = std::make_shared<sim::Stick>(options);
        firmware = std::make_shared<sim::BridgeFirmware>(bus);
        sim::AttachBridgeFirmware(stick, firmware);
    }
    sim::I2cBus bus;
    std::shared_ptr<sim::Stick> stick;
    std::shared_ptr<sim::BridgeFirmware> firmware;
};

TEST(DownloadEndToEnd, UnansweredReplyReadsCostATimeOutEachAndTheDownloadGoesOn) {
    kvstest::HostSystem system;
    BootStick boot;
    boot.firmware->DropReplies(2);
    system.Plug(boot.stick);
    WaitForArrivals(system, *boot.stick, 2);
    ASSERT_EQ(system.Devices().size(), 2u);
    // The stick got every frame and came back; the start that downloaded cannot know that two of
    // its frames were taken and does not report success.
    EXPECT_EQ(system.Devices()[0]->startStatus, STATUS_INSUFFICIENT_RESOURCES);
    EXPECT_EQ(system.Devices()[1]->startStatus, STATUS_SUCCESS);
    const std::string marker =
        "KVS.BDA_DEBUG:  \xA1\xBE"
        "ERROR\xA1\xBF  ";
    // Each lost reply costs its own time-out, and one more for the read that looks for it before
    // the next frame and finds the endpoint empty.
    EXPECT_EQ(kvstest::HostSystem::CountDebugLines(marker + "CQZUSB::CallUSBD(Status TimeOut!!!)."),
              4u);
    EXPECT_EQ(kvstest::HostSystem::CountDebugLines(marker + "IIC Read Error (status= 0xc0000120)."),
              2u);
    system.Unplug(boot.stick->DeviceObject());
    system.WaitForPnpIdle();
    EXPECT_EQ(kvstest::HostSystem::DriverPoolBytes(), 0u);
}

TEST(DownloadEndToEnd, RefusedFrameFailsTheStartAndTheStickStaysInBoot) {
    kvstest::HostSystem system;
    BootStick boot;
    boot.firmware->OverrideDownloadReplies(1, 0x00);
    system.Plug(boot.stick);
    system.WaitForPnpIdle();
    ASSERT_EQ(system.Devices().size(), 1u);
    EXPECT_EQ(system.Devices()[0]->startStatus, STATUS_INSUFFICIENT_RESOURCES);
    EXPECT_EQ(boot.firmware->Frames().size(), 1u);
    EXPECT_EQ(boot.stick->State(), sim::StickState::Boot);

    // A later start begins again with the first rom.dat frame and succeeds.
    EXPECT_EQ(system.Start(*system.Devices()[0]), STATUS_SUCCESS);
    // The stick leaves the bus from a bus worker once the start reply has completed.
    WaitForArrivals(system, *boot.stick, 2);
    EXPECT_EQ(boot.firmware->Frames().size(), 76u);
    EXPECT_EQ(boot.firmware->Frames()[1][0], 0x01);
    EXPECT_EQ(boot.stick->State(), sim::StickState::Running);
    system.Unplug(boot.stick->DeviceObject());
    system.WaitForPnpIdle();
    EXPECT_EQ(kvstest::HostSystem::DriverPoolBytes(), 0u);
}

}  // namespace
