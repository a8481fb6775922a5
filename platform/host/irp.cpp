// Request packets: allocation, stack locations, passing down, completion and cancellation.
//
// Stack locations follow the packet in one allocation. Location n (1..StackCount) is element
// n-1 of that array; CurrentLocation counts down from StackCount + 1 as the packet goes down and
// back up as it is completed.
#include <cstdio>
#include <mutex>
#include <string>
#include <unordered_set>

#include "platform/host/device_node.h"
#include "platform/host/driver_call.h"
#include "platform/host/io_completion_queue.h"
#include "platform/host/kernel_errors.h"
#include "platform/host/pool_accounting.h"
#include "platform/host/service_rules.h"
#include "platform/host/thread_state.h"

namespace {

constexpr SHORT kIoTypeIrp = 6;
constexpr UCHAR kPendingReturned = 0x01;  // SL_PENDING_RETURNED
constexpr UCHAR kInvokeFlags = SL_INVOKE_ON_SUCCESS | SL_INVOKE_ON_ERROR | SL_INVOKE_ON_CANCEL;
// Host bits in AllocationFlags (bits the Windows kernel leaves unused there).
constexpr UCHAR kAllocatedFromPool = 0x10;  // IoAllocateIrp / IoBuildDeviceIoControlRequest
constexpr UCHAR kOwnedByIoSystem = 0x20;    // IoBuildDeviceIoControlRequest: freed at completion

PIO_STACK_LOCATION StackBase(PIRP irp) {
    return reinterpret_cast<PIO_STACK_LOCATION>(irp + 1);
}

bool HasCurrentLocation(PIRP irp) {
    return irp->CurrentLocation >= 1 && irp->CurrentLocation <= irp->StackCount;
}

// Packets allocated and not yet freed, so that a cancel of a freed packet is reported instead of
// touching released memory.
struct LivePackets {
    std::mutex lock;
    std::unordered_set<PIRP> packets;
};

LivePackets& TheLivePackets() {
    static LivePackets* live = new LivePackets;  // never destroyed: packets may outlive statics
    return *live;
}

bool IsLivePacket(PIRP irp) {
    std::lock_guard guard(TheLivePackets().lock);
    return TheLivePackets().packets.count(irp) != 0;
}

std::string Describe(const char* what, PIRP irp) {
    char text[200];
    std::snprintf(text, sizeof text, "%s (packet %p, location %d of %d)", what,
                  static_cast<void*>(irp), irp->CurrentLocation, irp->StackCount);
    return text;
}

// What the I/O system does once a packet it owns has been completed to the top.
void FinishIoSystemPacket(PIRP irp) {
    if (irp->UserIosb != nullptr) *irp->UserIosb = irp->IoStatus;
    PKEVENT event = irp->UserEvent;
    IoFreeIrp(irp);
    if (event != nullptr) KeSetEvent(event, IO_NO_INCREMENT, FALSE);
}

}  // namespace

USHORT IoSizeOfIrp(CCHAR stackSize) {
    return static_cast<USHORT>(sizeof(IRP) +
                               static_cast<size_t>(stackSize) * sizeof(IO_STACK_LOCATION));
}

PIRP IoAllocateIrp(CCHAR stackSize, BOOLEAN) {
    static const host::ServiceRule& rule = host::RuleOf("IoAllocateIrp");
    host::CheckServiceIrql(rule);
    if (stackSize < 1) {
        host::RecordKernelError("IoAllocateIrp with a stack size below 1");
        return nullptr;
    }
    USHORT size = IoSizeOfIrp(stackSize);
    auto irp = static_cast<PIRP>(ExAllocatePoolWithTag(NonPagedPoolNx, size, host::kIrpPoolTag));
    if (irp == nullptr) return nullptr;
    IoInitializeIrp(irp, size, stackSize);
    irp->AllocationFlags = kAllocatedFromPool;
    std::lock_guard guard(TheLivePackets().lock);
    TheLivePackets().packets.insert(irp);
    return irp;
}

void IoInitializeIrp(PIRP irp, USHORT packetSize, CCHAR stackSize) {
    static const host::ServiceRule& rule = host::RuleOf("IoInitializeIrp");
    host::CheckServiceIrql(rule);
    std::memset(static_cast<void*>(irp), 0, packetSize);
    irp->Type = kIoTypeIrp;
    irp->Size = packetSize;
    irp->StackCount = stackSize;
    irp->CurrentLocation = static_cast<CCHAR>(stackSize + 1);
    irp->Tail.Overlay.CurrentStackLocation = StackBase(irp) + stackSize;
}

void IoReuseIrp(PIRP irp, NTSTATUS status) {
    static const host::ServiceRule& rule = host::RuleOf("IoReuseIrp");
    host::CheckServiceIrql(rule);
    UCHAR flags = irp->AllocationFlags;
    IoInitializeIrp(irp, irp->Size, irp->StackCount);
    irp->AllocationFlags = flags;
    irp->IoStatus.Status = status;
}

