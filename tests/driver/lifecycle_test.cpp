// The device lifecycle as kernel streaming drives it: add, start on both roads, stop, restart,
// power transitions, removal, and the one-stick limit.
#include <gtest/gtest.h>

#include <algorithm>

#include "driver/device_lifecycle.h"
#include "platform/host/device_interfaces.h"
#include "platform/host/irql.h"
#include "platform/host/ks_device_host.h"
#include "support/host_system.h"
#include "support/scripted_stick.h"
#include "support/sim_receiver.h"

namespace {

using kvstest::HostedDevice;
using kvstest::HostSystem;
using kvstest::ScriptedStick;

const std::vector<std::string> kBanners = {
    "KVS.BDA_DEBUG:  Build Version:1.6.20.106(For 64Bits System) , Build Time: Feb  5 "
    "2009,16:46:04 ",
    "KVS.BDA_DEBUG:  *** Supporter: KVS Software Team *** ",
    "KVS.BDA_DEBUG:  *** Maker: KVS7100 DMB-T USB receiver *** ",
    "KVS.BDA_DEBUG:  *** DMB-T : KVS7100+LGS8GL5+MXL5003s *** ",
};

size_t InterfaceEvents(host::DeviceInterfaceChange change) {
    auto history = host::DeviceInterfaceHistory();
    return static_cast<size_t>(std::count_if(history.begin(), history.end(),
                                             [&](const auto& e) { return e.change == change; }));
}

TEST(DriverEntry, HandsKernelStreamingExactlyTheSixHandlers) {
    HostSystem system;
    const KSDEVICE_DESCRIPTOR* descriptor = host::LoadedDeviceDescriptor();
    ASSERT_NE(descriptor, nullptr);
    EXPECT_EQ(descriptor->FilterDescriptorsCount, 0u);
    const KSDEVICE_DISPATCH* d = descriptor->Dispatch;
    EXPECT_TRUE(d->Add && d->Start && d->Stop && d->Remove && d->QueryCapabilities && d->SetPower);
    EXPECT_FALSE(d->PostStart || d->QueryStop || d->CancelStop || d->QueryRemove ||
                 d->CancelRemove || d->SurpriseRemoval || d->QueryPower || d->QueryInterface);
}

TEST(Start, RunningStickBringsUpTheReceiver) {
    HostSystem system;
    auto receiver = kvstest::MakeSimReceiver(0x3344, 0x1122, true);
    system.Plug(receiver->stick);
    HostedDevice* device = system.Current();
    ASSERT_NE(device, nullptr);
    ASSERT_EQ(device->startStatus, STATUS_SUCCESS);

    std::vector<std::string> lines = HostSystem::DebugLines();
    auto first = std::find(lines.begin(), lines.end(), kBanners[0]);
    ASSERT_NE(first, lines.end());
    ASSERT_GE(lines.end() - first, 4);
    EXPECT_EQ(std::vector<std::string>(first, first + 4), kBanners);

    EXPECT_EQ(host::FilterFactories(device->Device()).size(), 1u);
    auto interfaces = host::DeviceInterfaces(device->physicalDeviceObject);
    ASSERT_EQ(interfaces.size(), 1u);
    EXPECT_TRUE(interfaces[0].enabled);
    EXPECT_EQ(device->Context()->interfaceEnabled, 1u);
    EXPECT_NE(device->Transport()->interruptIrp, nullptr);
    EXPECT_NE(device->Context()->ring, nullptr);
    // The start-up pause, measured on the virtual clock.
    auto sleeps = HostSystem::SleepMilliseconds();
    EXPECT_NE(std::find(sleeps.begin(), sleeps.end(), 200), sleeps.end());
    EXPECT_TRUE(host::IrqlViolations().empty());
}

TEST(Start, BootStickTakesTheFirmwareAndComesBackRunning) {
    HostSystem system;
    auto receiver = kvstest::MakeSimReceiver(0x3344, 0x1120, false);
    system.Plug(receiver->stick);
    std::vector<HostedDevice*> devices = system.Devices();
    ASSERT_EQ(devices.size(), 2u);
    // First device: download, then it left the bus and was removed; no filter, no interface.
    EXPECT_EQ(devices[0]->startStatus, STATUS_SUCCESS);
    EXPECT_TRUE(devices[0]->removed);
    EXPECT_TRUE(host::FilterFactories(devices[0]->Device()).empty());
    EXPECT_TRUE(host::DeviceInterfaces(devices[0]->physicalDeviceObject).empty());
    // Second device: the firmware runs.
    EXPECT_EQ(devices[1]->startStatus, STATUS_SUCCESS);
    EXPECT_EQ(host::FilterFactories(devices[1]->Device()).size(), 1u);
    EXPECT_EQ(devices[1]->Transport()->firmwareNeeded, 0u);
    EXPECT_EQ(DeviceCount(), 1);
    EXPECT_EQ(receiver->stick->Arrivals(), 2u);
}

TEST(Start, SecondStickIsRefusedAtAddWhileTheFirstWorksOn) {
    HostSystem system;
    auto first = std::make_shared<ScriptedStick>(0x3344, 0x1122, true);
    system.Plug(first);
    HostedDevice* served = system.Current();
    system.Plug(std::make_shared<ScriptedStick>(0x3344, 0x1122, true));
    std::vector<HostedDevice*> devices = system.Devices();
    ASSERT_EQ(devices.size(), 2u);
    EXPECT_EQ(devices[1]->addStatus, STATUS_INSUFFICIENT_RESOURCES);
    EXPECT_EQ(devices[1]->Context(), nullptr);
    EXPECT_EQ(HostSystem::CountDebugLines("KVS.BDA_DEBUG:  My Dirver Count A(Error 2)."), 1u);

    // The first stick still talks and still reports keys.
    const UCHAR frame[] = {0x06, 0x00};
    ULONG moved = 0;
    EXPECT_EQ(served->Transport()->BulkWrite(frame, sizeof frame, &moved), STATUS_SUCCESS);
    const size_t reads = first->InterruptReadsSeen();
    first->PushReport({0xAA, 1, 2, 3, 4, 5});
    for (int i = 0; i < 10000 && first->InterruptReadsSeen() <= reads; ++i) {
        std::this_thread::sleep_for(std::chrono::microseconds(100));
    }
    EXPECT_EQ(served->Context()->keyCount, 1);
}

TEST(Stop, RestartRegistersAndEnablesTheInterfaceAgainAndLeaksNothing) {
    HostSystem system;
    system.Plug(std::make_shared<ScriptedStick>(0x3344, 0x1120, true));
    HostedDevice* device = system.Current();
    const size_t blocksAfterStart = HostSystem::DriverPoolBlocks();
    const size_t bytesAfterStart = HostSystem::DriverPoolBytes();

    system.Stop(*device);
    EXPECT_EQ(device->Context()->interfaceEnabled, 0u);
    EXPECT_EQ(device->Context()->deviceActive, 0u);
    EXPECT_EQ(device->Transport()->interruptIrp, nullptr);
    EXPECT_EQ(DeviceCount(), 0);
    EXPECT_EQ(InterfaceEvents(host::DeviceInterfaceChange::Disabled), 1u);

    ASSERT_EQ(system.Start(*device), STATUS_SUCCESS);
    EXPECT_EQ(InterfaceEvents(host::DeviceInterfaceChange::Registered), 2u);
    EXPECT_EQ(InterfaceEvents(host::DeviceInterfaceChange::Enabled), 2u);
    EXPECT_EQ(device->Context()->interfaceEnabled, 1u);
    EXPECT_NE(device->Transport()->interruptIrp, nullptr);
    // The earlier transport, ring and link name were released, not left behind.
    EXPECT_EQ(HostSystem::DriverPoolBlocks(), blocksAfterStart);
    EXPECT_EQ(HostSystem::DriverPoolBytes(), bytesAfterStart);
    EXPECT_EQ(HostSystem::LinkNamePoolBlocks(), 1u);

    system.Stop(*device);
    system.Remove(*device);
    EXPECT_EQ(HostSystem::DriverPoolBytes(), 0u);
    EXPECT_EQ(HostSystem::LinkNamePoolBlocks(), 0u);
}

TEST(Power, D3CancelsTheInterruptReadAndD0SubmitsItAgain) {
    HostSystem system;
    auto stick = std::make_shared<ScriptedStick>(0x3344, 0x1122, true);
    system.Plug(stick);
    HostedDevice* device = system.Current();
    CQZUSB* transport = device->Transport();
    ASSERT_NE(transport->interruptIrp, nullptr);
    const size_t reads = stick->InterruptReadsSeen();

    device->ks->SetPower(PowerDeviceD3, PowerDeviceD0);
    EXPECT_EQ(transport->interruptIrp, nullptr);
    EXPECT_EQ(transport->streamActive, 0u);
    EXPECT_EQ(stick->InterruptReadsSeen(), reads);

    device->ks->SetPower(PowerDeviceD0, PowerDeviceD3);
    EXPECT_NE(transport->interruptIrp, nullptr);
    // The new read is submitted asynchronously: the stick sees it once the bus has served it.
    system.WaitForPnpIdle();
    EXPECT_EQ(stick->InterruptReadsSeen(), reads + 1);
    // The stream runs after power-up whatever the pin state.
    EXPECT_EQ(transport->streamActive, 1u);
    EXPECT_EQ(device->ks->QueryCapabilities(), STATUS_SUCCESS);
}

// Removal frees everything, whether or not a stop came first and whatever is in flight.
struct RemovalCase {
    const char* name;
    uint16_t productId;  // 0x1122 isochronous stream, 0x1120 bulk stream
    bool stopFirst;
    bool streaming;
    bool unplug;  // the stick leaves the bus (removal follows its departure)
};

class RemovalTest : public testing::TestWithParam<RemovalCase> {};

TEST_P(RemovalTest, LeavesTheDriverPoolEmpty) {
    const RemovalCase& c = GetParam();
    HostSystem system;
    auto stick = std::make_shared<ScriptedStick>(0x3344, c.productId, true);
    PDEVICE_OBJECT pdo = system.Plug(stick);
    HostedDevice* device = system.Current();
    ASSERT_EQ(device->startStatus, STATUS_SUCCESS);
    if (c.streaming) {
        device->ks->SetPower(PowerDeviceD3, PowerDeviceD0);
        device->ks->SetPower(PowerDeviceD0, PowerDeviceD3);  // starts the stream reader
        ASSERT_EQ(device->Transport()->streamActive, 1u);
    }
    if (c.stopFirst) system.Stop(*device);
    if (c.unplug) {
        system.Unplug(pdo);
    } else {
        system.Remove(*device);
    }
    EXPECT_TRUE(device->removed);
    EXPECT_EQ(device->ks->Device()->Context, nullptr);
    EXPECT_EQ(HostSystem::DriverPoolBytes(), 0u);
    EXPECT_EQ(HostSystem::PacketPoolBlocks(), 0u);
    EXPECT_EQ(HostSystem::LinkNamePoolBlocks(), 0u);
    EXPECT_EQ(DeviceCount(), 0);
    EXPECT_TRUE(HostSystem::KernelErrors().empty());
    EXPECT_TRUE(host::IrqlViolations().empty());
}

INSTANTIATE_TEST_SUITE_P(
    Paths, RemovalTest,
    testing::Values(RemovalCase{"StopThenRemove", 0x1122, true, false, false},
                    RemovalCase{"RemoveWithoutStop", 0x1122, false, false, false},
                    RemovalCase{"RemoveWithoutStopIsoStreaming", 0x1122, false, true, false},
                    RemovalCase{"RemoveWithoutStopBulkStreaming", 0x1120, false, true, false},
                    RemovalCase{"UnplugWhileBulkStreaming", 0x1120, false, true, true},
                    RemovalCase{"UnplugWhileIsoStreaming", 0x1122, false, true, true}),
    [](const testing::TestParamInfo<RemovalCase>& info) { return info.param.name; });

}  // namespace
