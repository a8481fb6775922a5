#include "fake_stick.h"

#include "platform/host/irql.h"

namespace fuzz {

size_t PipePositionOf(USBD_PIPE_HANDLE handle) {
    const auto value = reinterpret_cast<uintptr_t>(handle);
    if (value < kPipeHandleBase || value >= kPipeHandleBase + kFakePipeCapacity) return SIZE_MAX;
    return value - kPipeHandleBase;
}

FakeStick::FakeStick(UCHAR deviceKind) {
    host::SetDeviceNode(&pdo_, this);
    pdo_.StackSize = 1;
    device_.PhysicalDeviceObject = &pdo_;
    device_.Context = &context_;
    context_.deviceActive = 1;
    context_.deviceKind = deviceKind;
    context_.transport = &transport_;
    KeInitializeSpinLock(&context_.keyQueueLock);
    transport_.device = &device_;
    transport_.lowerDevice = &pdo_;
    transport_.firmwareNeeded = 1;
    transport_.InitializeLocks();
}

FakeStick::~FakeStick() = default;

void FakeStick::InstallInterface(size_t pipes, USHORT interruptPacketSize) {
    if (pipes > kFakePipeCapacity) pipes = kFakePipeCapacity;
    static constexpr struct {
        UCHAR address;
        USBD_PIPE_TYPE type;
        USHORT packetSize;
    } kLayout[kFakePipeCount] = {
        {0x81, UsbdPipeTypeBulk, 512},        {0x01, UsbdPipeTypeBulk, 512},
        {0x82, UsbdPipeTypeIsochronous, 512}, {0x83, UsbdPipeTypeIsochronous, 512},
        {0x84, UsbdPipeTypeBulk, 512},        {0x02, UsbdPipeTypeBulk, 512},
        {0x85, UsbdPipeTypeInterrupt, 0},
    };
    auto* info = reinterpret_cast<PUSBD_INTERFACE_INFORMATION>(interface_);
    info->Length = static_cast<USHORT>(offsetof(USBD_INTERFACE_INFORMATION, Pipes) +
                                       pipes * sizeof(USBD_PIPE_INFORMATION));
    info->AlternateSetting = 1;
    info->NumberOfPipes = static_cast<ULONG>(pipes);
    PUSBD_PIPE_INFORMATION pipe = info->Pipes;
    for (size_t i = 0; i < pipes; ++i) {
        const auto& layout = kLayout[i < kFakePipeCount ? i : kFakePipeCount - 1];
        pipe[i].EndpointAddress = layout.address;
        pipe[i].PipeType = layout.type;
        pipe[i].MaximumPacketSize =
            layout.type == UsbdPipeTypeInterrupt ? interruptPacketSize : layout.packetSize;
        pipe[i].PipeHandle = PipeHandleAt(i);
        pipe[i].MaximumTransferSize = 0xFFFF;
    }
    descriptors_.interfaceInfo = info;
    transport_.descriptors = &descriptors_;
}

void FakeStick::DetachInterface() {
    descriptors_.interfaceInfo = nullptr;
    if (transport_.descriptors == &descriptors_) transport_.descriptors = nullptr;
}

NTSTATUS FakeStick::Dispatch(PIRP irp) {
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
    auto* urb = static_cast<PURB>(stack->Parameters.Others.Argument1);
    const NTSTATUS status = handler ? handler(urb) : STATUS_UNSUCCESSFUL;
    if (status == STATUS_PENDING) {
        // As a bus driver does with a request it keeps: its completion then runs as one that
        // the bus held, not on the submitter's stack.
        IoMarkIrpPending(irp);
        parked_ = irp;
        return STATUS_PENDING;
    }
    Complete(irp, status);
    return status;
}

PIRP FakeStick::TakeParked() {
    PIRP irp = parked_;
    parked_ = nullptr;
    return irp;
}

void FakeStick::Complete(PIRP irp, NTSTATUS status) {
    irp->IoStatus.Status = status;
    irp->IoStatus.Information = 0;
    host::ScopedIrql dispatchLevel(DISPATCH_LEVEL);
    IoCompleteRequest(irp, IO_NO_INCREMENT);
}

}  // namespace fuzz