void IoFreeIrp(PIRP irp) {
    static const host::ServiceRule& rule = host::RuleOf("IoFreeIrp");
    host::CheckServiceIrql(rule);
    if (irp == nullptr || irp->Type != kIoTypeIrp) {
        host::RecordKernelError("IoFreeIrp of something that is not a request packet");
        return;
    }
    irp->Type = 0;  // a second free is reported instead of freeing twice
    {
        std::lock_guard guard(TheLivePackets().lock);
        TheLivePackets().packets.erase(irp);
    }
    ExFreePoolWithTag(irp, host::kIrpPoolTag);
}

PIO_STACK_LOCATION IoGetNextIrpStackLocation(PIRP irp) {
    return irp->Tail.Overlay.CurrentStackLocation - 1;
}

PIO_STACK_LOCATION IoGetCurrentIrpStackLocation(PIRP irp) {
    return irp->Tail.Overlay.CurrentStackLocation;
}

void IoSetNextIrpStackLocation(PIRP irp) {
    if (irp->CurrentLocation <= 1) {
        host::RecordKernelError(
            Describe("IoSetNextIrpStackLocation with no stack location left", irp));
        return;
    }
    irp->CurrentLocation--;
    irp->Tail.Overlay.CurrentStackLocation--;
}

void IoSetCompletionRoutine(PIRP irp, PIO_COMPLETION_ROUTINE routine, PVOID context,
                            BOOLEAN invokeOnSuccess, BOOLEAN invokeOnError,
                            BOOLEAN invokeOnCancel) {
    if (irp->CurrentLocation <= 1) {
        host::RecordKernelError(
            Describe("IoSetCompletionRoutine with no next stack location", irp));
        return;
    }
    PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(irp);
    next->CompletionRoutine = routine;
    next->Context = context;
    next->Control = 0;
    if (invokeOnSuccess) next->Control |= SL_INVOKE_ON_SUCCESS;
    if (invokeOnError) next->Control |= SL_INVOKE_ON_ERROR;
    if (invokeOnCancel) next->Control |= SL_INVOKE_ON_CANCEL;
}

NTSTATUS IofCallDriver(PDEVICE_OBJECT deviceObject, PIRP irp) {
    static const host::ServiceRule& rule = host::RuleOf("IofCallDriver");
    host::CheckServiceIrql(rule);
    if (irp->CurrentLocation <= 1) {
        // The kernel stops the machine here (no more stack locations).
        host::RecordKernelError(Describe("IofCallDriver: a next stack location must exist", irp));
        return STATUS_INVALID_PARAMETER;
    }
    irp->CurrentLocation--;
    irp->Tail.Overlay.CurrentStackLocation--;
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
    stack->DeviceObject = deviceObject;
    if (deviceObject != nullptr && host::DeviceNodeOf(deviceObject) != nullptr)
        return host::DeviceNodeOf(deviceObject)->Dispatch(irp);
    PDRIVER_DISPATCH dispatch = nullptr;
    if (deviceObject != nullptr && deviceObject->DriverObject != nullptr &&
        stack->MajorFunction < 28)
        dispatch = deviceObject->DriverObject->MajorFunction[stack->MajorFunction];
    if (dispatch != nullptr) return host::CallDriver(dispatch, deviceObject, irp);
    host::RecordKernelError(
        Describe("IofCallDriver: the device has nothing to dispatch the packet to", irp));
    irp->IoStatus.Status = STATUS_INVALID_DEVICE_REQUEST;
    irp->IoStatus.Information = 0;
    IofCompleteRequest(irp, IO_NO_INCREMENT);
    return STATUS_INVALID_DEVICE_REQUEST;
}

