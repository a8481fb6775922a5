#include <atomic>
#include <thread>
#include <vector>

#include "kernel_fixture.h"
#include "platform/host/device_node.h"
#include "platform/host/pool_accounting.h"

namespace {

// A device whose dispatch either completes at once or keeps the packet pending for the test.
class FakeDevice : public host::DeviceNode {
  public:
    FakeDevice() {
        object.StackSize = 1;
        host::SetDeviceNode(&object, this);
    }
    NTSTATUS Dispatch(PIRP irp) override {
        received = irp;
        seenStack = *IoGetCurrentIrpStackLocation(irp);
        if (completeWith == STATUS_PENDING) {
            IoMarkIrpPending(irp);
            return STATUS_PENDING;
        }
        irp->IoStatus.Status = completeWith;
        IoCompleteRequest(irp, IO_NO_INCREMENT);
        return completeWith;
    }
    DEVICE_OBJECT object{};
    NTSTATUS completeWith = STATUS_SUCCESS;
    PIRP received = nullptr;
    IO_STACK_LOCATION seenStack{};
};

class IrpTest : public KernelTest {
  protected:
    void TearDown() override {
        EXPECT_EQ(host::PoolBlocksOutstanding(host::kIrpPoolTag), 0u) << "request packet leaked";
        KernelTest::TearDown();
    }
};

struct CompletionLog {
    std::vector<int> order;
    NTSTATUS returnFromSecond = STATUS_SUCCESS;
};

template <int Id>
NTSTATUS LoggingRoutine(PDEVICE_OBJECT, PIRP, PVOID context) {
    auto* log = static_cast<CompletionLog*>(context);
    log->order.push_back(Id);
    return Id == 2 ? log->returnFromSecond : STATUS_SUCCESS;
}

NTSTATUS FreeAndStop(PDEVICE_OBJECT, PIRP irp, PVOID context) {
    static_cast<CompletionLog*>(context)->order.push_back(1);
    IoFreeIrp(irp);
    return STATUS_MORE_PROCESSING_REQUIRED;
}

// Three drivers stacked: the top one's routine frees the packet. Routines run bottom-up.
TEST_F(IrpTest, CompletionRoutinesRunUpwardAndMoreProcessingStops) {
    for (NTSTATUS second : {STATUS_SUCCESS, STATUS_MORE_PROCESSING_REQUIRED}) {
        CompletionLog log;
        log.returnFromSecond = second;
        FakeDevice device;
        PIRP irp = IoAllocateIrp(4, FALSE);
        ASSERT_NE(irp, nullptr);
        IoSetCompletionRoutine(irp, FreeAndStop, &log, TRUE, TRUE, TRUE);
        IoSetNextIrpStackLocation(irp);
        IoSetCompletionRoutine(irp, LoggingRoutine<2>, &log, TRUE, TRUE, TRUE);
        IoSetNextIrpStackLocation(irp);
        IoSetCompletionRoutine(irp, LoggingRoutine<3>, &log, TRUE, TRUE, TRUE);
        EXPECT_EQ(IoCallDriver(&device.object, irp), STATUS_SUCCESS);
        if (second == STATUS_SUCCESS) {
            EXPECT_EQ(log.order, (std::vector<int>{3, 2, 1}));
        } else {
            EXPECT_EQ(log.order, (std::vector<int>{3, 2}));
            EXPECT_EQ(irp->CurrentLocation, 4) << "the packet stays where the routine took it back";
            IoFreeIrp(irp);
        }
    }
    EXPECT_TRUE(host::KernelErrors().empty());
}

struct InvokeCase {
    bool onSuccess, onError, onCancel;
    NTSTATUS status;
    bool cancelled;
    bool expectCalled;
};

class InvokeFlagsTest : public IrpTest, public ::testing::WithParamInterface<InvokeCase> {};

NTSTATUS CountAndStop(PDEVICE_OBJECT, PIRP, PVOID context) {
    ++*static_cast<int*>(context);
    return STATUS_MORE_PROCESSING_REQUIRED;
}

TEST_P(InvokeFlagsTest, RoutineRunsOnlyWhenItsFlagMatches) {
    host::ScopedViolationCapture expected;  // the calls below break rules on purpose
    const InvokeCase& c = GetParam();
    FakeDevice device;
    device.completeWith = STATUS_PENDING;
    PIRP irp = IoAllocateIrp(1, FALSE);
    int calls = 0;
    IoSetCompletionRoutine(irp, CountAndStop, &calls, c.onSuccess, c.onError, c.onCancel);
    ASSERT_EQ(IoCallDriver(&device.object, irp), STATUS_PENDING);
    if (c.cancelled) irp->Cancel = TRUE;
    irp->IoStatus.Status = c.status;
    IoCompleteRequest(irp, IO_NO_INCREMENT);
    EXPECT_EQ(calls, c.expectCalled ? 1 : 0);
    if (!c.expectCalled) {
        // Nothing took the packet back: it went up to the top with the pending flag, which a
        // packet the driver allocated itself must never do.
        EXPECT_EQ(irp->CurrentLocation, 2);
        EXPECT_TRUE(irp->PendingReturned);
        EXPECT_EQ(ErrorsMentioning("completed to the top"), 1u);
    }
    IoFreeIrp(irp);
}

INSTANTIATE_TEST_SUITE_P(
    Flags, InvokeFlagsTest,
    ::testing::Values(InvokeCase{true, false, false, STATUS_SUCCESS, false, true},
                      InvokeCase{false, true, true, STATUS_SUCCESS, false, false},
                      InvokeCase{false, true, false, STATUS_UNSUCCESSFUL, false, true},
                      InvokeCase{true, false, false, STATUS_CANCELLED, false, false},
                      InvokeCase{false, false, true, STATUS_CANCELLED, true, true},
                      InvokeCase{true, false, false, STATUS_CANCELLED, true, false}));

TEST_F(IrpTest, BuiltRequestCompletedInlineSignalsFillsAndFrees) {
    FakeDevice device;
    device.completeWith = STATUS_UNSUCCESSFUL;
    KEVENT event;
    KeInitializeEvent(&event, NotificationEvent, FALSE);
    IO_STATUS_BLOCK iosb{};
    int block = 0;
    PIRP irp = IoBuildDeviceIoControlRequest(0x220003, &device.object, &block, 4, nullptr, 0, TRUE,
                                             &event, &iosb);
    ASSERT_NE(irp, nullptr);
    PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(irp);
    EXPECT_EQ(next->MajorFunction, IRP_MJ_INTERNAL_DEVICE_CONTROL);
    next->Parameters.Others.Argument1 = &block;  // as the USB transport does
    EXPECT_EQ(IoCallDriver(&device.object, irp), STATUS_UNSUCCESSFUL);
    EXPECT_EQ(device.seenStack.Parameters.DeviceIoControl.IoControlCode, 0x220003u)
        << "the first argument must not overlap the control code";
    EXPECT_EQ(device.seenStack.Parameters.Others.Argument1, &block);
    EXPECT_EQ(device.seenStack.DeviceObject, &device.object);
    EXPECT_EQ(KeReadStateEvent(&event), 1);
    EXPECT_EQ(iosb.Status, STATUS_UNSUCCESSFUL);

    PIRP plain = IoBuildDeviceIoControlRequest(0x1234, &device.object, nullptr, 0, nullptr, 8,
                                               FALSE, &event, &iosb);
    EXPECT_EQ(IoGetNextIrpStackLocation(plain)->MajorFunction, IRP_MJ_DEVICE_CONTROL);
    EXPECT_EQ(IoGetNextIrpStackLocation(plain)->Parameters.DeviceIoControl.OutputBufferLength, 8u);
    IoFreeIrp(plain);
}

// A request the device finishes on another thread after the caller's wait timed out: the caller
// cancels it and waits again; the packet stays valid until the caller's wait takes it in.
TEST_F(IrpTest, BuiltRequestFinishedElsewhereIsDeliveredToTheWaitingRequester) {
    FakeDevice device;
    device.completeWith = STATUS_PENDING;
    KEVENT event;
    KeInitializeEvent(&event, NotificationEvent, FALSE);
    IO_STATUS_BLOCK iosb{};
    PIRP irp = IoBuildDeviceIoControlRequest(0x220003, &device.object, nullptr, 0, nullptr, 0, TRUE,
                                             &event, &iosb);
    ASSERT_EQ(IoCallDriver(&device.object, irp), STATUS_PENDING);
    LARGE_INTEGER oneSecond = RelativeMs(1000);
    ASSERT_EQ(KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, &oneSecond),
              STATUS_TIMEOUT);

