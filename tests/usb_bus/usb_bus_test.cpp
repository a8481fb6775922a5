// The bus: pending and later completion, parallel completions, cancel, unplug, abort, refusals
// and the time-out of a request nobody answers.
#include "platform/host/usb_bus.h"

#include <gtest/gtest.h>

#include <atomic>
#include <map>
#include <mutex>
#include <set>
#include <thread>
#include <vector>

#include "platform/host/clock.h"
#include "platform/host/irql.h"
#include "platform/host/kernel_errors.h"
#include "platform/host/kernel_state.h"
#include "sim/stick_descriptors.h"
#include "usb_bus/urb_submitter.h"

namespace {

using host::UsbAnswer;
using host::UsbRequest;
using testing_usb::BuildTransfer;
using testing_usb::PipeAt;
using testing_usb::Submission;
using testing_usb::UrbBuffer;

// Pipe positions of the seven-endpoint layout.
constexpr size_t kReplyPipe = 0;      // 0x81 bulk IN
constexpr size_t kCommandPipe = 1;    // 0x01 bulk OUT
constexpr size_t kBulkInPipe = 3;     // 0x86 bulk IN
constexpr size_t kIsoPipe = 4;        // 0x87 isochronous IN
constexpr size_t kInterruptPipe = 6;  // 0x8A interrupt IN

// A device whose answers the test scripts, keyed by nothing but the handler it is given.
class ScriptedDevice : public host::UsbDeviceModel {
  public:
    using Handler = std::function<UsbAnswer(const UsbRequest&)>;
    explicit ScriptedDevice(Handler handler) : handler_(std::move(handler)) {}
    UsbAnswer Handle(const UsbRequest& request) override {
        if (request.function == URB_FUNCTION_SELECT_CONFIGURATION) return UsbAnswer::Success();
        return handler_(request);
    }

  private:
    const Handler handler_;
};

class UsbBusTest : public testing::Test {
  protected:
    void SetUp() override {
        host::ResetKernelState();
        host::SetClockMode(host::ClockMode::Virtual);
    }
    void TearDown() override { EXPECT_TRUE(host::KernelErrors().empty()); }

    // Plugs a scripted device and selects alternate setting 1 of the seven-endpoint layout.
    void Plug(ScriptedDevice::Handler handler) {
        model_ = std::make_shared<ScriptedDevice>(std::move(handler));
        device_ = bus_.Plug(model_);
        const sim::DescriptorSet descriptors =
            sim::BuiltInDescriptors(0x3344, 0x1122, sim::DescriptorLayout::RomImage,
                                    sim::StreamTransfer::Isochronous, true);
        interface_ = testing_usb::SelectAlternateSetting(device_, descriptors.configuration, 1);
        ASSERT_FALSE(interface_.empty());
    }
    USBD_PIPE_HANDLE Pipe(size_t position) { return PipeAt(interface_, position).PipeHandle; }

    // A bulk or interrupt read of `length` bytes on the pipe at `position`.
    std::unique_ptr<Submission> Read(size_t position, UrbBuffer& urb, uint8_t* buffer, ULONG length,
                                     std::function<void()> onComplete = {}) {
        BuildTransfer(urb.get(), Pipe(position), buffer, length, true);
        return std::make_unique<Submission>(device_, urb.get(), std::move(onComplete));
    }

