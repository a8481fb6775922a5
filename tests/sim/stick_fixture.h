#pragma once
// A simulated stick on its own bus, with helpers to talk to it the way the driver does.
#include <gtest/gtest.h>

#include <memory>
#include <vector>

#include "platform/host/clock.h"
#include "platform/host/kernel_errors.h"
#include "platform/host/kernel_state.h"
#include "sim/stick.h"
#include "usb_bus/urb_submitter.h"

namespace stick_testing {

using Bytes = std::vector<uint8_t>;
using testing_usb::Submission;
using testing_usb::UrbBuffer;

// A stick with its bridge firmware running, at a bus speed, on the product id whose descriptors
// carry both stream pipes.
inline sim::StickOptions RunningStickAt(sim::BusSpeed speed) {
    sim::StickOptions options;
    options.productId = 0x1120;
    options.state = sim::StickState::Running;
    options.speed = speed;
    return options;
}

class StickTest : public testing::Test {
  protected:
    void SetUp() override {
        host::ResetKernelState();
        host::SetClockMode(host::ClockMode::Virtual);
    }
    void TearDown() override {
        bus_.Shutdown();
        EXPECT_TRUE(host::KernelErrors().empty());
    }

    PDEVICE_OBJECT PlugStick(sim::StickOptions options) {
        stick_ = std::make_shared<sim::Stick>(options);
        device_ = stick_->PlugInto(bus_);
        return device_;
    }

    // A descriptor request; the bytes the stick answered, or nothing when it failed.
    Bytes Descriptor(UCHAR type, UCHAR index, ULONG length, PDEVICE_OBJECT device = nullptr) {
        Bytes buffer(length);
        UrbBuffer urb;
        testing_usb::BuildDescriptorRequest(urb.get(), type, index, buffer.data(), length);
        Submission request(device != nullptr ? device : device_, urb.get());
        EXPECT_TRUE(request.Wait());
        if (request.status() != STATUS_SUCCESS) return {};
        buffer.resize(urb->UrbControlDescriptorRequest.TransferBufferLength);
        return buffer;
    }

    // Selects alternate setting 1 of the configuration the stick presents.
    void SelectAlternateSetting1() {
        const Bytes header = Descriptor(USB_CONFIGURATION_DESCRIPTOR_TYPE, 0, 9);
        ASSERT_EQ(header.size(), 9u);
        const Bytes configuration =
            Descriptor(USB_CONFIGURATION_DESCRIPTOR_TYPE, 0, (header[2] | header[3] << 8) + 16);
        interface_ = testing_usb::SelectAlternateSetting(device_, configuration, 1);
        ASSERT_FALSE(interface_.empty());
    }
    const USBD_PIPE_INFORMATION& Pipe(size_t position) {
        return testing_usb::PipeAt(interface_, position);
    }

    // A bulk or interrupt transfer on the pipe at `position`, waited for.
    NTSTATUS Transfer(size_t position, Bytes& data, bool in) {
        UrbBuffer urb;
        testing_usb::BuildTransfer(urb.get(), Pipe(position).PipeHandle, data.data(),
                                   static_cast<ULONG>(data.size()), in);
        Submission transfer(device_, urb.get());
        EXPECT_TRUE(transfer.Wait());
        data.resize(urb->UrbBulkOrInterruptTransfer.TransferBufferLength);
        return transfer.status();
    }

    host::UsbBus bus_;
    std::shared_ptr<sim::Stick> stick_;
    PDEVICE_OBJECT device_ = nullptr;
    Bytes interface_;
};

}  // namespace stick_testing