void IofCompleteRequest(PIRP irp, KPRIORITY) {
    static const host::ServiceRule& rule = host::RuleOf("IofCompleteRequest");
    host::CheckServiceIrql(rule);
    if (irp->CurrentLocation > irp->StackCount) {
        host::RecordKernelError(
            Describe("IofCompleteRequest of a packet that is not with a driver", irp));
        return;
    }
    if (irp->IoStatus.Status == STATUS_PENDING)
        host::RecordKernelError(
            Describe("IofCompleteRequest with STATUS_PENDING as the final status", irp));
    while (HasCurrentLocation(irp)) {
        PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
        irp->PendingReturned = (stack->Control & kPendingReturned) != 0;
        PIO_COMPLETION_ROUTINE routine = stack->CompletionRoutine;
        PVOID context = stack->Context;
        UCHAR control = stack->Control;
        // The finished location is cleared and the packet moves up to its caller's location.
        stack->MinorFunction = 0;
        stack->Flags = 0;
        stack->Control = 0;
        stack->CompletionRoutine = nullptr;
        stack->Context = nullptr;
        irp->CurrentLocation++;
        irp->Tail.Overlay.CurrentStackLocation++;

        NTSTATUS status = irp->IoStatus.Status;
        bool cancelled = __atomic_load_n(&irp->Cancel, __ATOMIC_SEQ_CST) != 0;
        bool invoke = routine != nullptr && (control & kInvokeFlags) != 0 &&
                      ((NT_SUCCESS(status) && (control & SL_INVOKE_ON_SUCCESS)) ||
                       (!NT_SUCCESS(status) && (control & SL_INVOKE_ON_ERROR)) ||
                       (cancelled && (control & SL_INVOKE_ON_CANCEL)));
        if (invoke) {
            PDEVICE_OBJECT caller =
                HasCurrentLocation(irp) ? IoGetCurrentIrpStackLocation(irp)->DeviceObject : nullptr;
            // With STATUS_MORE_PROCESSING_REQUIRED the routine has taken the packet back: it may
            // already be freed or reused, so it is not touched again.
            if (host::CallDriver(routine, caller, irp, context) == STATUS_MORE_PROCESSING_REQUIRED)
                return;
        } else if (irp->PendingReturned && HasCurrentLocation(irp)) {
            IoGetCurrentIrpStackLocation(irp)->Control |= kPendingReturned;
        }
    }
    if (irp->AllocationFlags & kOwnedByIoSystem) {
        host::FinishOnRequestingThread(irp, FinishIoSystemPacket);
        return;
    }
    // A packet the driver allocated itself has no thread for the I/O system to complete it to.
    host::RecordKernelError(
        Describe("driver-allocated packet completed to the top: its completion routine must return "
                 "STATUS_MORE_PROCESSING_REQUIRED",
                 irp));
}

BOOLEAN IoCancelIrp(PIRP irp) {
    static const host::ServiceRule& rule = host::RuleOf("IoCancelIrp");
    host::CheckServiceIrql(rule);
    if (!IsLivePacket(irp)) {
        host::RecordKernelError("IoCancelIrp of a packet that has been freed");
        return FALSE;
    }
    __atomic_store_n(&irp->Cancel, TRUE, __ATOMIC_SEQ_CST);
    PDRIVER_CANCEL routine = __atomic_exchange_n(&irp->CancelRoutine, nullptr, __ATOMIC_SEQ_CST);
    if (routine == nullptr) return FALSE;
    // Cancel routines run at DISPATCH_LEVEL, as under the kernel's cancel spin lock. Whoever
    // took the routine out of the packet is the only one to call it.
    KIRQL previous;
    KeRaiseIrql(DISPATCH_LEVEL, &previous);
    irp->CancelIrql = previous;
    PDEVICE_OBJECT device =
        HasCurrentLocation(irp) ? IoGetCurrentIrpStackLocation(irp)->DeviceObject : nullptr;
    host::CallDriver(routine, device, irp);
    KeLowerIrql(previous);
    return TRUE;
}

PDRIVER_CANCEL IoSetCancelRoutine(PIRP irp, PDRIVER_CANCEL cancelRoutine) {
    return __atomic_exchange_n(&irp->CancelRoutine, cancelRoutine, __ATOMIC_SEQ_CST);
}

void IoMarkIrpPending(PIRP irp) {
    if (!HasCurrentLocation(irp)) {
        host::RecordKernelError(Describe("IoMarkIrpPending with no current stack location", irp));
        return;
    }
    IoGetCurrentIrpStackLocation(irp)->Control |= kPendingReturned;
}

PIRP IoBuildDeviceIoControlRequest(ULONG ioControlCode, PDEVICE_OBJECT deviceObject,
                                   PVOID inputBuffer, ULONG inputBufferLength, PVOID outputBuffer,
                                   ULONG outputBufferLength, BOOLEAN internalDeviceIoControl,
                                   PKEVENT event, PIO_STATUS_BLOCK ioStatusBlock) {
    static const host::ServiceRule& rule = host::RuleOf("IoBuildDeviceIoControlRequest");
    host::CheckServiceIrql(rule);
    PIRP irp = IoAllocateIrp(deviceObject->StackSize, FALSE);
    if (irp == nullptr) return nullptr;
    irp->AllocationFlags |= kOwnedByIoSystem;
    irp->RequestorMode = KernelMode;
    irp->UserIosb = ioStatusBlock;
    irp->UserEvent = event;
    irp->UserBuffer = outputBuffer;
    irp->Tail.Overlay.Thread = host::CurrentThreadToken();
    PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(irp);
    next->MajorFunction =
        internalDeviceIoControl ? IRP_MJ_INTERNAL_DEVICE_CONTROL : IRP_MJ_DEVICE_CONTROL;
    next->Parameters.DeviceIoControl.IoControlCode = ioControlCode;
    next->Parameters.DeviceIoControl.InputBufferLength = inputBufferLength;
    next->Parameters.DeviceIoControl.OutputBufferLength = outputBufferLength;
    next->Parameters.DeviceIoControl.Type3InputBuffer = inputBuffer;
    return irp;
}