    host::UsbBus bus_;
    std::shared_ptr<ScriptedDevice> model_;
    PDEVICE_OBJECT device_ = nullptr;
    std::vector<uint8_t> interface_;
};

TEST_F(UsbBusTest, ParkedReadCompletesWhenWokenOnAWorkerAtDispatchLevel) {
    // The poll retries a parked read now and then, and a retry is work in progress while it
    // runs; keep it out of this test so that the parked state itself is what gets checked.
    bus_.SetPollInterval(std::chrono::seconds(60));
    std::atomic<bool> reportReady{false};
    Plug([&](const UsbRequest& request) {
        if (!reportReady) return UsbAnswer::WaitForWake();
        static_cast<uint8_t*>(request.urb->UrbBulkOrInterruptTransfer.TransferBuffer)[0] = 0xAA;
        request.urb->UrbBulkOrInterruptTransfer.TransferBufferLength = 1;
        return UsbAnswer::Success();
    });
    UrbBuffer urb;
    uint8_t report[64] = {};
    auto read = Read(kInterruptPipe, urb, report, sizeof report);
    EXPECT_EQ(read->dispatchResult(), STATUS_PENDING);
    EXPECT_FALSE(read->Wait(std::chrono::milliseconds(30)));
    EXPECT_FALSE(bus_.WorkInProgress());  // a read waiting for data is no work in progress

    reportReady = true;
    bus_.Wake(device_, 0x8A);
    ASSERT_TRUE(read->Wait());
    EXPECT_EQ(read->status(), STATUS_SUCCESS);
    EXPECT_EQ(read->irql(), DISPATCH_LEVEL);
    EXPECT_NE(read->thread(), std::this_thread::get_id());
    EXPECT_EQ(urb->UrbBulkOrInterruptTransfer.TransferBufferLength, 1u);
    EXPECT_EQ(report[0], 0xAA);
    EXPECT_EQ(bus_.OutstandingRequests(), 0u);
}

// Completions of different pipes overlap on several threads; those of one pipe run one after
// the other in submission order, so a stream's reads reach the driver in order.
TEST_F(UsbBusTest, CompletionRoutinesOverlapAcrossPipesAndKeepOrderWithinOne) {
    Plug([](const UsbRequest& request) {
        request.urb->UrbBulkOrInterruptTransfer.TransferBufferLength = 4;
        return UsbAnswer::Success();
    });
    const size_t pipes[] = {kReplyPipe, kBulkInPipe, kInterruptPipe};
    constexpr int kPipes = 3;
    std::atomic<int> inside{0};
    std::atomic<int> mostAtOnce{0};
    auto overlap = [&] {
        const int now = ++inside;
        int seen = mostAtOnce.load();
        while (now > seen && !mostAtOnce.compare_exchange_weak(seen, now)) {
        }
        // Hold the completion until all pipes are inside (or give up after two seconds).
        const auto giveUp = std::chrono::steady_clock::now() + std::chrono::seconds(2);
        while (mostAtOnce.load() < kPipes && std::chrono::steady_clock::now() < giveUp)
            std::this_thread::yield();
        --inside;
    };
    UrbBuffer urbs[kPipes];
    uint8_t buffers[kPipes][16];
    std::vector<std::unique_ptr<Submission>> reads;
    for (int i = 0; i < kPipes; ++i)
        reads.push_back(Read(pipes[i], urbs[i], buffers[i], 16, overlap));
    for (auto& read : reads) ASSERT_TRUE(read->Wait());
    EXPECT_EQ(mostAtOnce.load(), kPipes);

    // One pipe: never two completion routines at once, and in the order of submission.
    constexpr int kReads = 8;
    std::mutex orderLock;
    std::vector<int> order;
    std::atomic<int> busy{0};
    std::atomic<bool> overlapped{false};
    UrbBuffer sameUrbs[kReads];
    uint8_t sameBuffers[kReads][16];
    std::vector<std::unique_ptr<Submission>> same;
    for (int i = 0; i < kReads; ++i) {
        same.push_back(Read(kBulkInPipe, sameUrbs[i], sameBuffers[i], 16, [&, i] {
            if (++busy > 1) overlapped = true;
            std::this_thread::sleep_for(std::chrono::milliseconds(2));
            {
                std::lock_guard guard(orderLock);
                order.push_back(i);
            }
            --busy;
        }));
    }
    for (auto& read : same) ASSERT_TRUE(read->Wait());
    EXPECT_FALSE(overlapped.load());
    std::vector<int> expected(kReads);
    for (int i = 0; i < kReads; ++i) expected[i] = i;
    EXPECT_EQ(order, expected);
}

TEST_F(UsbBusTest, CancelCompletesAnUnansweredRequestOnceAndFreesThePipe) {
    std::atomic<int> seen{0};
    Plug([&](const UsbRequest&) {
        return ++seen == 1 ? UsbAnswer::WaitForCancel() : UsbAnswer::Success();
    });
    UrbBuffer first, second;
    uint8_t a[8], b[8];
    auto hung = Read(kReplyPipe, first, a, sizeof a);
    auto behind = Read(kReplyPipe, second, b, sizeof b);
    EXPECT_FALSE(behind->Wait(std::chrono::milliseconds(30)));  // waits behind the hung read

    EXPECT_TRUE(IoCancelIrp(hung->irp()));
    ASSERT_TRUE(hung->Wait());
    EXPECT_EQ(hung->status(), STATUS_CANCELLED);
    EXPECT_EQ(first->UrbHeader.Status, host::kUsbdStatusCanceled);
    EXPECT_FALSE(IoCancelIrp(hung->irp()));
    ASSERT_TRUE(behind->Wait());
    EXPECT_EQ(behind->status(), STATUS_SUCCESS);
    EXPECT_EQ(hung->completions(), 1);
}

// Cancel and a normal answer race each other; every packet must complete exactly once.
TEST_F(UsbBusTest, CancelRacingAnAnswerCompletesExactlyOnce) {
    std::atomic<bool> answer{false};
    Plug([&](const UsbRequest&) {
        return answer ? UsbAnswer::Success() : UsbAnswer::WaitForWake();
    });
    for (int round = 0; round < 300; ++round) {
        answer = false;
        UrbBuffer urb;
        uint8_t data[8];
        auto read = Read(kBulkInPipe, urb, data, sizeof data);
        std::thread waker([&] {
            answer = true;
            bus_.Wake(device_, 0x86);
        });
        IoCancelIrp(read->irp());
        waker.join();
        ASSERT_TRUE(read->Wait());
        std::this_thread::yield();
        ASSERT_EQ(read->completions(), 1);
        ASSERT_TRUE(read->status() == STATUS_SUCCESS || read->status() == STATUS_CANCELLED);
    }
}

TEST_F(UsbBusTest, UnplugCompletesEverythingWithNotConnectedAndRefusesWhatFollows) {
    std::vector<PDEVICE_OBJECT> departed;
    bus_.SetDepartureCallback([&](PDEVICE_OBJECT device) { departed.push_back(device); });
    Plug([](const UsbRequest& request) {
        return request.endpoint.address == 0x81 ? UsbAnswer::WaitForCancel()
                                                : UsbAnswer::WaitForWake();
    });
    UrbBuffer urbs[3];
    uint8_t buffers[3][64];
    auto parked = Read(kReplyPipe, urbs[0], buffers[0], 64);
    auto queued = Read(kReplyPipe, urbs[1], buffers[1], 64);
    auto waiting = Read(kInterruptPipe, urbs[2], buffers[2], 64);

    bus_.Unplug(device_);
    for (Submission* read : {parked.get(), queued.get(), waiting.get()}) {
        ASSERT_TRUE(read->Wait());
        EXPECT_EQ(read->status(), STATUS_DEVICE_NOT_CONNECTED);
    }
    EXPECT_EQ(urbs[0]->UrbHeader.Status, host::kUsbdStatusDeviceGone);
    EXPECT_FALSE(bus_.IsConnected(device_));

    UrbBuffer late;
    uint8_t data[8];
    BuildTransfer(late.get(), Pipe(kCommandPipe), data, sizeof data, false);
    Submission refused(device_, late.get());
    EXPECT_EQ(refused.dispatchResult(), STATUS_DEVICE_NOT_CONNECTED);
    EXPECT_TRUE(refused.Done());

    bus_.WaitForPnpIdle();
    EXPECT_EQ(departed, std::vector<PDEVICE_OBJECT>{device_});
    bus_.Unplug(device_);  // a second unplug changes nothing
    bus_.WaitForPnpIdle();
    EXPECT_EQ(departed.size(), 1u);
    bus_.Shutdown();  // no notification may reach `departed` after this test
}

TEST_F(UsbBusTest, UnplugFromInsideTheDeviceFailsTheRequestItWasAnswering) {
    host::UsbBus* bus = &bus_;
    Plug([bus](const UsbRequest& request) {
        bus->Unplug(request.device);
        return UsbAnswer::Success();
    });
    UrbBuffer urb;
    uint8_t frame[2] = {0x8A, 0x00};
    BuildTransfer(urb.get(), Pipe(kCommandPipe), frame, sizeof frame, false);
    Submission write(device_, urb.get());
    ASSERT_TRUE(write.Wait());
    EXPECT_EQ(write.status(), STATUS_DEVICE_NOT_CONNECTED);
}

TEST_F(UsbBusTest, AbortPipeCancelsThatPipeOnly) {
    Plug([](const UsbRequest&) { return UsbAnswer::WaitForWake(); });
    UrbBuffer streamUrbs[2], reportUrb, abortUrb;
    uint8_t buffers[3][64];
    auto stream0 = Read(kBulkInPipe, streamUrbs[0], buffers[0], 64);
    auto stream1 = Read(kBulkInPipe, streamUrbs[1], buffers[1], 64);
    auto report = Read(kInterruptPipe, reportUrb, buffers[2], 64);

    abortUrb->UrbHeader.Length = sizeof(_URB_PIPE_REQUEST);
    abortUrb->UrbHeader.Function = URB_FUNCTION_ABORT_PIPE;
    abortUrb->UrbPipeRequest.PipeHandle = Pipe(kBulkInPipe);
    Submission abort(device_, abortUrb.get());
    ASSERT_TRUE(abort.Wait());
    EXPECT_EQ(abort.status(), STATUS_SUCCESS);
    for (Submission* read : {stream0.get(), stream1.get()}) {
        ASSERT_TRUE(read->Wait());
        EXPECT_EQ(read->status(), STATUS_CANCELLED);
    }
    EXPECT_FALSE(report->Done());
    bus_.Unplug(device_);
    ASSERT_TRUE(report->Wait());
}

// Pipe abort and reset requests are sent at PASSIVE_LEVEL only: one sent from a raised IRQL is a
// bug check naming the request.
TEST_F(UsbBusTest, PipeRequestAbovePassiveLevelStopsTheRun) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    Plug([](const UsbRequest&) { return UsbAnswer::WaitForWake(); });
    for (USHORT function :
         {USHORT{URB_FUNCTION_ABORT_PIPE}, USHORT{URB_FUNCTION_SYNC_RESET_PIPE_AND_CLEAR_STALL}}) {
        UrbBuffer urb;
        urb->UrbHeader.Length = sizeof(_URB_PIPE_REQUEST);
        urb->UrbHeader.Function = function;
        urb->UrbPipeRequest.PipeHandle = Pipe(kBulkInPipe);
        EXPECT_DEATH(
            {
                host::ScopedIrql dispatch(DISPATCH_LEVEL);
                Submission request(device_, urb.get());
            },
            "URB_FUNCTION_[A-Z_]*PIPE[A-Z_]* called at IRQL 2");
    }
    bus_.Unplug(device_);
}

