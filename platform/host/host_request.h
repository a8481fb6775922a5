#pragma once
// A request packet in host memory whose top stack location is current, as it arrives at the
// driver from kernel streaming: plug-and-play and power calls, filter and pin creation and
// closing, property and method requests.
#include <cstddef>
#include <vector>

#include "platform/kernel.h"

namespace host {

class HostRequest {
  public:
    HostRequest(CCHAR stackSize, UCHAR major, UCHAR minor)
        : storage_(IoSizeOfIrp(stackSize) / sizeof(std::max_align_t) + 1) {
        irp_ = reinterpret_cast<PIRP>(storage_.data());
        IoInitializeIrp(irp_, IoSizeOfIrp(stackSize), stackSize);
        irp_->Tail.Overlay.CurrentStackLocation--;
        irp_->CurrentLocation--;
        PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp_);
        stack->MajorFunction = major;
        stack->MinorFunction = minor;
        irp_->IoStatus.Status = STATUS_NOT_IMPLEMENTED;
    }
    HostRequest(const HostRequest&) = delete;
    HostRequest& operator=(const HostRequest&) = delete;

    PIRP Irp() { return irp_; }
    PIO_STACK_LOCATION Stack() { return IoGetCurrentIrpStackLocation(irp_); }

  private:
    std::vector<std::max_align_t> storage_;
    PIRP irp_;
};

constexpr UCHAR kIrpMjCreate = 0x00;
constexpr UCHAR kIrpMjClose = 0x02;
constexpr UCHAR kIrpMjPnp = 0x1B;
constexpr UCHAR kIrpMjPower = 0x16;

}  // namespace host
