// The stream path on both pipes: a completed read goes through the driver's completion routine
// (staging buffer or ring) into an output frame and is resubmitted. A stand-in lower device keeps
// the reads, so only the driver's work is measured. Each byte is copied twice on the way, so the
// bound is half the memcpy rate of this machine, measured in the same run.
#include <benchmark/benchmark.h>

#include <chrono>
#include <cstring>
#include <ctime>
#include <deque>
#include <memory>
#include <vector>

#include "driver/device_context.h"
#include "platform/host/kernel_state.h"
#include "platform/host/output_pin.h"
#include "platform/pool.h"
#include "sim/ts_generator.h"
#include "usb/stream_reader_internal.h"
#include "usb/stream_ring.h"

namespace {

constexpr double kDmbtMaxBytesPerSecond = sim::kDmbtMaxBitsPerSecond / 8.0;
constexpr size_t kFrameBytes = 96256;

// Processor time of this thread: the machine may be shared, so rates are taken per CPU second.
double ThreadSeconds() {
    timespec now{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &now);
    return static_cast<double>(now.tv_sec) + static_cast<double>(now.tv_nsec) / 1e9;
}

// memcpy of frame-sized blocks over a ring-sized source into 64 frames, as the path touches
// memory; bytes per second.
double MemcpyBytesPerSecond() {
    static const double rate = [] {
        std::vector<uint8_t> source(kStreamRingCapacity + kFrameBytes, 0x47);
        std::vector<uint8_t> frames(64 * kFrameBytes);
        const double start = ThreadSeconds();
        uint64_t bytes = 0;
        size_t from = 0, to = 0;
        while (ThreadSeconds() - start < 0.3) {
            for (int i = 0; i < 64; ++i) {
                std::memcpy(frames.data() + to * kFrameBytes, source.data() + from, kFrameBytes);
                from = (from + kFrameBytes) % kStreamRingCapacity;
                to = (to + 1) % 64;
                bytes += kFrameBytes;
            }
            benchmark::ClobberMemory();
        }
        return static_cast<double>(bytes) / (ThreadSeconds() - start);
    }();
    return rate;
}

// Reads handed to the stand-in lower device, oldest first.
std::deque<PIRP> pendingReads;

NTSTATUS KeepRead(PDEVICE_OBJECT, PIRP irp) {
    IoMarkIrpPending(irp);
    pendingReads.push_back(irp);
    return STATUS_PENDING;
}

// A transport with one stream pipe, a ring and an output pin whose frames go nowhere.
class StreamPath {
  public:
    explicit StreamPath(USBD_PIPE_TYPE type) {
        host::ResetKernelState();
        driver_.MajorFunction[IRP_MJ_INTERNAL_DEVICE_CONTROL] = KeepRead;
        lower_.DriverObject = &driver_;
        lower_.StackSize = 1;
        context_ = static_cast<DeviceContext*>(PoolAllocateZeroed(sizeof(DeviceContext)));
        transport_ = static_cast<CQZUSB*>(PoolAllocateZeroed(sizeof(CQZUSB)));
        device_.Context = context_;
        device_.PhysicalDeviceObject = &lower_;
        context_->transport = transport_;
        context_->ring = StreamRingCreate(kStreamRingCapacity);
        context_->outputPin = pin_.KsPin();
        context_->antennaPinState = KSSTATE_RUN;
        context_->deviceActive = 1;
        transport_->device = &device_;
        transport_->lowerDevice = &lower_;
        transport_->descriptors = &descriptors_;
        interface_.Length = sizeof(interface_);
        interface_.NumberOfPipes = 1;
        interface_.Pipes[0] = {512,    0x84, 0, type, reinterpret_cast<USBD_PIPE_HANDLE>(0x1000),
                               0xFFFF, 0};
        descriptors_.interfaceInfo = &interface_;
        transport_->streamPipeType = type;
        pin_.SetSink([this](const uint8_t*, size_t bytes) { delivered_ += bytes; });
        transport_->StartReader();
    }
    ~StreamPath() {
        WriteLongRelease(reinterpret_cast<LONG volatile*>(&transport_->streamActive), 0);
        while (!pendingReads.empty()) CompleteNext(STATUS_CANCELLED);
        transport_->descriptors = nullptr;
        StreamRingFree(context_->ring);
        PoolFree(transport_);
        PoolFree(context_);
    }

    // Completes the oldest read as the bus would, with a full read's worth of data.
    void CompleteNext(NTSTATUS status = STATUS_SUCCESS) {
        PIRP irp = pendingReads.front();
        pendingReads.pop_front();
        auto* urb = static_cast<PURB>(irp->Tail.Overlay.DriverContext[kSlotUrb]);
        if (urb->UrbHeader.Function == URB_FUNCTION_ISOCH_TRANSFER) {
            // One transport packet per isochronous packet: one frame per read.
            auto& iso = urb->UrbIsochronousTransfer;
            for (ULONG i = 0; i < iso.NumberOfPackets; ++i) iso.IsoPacket[i].Length = 188;
        } else {
            urb->UrbBulkOrInterruptTransfer.TransferBufferLength = 21 * 188;
        }
        irp->IoStatus.Status = status;
        KIRQL old;
        KeRaiseIrql(DISPATCH_LEVEL, &old);
        IofCompleteRequest(irp, IO_NO_INCREMENT);
        KeLowerIrql(old);
    }
    uint64_t Delivered() const { return delivered_; }

  private:
    DRIVER_OBJECT driver_{};
    DEVICE_OBJECT lower_{};
    KSDEVICE device_{};
    DeviceContext* context_;
    CQZUSB* transport_;
    TransportDescriptors descriptors_{};
    USBD_INTERFACE_INFORMATION interface_{};
    host::OutputPin pin_;
    uint64_t delivered_ = 0;
};

void ReportAgainstBound(benchmark::State& state, uint64_t bytes, double seconds) {
    const double rate = static_cast<double>(bytes) / seconds;
    const double bound = MemcpyBytesPerSecond() / 2;  // every byte is copied twice
    state.SetBytesProcessed(static_cast<int64_t>(bytes));
    state.counters["memcpy_bound_MBps"] = bound / 1e6;
    state.counters["ratio_to_bound"] = rate / bound;
    // Share of one core that a stream at the DMB-T maximum costs on this path.
    state.counters["core_share_at_dmbt_max"] = kDmbtMaxBytesPerSecond / rate;
}

void RunPath(benchmark::State& state, USBD_PIPE_TYPE type) {
    StreamPath path(type);
    for (int i = 0; i < 40; ++i) path.CompleteNext();  // past the dropped reads, ring warm
    const uint64_t before = path.Delivered();
    const double start = ThreadSeconds();
    for (auto _ : state) path.CompleteNext();
    ReportAgainstBound(state, path.Delivered() - before, ThreadSeconds() - start);
}

void BM_BulkStreamPath(benchmark::State& state) {
    RunPath(state, UsbdPipeTypeBulk);
}
void BM_IsoStreamPath(benchmark::State& state) {
    RunPath(state, UsbdPipeTypeIsochronous);
}

void BM_Memcpy(benchmark::State& state) {
    for (auto _ : state) benchmark::DoNotOptimize(MemcpyBytesPerSecond());
    state.counters["memcpy_MBps"] = MemcpyBytesPerSecond() / 1e6;
}

BENCHMARK(BM_Memcpy)->Iterations(1);
BENCHMARK(BM_BulkStreamPath)->MinTime(0.5);
BENCHMARK(BM_IsoStreamPath)->MinTime(0.5);

}  // namespace

BENCHMARK_MAIN();