    std::thread([&] {
        irp->IoStatus.Status = STATUS_CANCELLED;
        IoCompleteRequest(irp, IO_NO_INCREMENT);
    }).join();
    EXPECT_EQ(host::PoolBlocksOutstanding(host::kIrpPoolTag), 1u)
        << "freed before the requester took it in";
    EXPECT_FALSE(IoCancelIrp(irp));
    EXPECT_EQ(KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, nullptr), STATUS_SUCCESS);
    EXPECT_EQ(iosb.Status, STATUS_CANCELLED);
}

void CountingCancel(PDEVICE_OBJECT, PIRP irp) {
    ++*static_cast<std::atomic<int>*>(irp->Tail.Overlay.DriverContext[0]);
    EXPECT_EQ(KeGetCurrentIrql(), DISPATCH_LEVEL);
}

TEST_F(IrpTest, CancelRoutineRunsOnceUnderConcurrentCancels) {
    for (int round = 0; round < 50; ++round) {
        PIRP irp = IoAllocateIrp(1, FALSE);
        std::atomic<int> calls{0};
        irp->Tail.Overlay.DriverContext[0] = &calls;
        EXPECT_EQ(IoSetCancelRoutine(irp, CountingCancel), nullptr);
        std::atomic<int> trueResults{0};
        std::vector<std::thread> cancellers;
        for (int t = 0; t < 3; ++t)
            cancellers.emplace_back([&] { trueResults += IoCancelIrp(irp) ? 1 : 0; });
        for (auto& thread : cancellers) thread.join();
        EXPECT_EQ(calls.load(), 1);
        EXPECT_EQ(trueResults.load(), 1);
        EXPECT_TRUE(irp->Cancel);
        IoFreeIrp(irp);
    }
}