TEST_F(UsbBusTest, RefusesWhatItDoesNotServeAtOnce) {
    Plug([](const UsbRequest&) { return UsbAnswer::Success(); });
    uint8_t data[16];
    struct Case {
        const char* what;
        std::function<void(PURB)> build;
        NTSTATUS status;
        USBD_STATUS usbdStatus;
    };
    const Case cases[] = {
        {"unknown pipe handle",
         [&](PURB urb) {
             BuildTransfer(urb, reinterpret_cast<USBD_PIPE_HANDLE>(0x4242), data, 16, true);
         },
         STATUS_INVALID_PARAMETER, host::kUsbdStatusInvalidPipeHandle},
        {"bulk block on the isochronous pipe",
         [&](PURB urb) { BuildTransfer(urb, Pipe(kIsoPipe), data, 16, true); },
         STATUS_INVALID_PARAMETER, host::kUsbdStatusInvalidParameter},
        {"isochronous block on a bulk pipe",
         [&](PURB urb) { testing_usb::BuildIsoRead(urb, Pipe(kBulkInPipe), data, 2, 8); },
         STATUS_INVALID_PARAMETER, host::kUsbdStatusInvalidParameter},
        {"isochronous packets past the buffer",
         [&](PURB urb) {
             testing_usb::BuildIsoRead(urb, Pipe(kIsoPipe), data, 2, 8);
             urb->UrbIsochronousTransfer.IsoPacket[0].Offset = 100;
         },
         STATUS_INVALID_PARAMETER, host::kUsbdStatusInvalidParameter},
        {"transfer without a buffer",
         [&](PURB urb) { BuildTransfer(urb, Pipe(kBulkInPipe), nullptr, 16, true); },
         STATUS_INVALID_PARAMETER, host::kUsbdStatusInvalidParameter},
        {"unknown function",
         [&](PURB urb) {
             urb->UrbHeader.Length = sizeof(_URB_HEADER);
             urb->UrbHeader.Function = 0x0030;
         },
         STATUS_INVALID_PARAMETER, host::kUsbdStatusInvalidUrbFunction},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        UrbBuffer urb(testing_usb::IsoBlockBytes(4));
        c.build(urb.get());
        Submission refused(device_, urb.get());
        EXPECT_EQ(refused.dispatchResult(), c.status);
        EXPECT_TRUE(refused.Done());
        EXPECT_EQ(urb->UrbHeader.Status, c.usbdStatus);
    }

    // A packet that is not a request block for the bus at all.
    PIRP irp = IoAllocateIrp(2, FALSE);
    IoGetNextIrpStackLocation(irp)->MajorFunction = IRP_MJ_DEVICE_CONTROL;
    IoSetCompletionRoutine(
        irp, [](PDEVICE_OBJECT, PIRP, PVOID) { return STATUS_MORE_PROCESSING_REQUIRED; }, nullptr,
        TRUE, TRUE, TRUE);
    EXPECT_EQ(IofCallDriver(device_, irp), STATUS_INVALID_DEVICE_REQUEST);
    IoFreeIrp(irp);
}

