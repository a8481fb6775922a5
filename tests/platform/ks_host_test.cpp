#include <string>
#include <vector>

#include "kernel_fixture.h"
#include "platform/host/device_interfaces.h"
#include "platform/host/kernel_errors.h"
#include "platform/host/ks_device_host.h"
#include "platform/host/pool_accounting.h"

namespace {

std::vector<std::string> calls;

NTSTATUS Add(PKSDEVICE device) {
    calls.push_back(device->Context == nullptr ? "add" : "add with context");
    return STATUS_SUCCESS;
}
NTSTATUS Start(PKSDEVICE, PIRP irp, PCM_RESOURCE_LIST, PCM_RESOURCE_LIST) {
    calls.push_back(irp != nullptr && IoGetCurrentIrpStackLocation(irp)->MajorFunction == 0x1B
                        ? "start"
                        : "start?");
    return STATUS_SUCCESS;
}
void Stop(PKSDEVICE, PIRP) {
    calls.push_back("stop");
}
void Remove(PKSDEVICE, PIRP) {
    calls.push_back("remove");
}
void SetPower(PKSDEVICE, PIRP, DEVICE_POWER_STATE to, DEVICE_POWER_STATE from) {
    calls.push_back("power " + std::to_string(from) + "->" + std::to_string(to));
}

// Like the driver's table: no QueryCapabilities here, so that slot is skipped.
const KSDEVICE_DISPATCH kDispatch = {Add,     Start,  nullptr, nullptr, nullptr, Stop,     nullptr,
                                     nullptr, Remove, nullptr, nullptr, nullptr, SetPower, nullptr};
const KSDEVICE_DESCRIPTOR kDescriptor = {&kDispatch, 0, nullptr, 0, 0};

NTSTATUS Entry(PDRIVER_OBJECT driverObject, PUNICODE_STRING registryPath) {
    return KsInitializeDriver(driverObject, registryPath, &kDescriptor);
}

class KsHostTest : public KernelTest {
  protected:
    void SetUp() override {
        KernelTest::SetUp();
        calls.clear();
        physical.StackSize = 1;
    }
    void TearDown() override {
        host::UnloadDriver();
        KernelTest::TearDown();
    }
    DEVICE_OBJECT physical{};
};

TEST_F(KsHostTest, DriverEntryHandsItsDescriptorToTheHost) {
    EXPECT_EQ(host::LoadDriver(Entry), STATUS_SUCCESS);
    EXPECT_EQ(host::LoadedDeviceDescriptor(), &kDescriptor);
    host::ScopedViolationCapture expected;  // a misuse on purpose
    EXPECT_EQ(KsInitializeDriver(host::LoadedDriverObject(), nullptr, &kDescriptor),
              STATUS_INVALID_PARAMETER)
        << "only a driver entry that is running may initialise";
}

TEST_F(KsHostTest, LifecycleCallsPresentSlotsAndSkipsAbsentOnes) {
    host::LoadDriver(Entry);
    host::KsDeviceHost host(&physical);
    PKSDEVICE device = host.Device();
    EXPECT_EQ(device->PhysicalDeviceObject, &physical);
    EXPECT_EQ(device->NextDeviceObject, &physical);
    EXPECT_EQ(device->FunctionalDeviceObject->StackSize, 2);
    EXPECT_EQ(host.Add(), STATUS_SUCCESS);
    EXPECT_EQ(host.Start(), STATUS_SUCCESS);
    EXPECT_TRUE(device->Started);
    EXPECT_EQ(host.QueryCapabilities(), STATUS_SUCCESS);
    host.SetPower(PowerDeviceD3, PowerDeviceD0);
    EXPECT_EQ(device->DevicePowerState, PowerDeviceD3);
    host.Stop();
    EXPECT_FALSE(device->Started);
    host.Remove();
    EXPECT_EQ(calls, (std::vector<std::string>{"add", "start", "power 1->4", "stop", "remove"}));

    // The device is its own device; an object kernel streaming never made has none.
    EXPECT_EQ(KsGetDevice(device), device);
    KSFILTER stranger{};
    host::ScopedViolationCapture expected;  // asking for it is a misuse
    EXPECT_EQ(KsFilterGetDevice(&stranger), nullptr);
    EXPECT_EQ(host::KernelErrors().size(), 1u);
    host::ClearKernelErrors();
}

TEST_F(KsHostTest, FilterFactoriesAreRecordedWithTheChosenResult) {
    host::KsDeviceHost host(&physical, &kDescriptor);
    const KSFILTER_DESCRIPTOR descriptor{};
    const BDA_FILTER_TEMPLATE filterTemplate{&descriptor, 0, nullptr};
    EXPECT_EQ(BdaCreateFilterFactory(host.Device(), &descriptor, &filterTemplate), STATUS_SUCCESS);
    host::SetFilterFactoryResult(STATUS_INSUFFICIENT_RESOURCES);
    EXPECT_EQ(BdaCreateFilterFactory(host.Device(), &descriptor, &filterTemplate),
              STATUS_INSUFFICIENT_RESOURCES);
    host::SetFilterFactoryResult(STATUS_SUCCESS);
    // Without a template, or with pin descriptors smaller than the platform's, there is no
    // factory.
    EXPECT_EQ(BdaCreateFilterFactory(host.Device(), &descriptor, nullptr),
              STATUS_INVALID_PARAMETER);
    KSFILTER_DESCRIPTOR shortPins{};
    KSPIN_DESCRIPTOR_EX pin{};
    shortPins.PinDescriptorsCount = 1;
    shortPins.PinDescriptorSize = sizeof(KSPIN_DESCRIPTOR_EX) - 8;
    shortPins.PinDescriptors = &pin;
    EXPECT_EQ(BdaCreateFilterFactory(host.Device(), &shortPins, &filterTemplate),
              STATUS_INVALID_PARAMETER);
    auto records = host::FilterFactories(host.Device());
    ASSERT_EQ(records.size(), 4u);
    EXPECT_EQ(records[0].filterDescriptor, &descriptor);
    EXPECT_EQ(records[1].result, STATUS_INSUFFICIENT_RESOURCES);
}

TEST_F(KsHostTest, DeviceInterfaceLinkIsPoolMemoryAndStateChangesAreRecorded) {
    const GUID kClass = {
        0xC82357CB, 0x9B4E, 0x4149, {0x88, 0xE1, 0xBF, 0xD5, 0xD3, 0x93, 0x72, 0x8D}};
    UNICODE_STRING link{};
    ASSERT_EQ(IoRegisterDeviceInterface(&physical, &kClass, nullptr, &link), STATUS_SUCCESS);
    EXPECT_EQ(host::PoolBlocksOutstanding(host::kInterfaceLinkPoolTag), 1u);
    EXPECT_EQ(IoSetDeviceInterfaceState(&link, TRUE), STATUS_SUCCESS);
    auto interfaces = host::DeviceInterfaces(&physical);
    ASSERT_EQ(interfaces.size(), 1u);
    EXPECT_TRUE(interfaces[0].enabled);
    EXPECT_NE(interfaces[0].linkName.find("{c82357cb-9b4e-4149-88e1-bfd5d393728d}"),
              std::string::npos);
    EXPECT_EQ(link.Length, interfaces[0].linkName.size() * 2);
    EXPECT_EQ(IoSetDeviceInterfaceState(&link, FALSE), STATUS_SUCCESS);
    RtlFreeUnicodeString(&link);
    EXPECT_EQ(link.Buffer, nullptr);
    EXPECT_EQ(host::PoolBlocksOutstanding(host::kInterfaceLinkPoolTag), 0u);

    std::vector<host::DeviceInterfaceChange> changes;
    for (const auto& event : host::DeviceInterfaceHistory(&physical))
        changes.push_back(event.change);
    EXPECT_EQ(changes,
              (std::vector<host::DeviceInterfaceChange>{host::DeviceInterfaceChange::Registered,
                                                        host::DeviceInterfaceChange::Enabled,
                                                        host::DeviceInterfaceChange::Disabled}));
    EXPECT_FALSE(host::DeviceInterfaces(&physical)[0].enabled);
}

}  // namespace