TEST_F(IrpTest, MisuseOfStackLocationsIsReported) {
    host::ScopedViolationCapture expected;  // the calls below break rules on purpose
    FakeDevice device;
    PIRP irp = IoAllocateIrp(1, FALSE);
    IoSetNextIrpStackLocation(irp);
    EXPECT_EQ(IoCallDriver(&device.object, irp), STATUS_INVALID_PARAMETER);
    EXPECT_EQ(device.received, nullptr);
    EXPECT_EQ(ErrorsMentioning("next stack location must exist"), 1u);
    IoFreeIrp(irp);
    IRP notAllocated{};
    IoFreeIrp(&notAllocated);
    EXPECT_EQ(ErrorsMentioning("not a request packet"), 1u);
}

TEST_F(IrpTest, ReuseResetsLocationsButKeepsTheAllocation) {
    FakeDevice device;
    PIRP irp = IoAllocateIrp(2, FALSE);
    int calls = 0;
    IoSetCompletionRoutine(irp, CountAndStop, &calls, TRUE, TRUE, TRUE);
    IoCallDriver(&device.object, irp);
    EXPECT_EQ(calls, 1);
    IoReuseIrp(irp, STATUS_PENDING);
    EXPECT_EQ(irp->CurrentLocation, 3);
    EXPECT_EQ(irp->IoStatus.Status, STATUS_PENDING);
    EXPECT_EQ(IoGetNextIrpStackLocation(irp)->CompletionRoutine, nullptr);
    IoInitializeIrp(irp, IoSizeOfIrp(2), 2);
    EXPECT_EQ(IoGetNextIrpStackLocation(irp), reinterpret_cast<PIO_STACK_LOCATION>(irp + 1) + 1);
    IoFreeIrp(irp);
    EXPECT_TRUE(host::KernelErrors().empty());
}

}  // namespace
