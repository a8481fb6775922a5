#include "fake_bridge_stick.h"

#include <cstddef>

namespace {
const auto kReplyPipe = reinterpret_cast<USBD_PIPE_HANDLE>(0x81);
const auto kCommandPipe = reinterpret_cast<USBD_PIPE_HANDLE>(0x01);
}  // namespace

FakeBridgeStick::FakeBridgeStick(bool running) : firmware(bus, running) {
    host::SetDeviceNode(&pdo_, this);
    pdo_.StackSize = 1;
    device_.PhysicalDeviceObject = &pdo_;
    device_.Context = &context_;
    context_.deviceActive = 1;
    context_.transport = &transport_;
    transport_.device = &device_;
    transport_.lowerDevice = &pdo_;
    transport_.InitializeLocks();
    interface_.info.Length = sizeof(InterfaceWithPipes);
    interface_.info.NumberOfPipes = 2;
    interface_.info.Pipes[0].PipeHandle = kReplyPipe;
    interface_.info.Pipes[0].PipeType = UsbdPipeTypeBulk;
    interface_.info.Pipes[0].EndpointAddress = 0x81;
    interface_.secondPipe.PipeHandle = kCommandPipe;
    interface_.secondPipe.PipeType = UsbdPipeTypeBulk;
    interface_.secondPipe.EndpointAddress = 0x01;
    static_assert(offsetof(InterfaceWithPipes, secondPipe) ==
                  offsetof(USBD_INTERFACE_INFORMATION, Pipes) + sizeof(USBD_PIPE_INFORMATION));
    descriptors_.interfaceInfo = &interface_.info;
    transport_.descriptors = &descriptors_;
}

FakeBridgeStick::~FakeBridgeStick() = default;

NTSTATUS FakeBridgeStick::Dispatch(PIRP irp) {
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
    auto* urb = static_cast<PURB>(stack->Parameters.Others.Argument1);
    auto& transfer = urb->UrbBulkOrInterruptTransfer;
    NTSTATUS status = STATUS_SUCCESS;
    auto* buffer = static_cast<uint8_t*>(transfer.TransferBuffer);
    if (urb->UrbHeader.Function == URB_FUNCTION_SYNC_RESET_PIPE_AND_CLEAR_STALL &&
        urb->UrbPipeRequest.PipeHandle == kReplyPipe) {
        ++replyPipeResets_;
        firmware.ResetReplyEndpoint();
    } else if (urb->UrbHeader.Function != URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER) {
        status = STATUS_INVALID_PARAMETER;
    } else if (transfer.PipeHandle == kCommandPipe) {
        const size_t number = writesOffered_++;
        if (failWrites_ > 0 || number == failWriteAt_) {
            if (failWrites_ > 0) --failWrites_;
            status = STATUS_UNSUCCESSFUL;
        } else {
            if (number == replyAt_) firmware.OverrideDownloadReplies(1, replyAtByte_);
            writes_.emplace_back(buffer, buffer + transfer.TransferBufferLength);
            firmware.OnCommandFrame(buffer, transfer.TransferBufferLength);
        }
    } else if (transfer.PipeHandle == kReplyPipe) {
        readLengths_.push_back(transfer.TransferBufferLength);
        long taken = firmware.TakeReply(buffer, transfer.TransferBufferLength);
        // A failed read loses the reply it would have carried.
        if (failReads_ > 0) {
            --failReads_;
            taken = -1;
        }
        // An unanswered read stands for one the transport gave up on after its time-out.
        if (taken < 0)
            status = STATUS_CANCELLED;
        else
            transfer.TransferBufferLength = static_cast<ULONG>(taken);
    } else {
        status = STATUS_INVALID_PARAMETER;
    }
    urb->UrbHeader.Status = NT_SUCCESS(status) ? USBD_STATUS_SUCCESS : host::kUsbdStatusCanceled;
    irp->IoStatus.Status = status;
    IoCompleteRequest(irp, IO_NO_INCREMENT);
    return status;
}
