// The Windows image learns the stick's link speed the way the host build does: through the bus
// interface that IRP_MN_QUERY_INTERFACE returns, whose IsDeviceHighSpeed the image calls through
// a pointer the emulation handed it. The speed sizes its isochronous reads.
#include <gtest/gtest.h>

#include <memory>

#include "image_fixture.h"
#include "support/host_system.h"
#include "support/scripted_stick.h"
#include "usb/cqzusb.h"

namespace kvsbda_image_test {
namespace {

TEST_F(KvsbdaImageTest, LearnsTheLinkSpeedFromTheBusInterface) {
    for (const host::UsbSpeed speed : {host::UsbSpeed::Full, host::UsbSpeed::High}) {
        const ULONG expected = speed == host::UsbSpeed::High ? kLinkSpeedHigh : kLinkSpeedFull;
        for (const bool image : {false, true}) {
            SCOPED_TRACE(image ? "image" : "host build");
            const host::DriverEntryFunction entry = image ? InstallImage() : nullptr;
            {
                auto stick = std::make_shared<kvstest::ScriptedStick>(0x3344, 0x1122, true);
                stick->linkSpeed = speed;
                kvstest::HostSystem system(host::ClockMode::Virtual, 4, entry);
                system.Plug(stick);
                kvstest::HostedDevice* device = system.Current();
                ASSERT_NE(device, nullptr);
                ASSERT_EQ(device->startStatus, STATUS_SUCCESS);
                EXPECT_EQ(device->Transport()->linkSpeed, expected);
                system.Unplug(device->physicalDeviceObject);
            }
            UninstallImage();
            EXPECT_EQ(FirstFault(), "");
        }
    }
}

}  // namespace
}  // namespace kvsbda_image_test