// The pattern of a synchronous request: wait one second for the answer, cancel on time-out.
NTSTATUS SendAndWaitOneSecond(PDEVICE_OBJECT device, PURB urb, NTSTATUS* waitResult) {
    KEVENT event;
    KeInitializeEvent(&event, NotificationEvent, FALSE);
    IO_STATUS_BLOCK status{};
    PIRP irp = IoBuildDeviceIoControlRequest(IOCTL_INTERNAL_USB_SUBMIT_URB, device, nullptr, 0,
                                             nullptr, 0, TRUE, &event, &status);
    IoGetNextIrpStackLocation(irp)->Parameters.Others.Argument1 = urb;
    if (IofCallDriver(device, irp) == STATUS_PENDING) {
        LARGE_INTEGER timeout;
        timeout.QuadPart = -10000000;
        *waitResult = KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, &timeout);
        if (*waitResult == STATUS_TIMEOUT) {
            IoCancelIrp(irp);
            KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, nullptr);
        }
    }
    return status.Status;
}

TEST_F(UsbBusTest, SynchronousRequestTimesOutOnlyWhenNobodyIsWorkingOnIt) {
    std::atomic<int> seen{0};
    Plug([&](const UsbRequest&) {
        if (++seen == 1) return UsbAnswer::WaitForCancel();
        // A slow answer: real time passes, but the bus is busy, so virtual time must not.
        std::this_thread::sleep_for(std::chrono::milliseconds(150));
        return UsbAnswer::Success();
    });
    uint8_t data[8];
    UrbBuffer hungUrb, slowUrb;
    BuildTransfer(hungUrb.get(), Pipe(kReplyPipe), data, sizeof data, true);
    BuildTransfer(slowUrb.get(), Pipe(kReplyPipe), data, sizeof data, true);

    host::ClearRecordedDelays();
    NTSTATUS wait = STATUS_SUCCESS;
    EXPECT_EQ(SendAndWaitOneSecond(device_, hungUrb.get(), &wait), STATUS_CANCELLED);
    EXPECT_EQ(wait, STATUS_TIMEOUT);
    EXPECT_EQ(host::RecordedDelayMilliseconds(host::DelayKind::WaitTimeout),
              std::vector<LONGLONG>{1000});

    EXPECT_EQ(SendAndWaitOneSecond(device_, slowUrb.get(), &wait), STATUS_SUCCESS);
    EXPECT_EQ(wait, STATUS_SUCCESS);
    EXPECT_EQ(host::RecordedDelayMilliseconds(host::DelayKind::WaitTimeout).size(), 1u);
}

