#pragma once
// Sends request blocks to a bus device the way the driver does (its own packet, a completion
// routine that takes the packet back) and records how each one completed.
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

#include "platform/host/usb_bus.h"

namespace testing_usb {

// A request block with room behind it (isochronous packet tables, interface records).
class UrbBuffer {
  public:
    explicit UrbBuffer(size_t bytes = sizeof(URB)) : storage_((bytes + 7) / 8 + 1, 0) {}
    PURB get() { return reinterpret_cast<PURB>(storage_.data()); }
    PURB operator->() { return get(); }

  private:
    std::vector<uint64_t> storage_;
};

class Submission {
  public:
    // `onComplete` runs inside the completion routine, before the completion is counted.
    Submission(PDEVICE_OBJECT device, PURB urb, std::function<void()> onComplete = {})
        : onComplete_(std::move(onComplete)) {
        irp_ = IoAllocateIrp(static_cast<CCHAR>(device->StackSize + 1), FALSE);
        PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(irp_);
        next->MajorFunction = IRP_MJ_INTERNAL_DEVICE_CONTROL;
        next->Parameters.DeviceIoControl.IoControlCode = IOCTL_INTERNAL_USB_SUBMIT_URB;
        next->Parameters.Others.Argument1 = urb;
        IoSetCompletionRoutine(irp_, &Submission::Completed, this, TRUE, TRUE, TRUE);
        dispatchResult_ = IofCallDriver(device, irp_);
    }
    ~Submission() {
        Wait();
        IoFreeIrp(irp_);
    }

    PIRP irp() const { return irp_; }
    NTSTATUS dispatchResult() const { return dispatchResult_; }
    bool Done() const { return completions_.load() > 0; }
    int completions() const { return completions_.load(); }
    NTSTATUS status() const { return status_.load(); }
    KIRQL irql() const { return irql_.load(); }
    std::thread::id thread() const {
        std::lock_guard guard(lock_);
        return thread_;
    }
    // Waits (real time) for the completion; false when it did not come.
    bool Wait(std::chrono::milliseconds limit = std::chrono::milliseconds(5000)) {
        std::unique_lock lock(lock_);
        return done_.wait_for(lock, limit, [this] { return completions_.load() > 0; });
    }

  private:
    static NTSTATUS Completed(PDEVICE_OBJECT, PIRP irp, PVOID context) {
        auto* self = static_cast<Submission*>(context);
        if (self->onComplete_) self->onComplete_();
        std::lock_guard guard(self->lock_);
        self->status_ = irp->IoStatus.Status;
        self->irql_ = KeGetCurrentIrql();
        self->thread_ = std::this_thread::get_id();
        ++self->completions_;
        self->done_.notify_all();
        return STATUS_MORE_PROCESSING_REQUIRED;
    }

    std::function<void()> onComplete_;
    PIRP irp_ = nullptr;
    NTSTATUS dispatchResult_ = STATUS_SUCCESS;
    std::atomic<int> completions_{0};
    std::atomic<NTSTATUS> status_{STATUS_PENDING};
    std::atomic<KIRQL> irql_{0};
    mutable std::mutex lock_;
    std::condition_variable done_;
    std::thread::id thread_;
};

inline void BuildDescriptorRequest(PURB urb, UCHAR type, UCHAR index, void* buffer, ULONG length) {
    UsbBuildGetDescriptorRequest(urb, sizeof(_URB_CONTROL_DESCRIPTOR_REQUEST), type, index, 0,
                                 buffer, nullptr, length, nullptr);
}

inline void BuildTransfer(PURB urb, USBD_PIPE_HANDLE pipe, void* buffer, ULONG length, bool in) {
    UsbBuildInterruptOrBulkTransferRequest(
        urb, sizeof(_URB_BULK_OR_INTERRUPT_TRANSFER), pipe, buffer, nullptr, length,
        in ? USBD_TRANSFER_DIRECTION_IN | USBD_SHORT_TRANSFER_OK : USBD_SHORT_TRANSFER_OK, nullptr);
}

inline size_t IsoBlockBytes(ULONG packets) {
    return offsetof(_URB_ISOCH_TRANSFER, IsoPacket) + packets * sizeof(USBD_ISO_PACKET_DESCRIPTOR);
}

// An isochronous IN read of `packets` packets at a stride of `stride` bytes.
inline void BuildIsoRead(PURB urb, USBD_PIPE_HANDLE pipe, void* buffer, ULONG packets,
                         ULONG stride) {
    urb->UrbHeader.Length = static_cast<USHORT>(IsoBlockBytes(packets));
    urb->UrbHeader.Function = URB_FUNCTION_ISOCH_TRANSFER;
    auto& transfer = urb->UrbIsochronousTransfer;
    transfer.PipeHandle = pipe;
    transfer.TransferFlags =
        USBD_START_ISO_TRANSFER_ASAP | USBD_SHORT_TRANSFER_OK | USBD_TRANSFER_DIRECTION_IN;
    transfer.TransferBuffer = buffer;
    transfer.TransferBufferLength = packets * stride;
    transfer.NumberOfPackets = packets;
    USBD_ISO_PACKET_DESCRIPTOR* packet = transfer.IsoPacket;
    for (ULONG i = 0; i < packets; ++i) packet[i].Offset = i * stride;
}

// Selects alternate setting `alternate` of `configuration` on `device` and returns the
// interface information the bus filled in (copied), or an empty vector on failure.
inline std::vector<uint8_t> SelectAlternateSetting(PDEVICE_OBJECT device,
                                                   std::vector<uint8_t> configuration,
                                                   LONG alternate, NTSTATUS* status = nullptr) {
    auto* descriptor = reinterpret_cast<PUSB_CONFIGURATION_DESCRIPTOR>(configuration.data());
    PUSB_INTERFACE_DESCRIPTOR interface =
        USBD_ParseConfigurationDescriptorEx(descriptor, descriptor, -1, alternate, -1, -1, -1);
    if (interface == nullptr) return {};
    USBD_INTERFACE_LIST_ENTRY list[2] = {{interface, nullptr}, {nullptr, nullptr}};
    PURB urb = USBD_CreateConfigurationRequestEx(descriptor, list);
    if (urb == nullptr) return {};
    NTSTATUS result;
    {
        Submission submission(device, urb);
        submission.Wait();
        result = submission.status();
    }
    if (status != nullptr) *status = result;
    std::vector<uint8_t> information;
    if (NT_SUCCESS(result) && USBD_SUCCESS(urb->UrbHeader.Status)) {
        const auto* bytes = reinterpret_cast<const uint8_t*>(list[0].Interface);
        information.assign(bytes, bytes + list[0].Interface->Length);
    }
    ExFreePool(urb);
    return information;
}

inline const USBD_PIPE_INFORMATION& PipeAt(const std::vector<uint8_t>& information, size_t i) {
    const auto* interface = reinterpret_cast<const USBD_INTERFACE_INFORMATION*>(information.data());
    const USBD_PIPE_INFORMATION* pipes = interface->Pipes;
    return pipes[i];
}

}  // namespace testing_usb
