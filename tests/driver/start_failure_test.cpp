// Start when pool runs out: it fails with STATUS_INSUFFICIENT_RESOURCES and leaves nothing behind.
#include <gtest/gtest.h>

#include "platform/host/pool_accounting.h"
#include "platform/pool.h"
#include "support/host_system.h"
#include "support/scripted_stick.h"
#include "usb/stream_ring.h"

namespace {

using kvstest::HostedDevice;
using kvstest::HostSystem;
using kvstest::ScriptedStick;

struct FailureCase {
    const char* name;
    SIZE_T bytesAtLeast;  // the first driver allocation of at least this size fails
    SIZE_T bytesAtMost;
};

class StartAllocationFailure : public testing::TestWithParam<FailureCase> {};

TEST_P(StartAllocationFailure, FailsCleanly) {
    const FailureCase& c = GetParam();
    HostSystem system;
    auto failed = std::make_shared<bool>(false);
    host::SetPoolFailurePredicate([c, failed](ULONG tag, SIZE_T bytes) {
        if (*failed || tag != kDriverPoolTag || bytes < c.bytesAtLeast || bytes > c.bytesAtMost)
            return false;
        *failed = true;
        return true;
    });
    system.Plug(std::make_shared<ScriptedStick>(0x3344, 0x1122, true));
    host::ClearPoolFaults();
    ASSERT_TRUE(*failed);
    HostedDevice* device = system.Current();
    ASSERT_NE(device, nullptr);
    EXPECT_EQ(device->startStatus, STATUS_INSUFFICIENT_RESOURCES);
    EXPECT_EQ(device->Context()->transport, nullptr);
    EXPECT_EQ(device->Context()->ring, nullptr);
    EXPECT_EQ(host::FilterFactories().size(), 0u);
    // Only the DeviceContext is left, and nothing of the stick's requests.
    EXPECT_EQ(HostSystem::DriverPoolBlocks(), 1u);
    EXPECT_EQ(HostSystem::PacketPoolBlocks(), 0u);

    system.Remove(*device);
    EXPECT_EQ(HostSystem::DriverPoolBytes(), 0u);
}

INSTANTIATE_TEST_SUITE_P(Allocations, StartAllocationFailure,
                         testing::Values(FailureCase{"Transport", sizeof(CQZUSB), sizeof(CQZUSB)},
                                         FailureCase{"Descriptors", sizeof(TransportDescriptors),
                                                     sizeof(TransportDescriptors)},
                                         FailureCase{"Ring", kStreamRingCapacity, ~SIZE_T{0}}),
                         [](const testing::TestParamInfo<FailureCase>& info) {
                             return info.param.name;
                         });

TEST(StartFailure, FilterFactoryFailureIsReturnedAndRemoveStillCleansUp) {
    HostSystem system;
    host::SetFilterFactoryResult(STATUS_INSUFFICIENT_RESOURCES);
    system.Plug(std::make_shared<ScriptedStick>(0x3344, 0x1122, true));
    HostedDevice* device = system.Current();
    EXPECT_EQ(device->startStatus, STATUS_INSUFFICIENT_RESOURCES);
    EXPECT_EQ(device->Context()->interfaceEnabled, 0u);
    EXPECT_NE(device->Transport()->interruptIrp, nullptr);
    system.Remove(*device);
    EXPECT_EQ(HostSystem::DriverPoolBytes(), 0u);
    EXPECT_EQ(HostSystem::PacketPoolBlocks(), 0u);
}

}  // namespace