// Requests on several pipes at once, some behind a request that is being cancelled, and a
// synchronous request with its one-second wait: whenever the progress probe says that no work is
// in progress, every request submitted before has been completed (none of them is ever left
// unanswered), and none of the timed waits times out.
TEST_F(UsbBusTest, ProgressProbeNeverSeesAnIdleBusWhileARequestIsBeingServed) {
    Plug([](const UsbRequest& request) {
        if (request.endpoint.IsIn())
            request.urb->UrbBulkOrInterruptTransfer.TransferBufferLength = 1;
        std::this_thread::yield();
        return UsbAnswer::Success();
    });
    host::ClearRecordedDelays();
    constexpr int kRounds = 300;
    std::atomic<int> submitted{0}, completed{0}, failures{0};
    std::atomic<bool> running{true};
    auto count = [&] { ++completed; };
    auto send = [&](size_t position, bool in) {
        uint8_t data[8];
        for (int i = 0; i < kRounds; ++i) {
            UrbBuffer urb;
            BuildTransfer(urb.get(), Pipe(position), data, sizeof data, in);
            Submission transfer(device_, urb.get(), count);
            ++submitted;
            if (!transfer.Wait() || transfer.status() != STATUS_SUCCESS) ++failures;
        }
    };
    auto sendBehindACancel = [&] {
        uint8_t first[8], second[8];
        for (int i = 0; i < kRounds; ++i) {
            UrbBuffer ahead, behind;
            BuildTransfer(ahead.get(), Pipe(kBulkInPipe), first, sizeof first, true);
            BuildTransfer(behind.get(), Pipe(kBulkInPipe), second, sizeof second, true);
            Submission cancelled(device_, ahead.get(), count);
            ++submitted;
            std::thread cancel([&] { IoCancelIrp(cancelled.irp()); });
            Submission transfer(device_, behind.get(), count);
            ++submitted;
            if (!transfer.Wait() || transfer.status() != STATUS_SUCCESS) ++failures;
            cancel.join();
            if (!cancelled.Wait()) ++failures;
        }
    };
    auto sendAndWaitOneSecond = [&] {
        uint8_t data[8];
        for (int i = 0; i < kRounds; ++i) {
            UrbBuffer urb;
            BuildTransfer(urb.get(), Pipe(kInterruptPipe), data, sizeof data, true);
            NTSTATUS wait = STATUS_SUCCESS;
            if (SendAndWaitOneSecond(device_, urb.get(), &wait) != STATUS_SUCCESS ||
                wait != STATUS_SUCCESS)
                ++failures;
        }
    };
    int idleWhileServing = 0;
    std::thread probe([&] {
        while (running) {
            const int before = submitted.load();
            const bool busy = host::WorkInProgress();
            if (!busy && completed.load() < before) ++idleWhileServing;
        }
    });
    std::thread command(send, kCommandPipe, false), reply(send, kReplyPipe, true),
        stream(sendBehindACancel), synchronous(sendAndWaitOneSecond);
    command.join();
    reply.join();
    stream.join();
    synchronous.join();
    running = false;
    probe.join();
    EXPECT_EQ(idleWhileServing, 0);
    EXPECT_EQ(failures.load(), 0);
    EXPECT_TRUE(host::RecordedDelayMilliseconds(host::DelayKind::WaitTimeout).empty());
}

