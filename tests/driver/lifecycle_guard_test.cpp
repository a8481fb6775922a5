// What plug and play may do that the straight road of add, start, stop and remove does not: a
// start after a stop, a second start without a stop, an add or an interface registration that
// fails for want of memory. And every block the driver asks for is no-execute pool.
#include <gtest/gtest.h>

#include "driver/device_lifecycle.h"
#include "platform/host/device_interfaces.h"
#include "platform/host/ks_device_host.h"
#include "platform/host/pool_accounting.h"
#include "platform/pool.h"
#include "support/host_system.h"
#include "support/scripted_stick.h"

namespace {

using kvstest::HostedDevice;
using kvstest::HostSystem;
using kvstest::ScriptedStick;

std::shared_ptr<ScriptedStick> RunningStick(uint16_t productId = 0x1122) {
    return std::make_shared<ScriptedStick>(0x3344, productId, true);
}

TEST(OneStick, StopAndStartKeepTheSecondStickOut) {
    HostSystem system;
    system.Plug(RunningStick());
    HostedDevice* first = system.Current();
    system.Stop(*first);
    ASSERT_EQ(system.Start(*first), STATUS_SUCCESS);
    EXPECT_EQ(DeviceCount(), 1);
    system.Plug(RunningStick());
    const auto devices = system.Devices();
    ASSERT_EQ(devices.size(), 2u);
    EXPECT_EQ(devices[1]->addStatus, STATUS_INSUFFICIENT_RESOURCES);
    EXPECT_EQ(HostSystem::CountDebugLines("KVS.BDA_DEBUG:  My Dirver Count A(Error 2)."), 1u);
}

// Plug and play may start a started device again: what runs stays as it is, and there is still
// one filter factory.
TEST(Start, SecondStartWithoutAStopChangesNothing) {
    HostSystem system;
    system.Plug(RunningStick(0x1120));
    HostedDevice* device = system.Current();
    device->ks->SetPower(PowerDeviceD3, PowerDeviceD0);
    device->ks->SetPower(PowerDeviceD0, PowerDeviceD3);  // the stream reader runs
    CQZUSB* transport = device->Transport();
    PIRP interruptRead = transport->interruptIrp;
    ASSERT_EQ(transport->streamActive, 1u);

    EXPECT_EQ(system.Start(*device), STATUS_SUCCESS);
    EXPECT_EQ(device->Transport(), transport);
    EXPECT_EQ(transport->streamActive, 1u);
    EXPECT_EQ(transport->interruptIrp, interruptRead);
    EXPECT_EQ(host::FilterFactories(device->Device()).size(), 1u);
    EXPECT_EQ(host::DeviceInterfaces(device->physicalDeviceObject).size(), 1u);
    EXPECT_TRUE(HostSystem::KernelErrors().empty());
}

// An add that fails for want of memory was never an accepted stick: the next stick is let in.
TEST(Add, FailedAddLeavesTheCountAsItFoundIt) {
    HostSystem system;
    auto failed = std::make_shared<bool>(false);
    host::SetPoolFailurePredicate([failed](ULONG tag, SIZE_T bytes) {
        if (*failed || tag != kDriverPoolTag || bytes != sizeof(DeviceContext)) return false;
        *failed = true;
        return true;
    });
    auto stick = RunningStick();
    PDEVICE_OBJECT pdo = system.Plug(stick);
    host::ClearPoolFaults();
    ASSERT_TRUE(*failed);
    EXPECT_EQ(system.Devices().front()->addStatus, STATUS_INSUFFICIENT_RESOURCES);
    EXPECT_EQ(DeviceCount(), 0);
    system.Unplug(pdo);

    system.Plug(RunningStick());
    HostedDevice* device = system.Current();
    ASSERT_NE(device, nullptr);
    EXPECT_EQ(device->addStatus, STATUS_SUCCESS);
    EXPECT_EQ(device->startStatus, STATUS_SUCCESS);
    EXPECT_EQ(DeviceCount(), 1);
}

// A registration that fails (its link name cannot be allocated) leaves the interface not
// enabled: nothing is done with a link that was never handed out, at start or at stop, and the
// next start registers it.
TEST(Start, FailedInterfaceRegistrationIsNotEnabled) {
    HostSystem system;
    host::FailPoolAllocation(host::kInterfaceLinkPoolTag, 1);
    system.Plug(RunningStick());
    HostedDevice* device = system.Current();
    EXPECT_EQ(device->startStatus, STATUS_SUCCESS);
    EXPECT_EQ(device->Context()->interfaceEnabled, 0u);
    system.Stop(*device);
    EXPECT_TRUE(HostSystem::KernelErrors().empty()) << HostSystem::KernelErrors().front();

    ASSERT_EQ(system.Start(*device), STATUS_SUCCESS);
    EXPECT_EQ(device->Context()->interfaceEnabled, 1u);
    const auto interfaces = host::DeviceInterfaces(device->physicalDeviceObject);
    ASSERT_EQ(interfaces.size(), 1u);
    EXPECT_TRUE(interfaces[0].enabled);
    EXPECT_TRUE(HostSystem::KernelErrors().empty());
}

// Current Windows wants drivers to ask for no-execute pool.
TEST(Pool, EveryDriverAllocationIsNoExecute) {
    HostSystem system;
    system.Plug(RunningStick(0x1120));
    HostedDevice* device = system.Current();
    device->ks->SetPower(PowerDeviceD3, PowerDeviceD0);
    device->ks->SetPower(PowerDeviceD0, PowerDeviceD3);
    system.Stop(*device);
    system.Remove(*device);
    EXPECT_GT(host::PoolAllocationAttempts(kDriverPoolTag), 0u);
    EXPECT_EQ(host::PoolExecutableAllocationAttempts(kDriverPoolTag), 0u);
    EXPECT_EQ(host::PoolExecutableAllocationAttempts(host::kIrpPoolTag), 0u);
}

}  // namespace