// A bus that lets its waiters serve it: threads waiting for their synchronous requests serve what
// is ready themselves, beside the workers. Each pipe still sees its requests one at a time and in
// order, every request completes once, a waiter returns at its own IRQL, and a request nobody
// answers still times out after its second.
TEST_F(UsbBusTest, WaitersThatServeTheBusKeepPipeOrderAndTheirTimeOuts) {
    host::SetWaiterService([this] { return bus_.ServeOneHere(); });
    std::mutex lock;
    std::set<std::thread::id> servers;
    std::map<UCHAR, int> inModel;  // model calls under way per endpoint
    std::atomic<int> overlaps{0};
    std::atomic<bool> hangBulkIn{true};
    Plug([&](const UsbRequest& request) {
        const UCHAR endpoint = request.endpoint.address;
        if (endpoint == 0x86 && hangBulkIn.exchange(false)) return UsbAnswer::WaitForCancel();
        {
            std::lock_guard guard(lock);
            servers.insert(std::this_thread::get_id());
            if (++inModel[endpoint] > 1) ++overlaps;
        }
        if (request.endpoint.IsIn())
            request.urb->UrbBulkOrInterruptTransfer.TransferBufferLength = 1;
        std::this_thread::yield();
        std::lock_guard guard(lock);
        --inModel[endpoint];
        return UsbAnswer::Success();
    });
    host::ClearRecordedDelays();
    constexpr int kRounds = 100;
    std::atomic<int> failures{0};
    std::set<std::thread::id> waiters;
    auto send = [&](size_t position, bool in) {
        {
            std::lock_guard guard(lock);
            waiters.insert(std::this_thread::get_id());
        }
        uint8_t data[8] = {};
        for (int i = 0; i < kRounds; ++i) {
            UrbBuffer urb;
            BuildTransfer(urb.get(), Pipe(position), data, sizeof data, in);
            NTSTATUS wait = STATUS_TIMEOUT;
            if (SendAndWaitOneSecond(device_, urb.get(), &wait) != STATUS_SUCCESS ||
                wait != STATUS_SUCCESS || KeGetCurrentIrql() != PASSIVE_LEVEL)
                ++failures;
        }
    };
    std::thread reply(send, kReplyPipe, true), command(send, kCommandPipe, false),
        interrupt(send, kInterruptPipe, true);
    UrbBuffer hungUrb;
    uint8_t data[8];
    BuildTransfer(hungUrb.get(), Pipe(kBulkInPipe), data, sizeof data, true);
    NTSTATUS wait = STATUS_SUCCESS;
    EXPECT_EQ(SendAndWaitOneSecond(device_, hungUrb.get(), &wait), STATUS_CANCELLED);
    EXPECT_EQ(wait, STATUS_TIMEOUT);
    reply.join();
    command.join();
    interrupt.join();
    host::ClearWaiterService();

    EXPECT_EQ(failures.load(), 0);
    EXPECT_EQ(overlaps.load(), 0);
    EXPECT_EQ(bus_.OutstandingRequests(), 0u);
    EXPECT_EQ(host::RecordedDelayMilliseconds(host::DelayKind::WaitTimeout),
              std::vector<LONGLONG>{1000});
    EXPECT_TRUE(host::IrqlViolations().empty());
    // The waiting threads did serve requests of their own.
    std::lock_guard guard(lock);
    bool servedByAWaiter = false;
    for (const std::thread::id& id : waiters) servedByAWaiter |= servers.count(id) != 0;
    EXPECT_TRUE(servedByAWaiter);
}

}  // namespace
