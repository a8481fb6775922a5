// The stream path on both pipes, measured two ways.
// - The driver alone: a completed read goes through the driver's completion routine into the ring
//   or the read's own frame and is resubmitted. A stand-in lower device keeps the reads, so only
//   the driver's work is measured; its cost per byte gives the driver's share of one core at the
//   DMB-T maximum rate.
// - The whole path: the simulated stick on the emulated bus answers every read at once from an
//   unlimited stream (no pacing), the bus completes it to the driver on its own threads, and an
//   application takes each frame as it completes. Its rate is taken over the processor time of
//   every thread of the process, so it holds the stick's and the bus's work too.
// Each byte is copied twice on the driver's way (into the ring, into the frame), so the bound is
// half the memcpy rate of this machine, measured in the same run.
// The driver-alone cases also report the longest single completion routine with reads as full
// as a stream at the DMB-T maximum rate makes them (every isochronous packet full, every bulk
// read 4096 bytes): time at dispatch level, which Windows asks to stay below 100 us per DPC.
#include <benchmark/benchmark.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <ctime>
#include <deque>
#include <memory>
#include <vector>

#include "driver/device_context.h"
#include "driver/stream_control.h"
#include "platform/host/kernel_state.h"
#include "platform/host/output_pin.h"
#include "platform/pool.h"
#include "sim/air.h"
#include "sim/bridge_firmware.h"
#include "sim/demod_chip.h"
#include "sim/i2c_bus.h"
#include "sim/stick.h"
#include "sim/ts_generator.h"
#include "sim/tuner_chip.h"
#include "support/host_system.h"
#include "usb/stream_reader_internal.h"
#include "usb/stream_ring.h"

namespace {

constexpr double kDmbtMaxBytesPerSecond = sim::kDmbtMaxBitsPerSecond / 8.0;
constexpr size_t kFrameBytes = 96256;
constexpr ULONG kFullSpeedIsoPacketBytes = 1020;

// Processor time of this thread: the machine may be shared, so rates are taken per CPU second.
double ThreadSeconds() {
    timespec now{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &now);
    return static_cast<double>(now.tv_sec) + static_cast<double>(now.tv_nsec) / 1e9;
}

// Processor time of every thread of the process: the whole path works on the bus's threads.
double ProcessSeconds() {
    timespec now{};
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &now);
    return static_cast<double>(now.tv_sec) + static_cast<double>(now.tv_nsec) / 1e9;
}

// memcpy of frame-sized blocks over a ring-sized source into 64 frames, as the path touches
// memory; bytes per second. Measured again for every case, right after it, so that a shared
// machine's load weighs on both figures of a ratio alike.
double MemcpyBytesPerSecond() {
    const double rate = [] {
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
        // The stream pipes as the running stick presents them: bulk 0x88 with 512-byte packets
        // at high speed, isochronous 0x87 with 1020-byte packets at full speed.
        const bool bulk = type == UsbdPipeTypeBulk;
        interface_.Pipes[0] = {static_cast<USHORT>(bulk ? 512 : kFullSpeedIsoPacketBytes),
                               static_cast<UCHAR>(bulk ? 0x88 : 0x87),
                               static_cast<UCHAR>(bulk ? 0 : 1),
                               type,
                               reinterpret_cast<USBD_PIPE_HANDLE>(0x1000),
                               0xFFFF,
                               0};
        descriptors_.interfaceInfo = &interface_;
        transport_->streamPipeType = type;
        transport_->linkSpeed = bulk ? kLinkSpeedHigh : kLinkSpeedFull;
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

    // Completes the oldest read as the bus does from a stick that always has data: every
    // isochronous packet full (the endpoint's maximum), every bulk read `bulkBytes` long (full
    // unless a case asks for less).
    void CompleteNext(NTSTATUS status = STATUS_SUCCESS, ULONG bulkBytes = kBulkReadBytes) {
        PIRP irp = pendingReads.front();
        pendingReads.pop_front();
        auto* urb = static_cast<PURB>(irp->Tail.Overlay.DriverContext[kSlotUrb]);
        if (urb->UrbHeader.Function == URB_FUNCTION_ISOCH_TRANSFER) {
            auto& iso = urb->UrbIsochronousTransfer;
            for (ULONG i = 0; i < iso.NumberOfPackets; ++i)
                iso.IsoPacket[i].Length = kFullSpeedIsoPacketBytes;
        } else {
            urb->UrbBulkOrInterruptTransfer.TransferBufferLength = bulkBytes;
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

// The simulated stick as the driver meets it on the emulated bus: running firmware, tuner and
// demodulator on its I2C bus, and a stream source without pacing. The driver is added and
// started by the bus's arrival; the stream runs on the output pin of an application that takes
// each frame as it completes.
class WholePath {
  public:
    explicit WholePath(sim::BusSpeed speed) : system_(host::ClockMode::Virtual) {
        demod_ =
            std::make_unique<sim::DemodChip>(air_, [this] { return tuner_.TunedFrequencyHz(); });
        i2c_.Attach(kDemodLowAddress, demod_.get());
        i2c_.Attach(kDemodHighAddress, demod_.get());
        i2c_.Attach(sim::TunerChip::kAddress, &tuner_);
        sim::StickOptions options;
        options.state = sim::StickState::Running;
        options.speed = speed;
        // Reads are answered as soon as the driver sends them: the driver and the emulation are
        // measured, not the frames and latency of the bus.
        options.busTime = false;
        firmware_ = std::make_shared<sim::BridgeFirmware>(i2c_, true);
        stick_ = std::make_shared<sim::Stick>(options);
        sim::AttachBridgeFirmware(stick_, firmware_);
        stick_->SetStreamSource(std::shared_ptr<sim::TransportStreamSource>(
            &generator_, [](sim::TransportStreamSource*) {}));
        system_.Plug(stick_);
        device_ = system_.Current();
        if (device_ == nullptr || device_->startStatus != STATUS_SUCCESS) return;
        pin_.SetSink([this](const uint8_t* data, size_t bytes) {
            benchmark::DoNotOptimize(data[bytes - 1]);
            delivered_ += bytes;
        });
        DeviceContext* context = device_->Context();
        WritePointerRelease(reinterpret_cast<PVOID volatile*>(&context->outputPin), pin_.KsPin());
        WriteLongRelease(reinterpret_cast<LONG volatile*>(&context->antennaPinState), KSSTATE_RUN);
        StartStreamLocked(device_->Device());
    }
    ~WholePath() {
        if (device_ == nullptr) return;
        StopStream(device_->Device());
        if (!device_->removed) system_.Unplug(device_->physicalDeviceObject);
    }

    bool Started() const { return device_ != nullptr && device_->startStatus == STATUS_SUCCESS; }
    // Waits until `frames` more frames have reached the application.
    bool WaitForMore(uint64_t frames) {
        return pin_.WaitForFrames(pin_.FramesCompleted() + frames, 10000);
    }
    uint64_t Delivered() const { return delivered_; }

  private:
    static constexpr uint8_t kDemodLowAddress = 0x32;
    static constexpr uint8_t kDemodHighAddress = 0x36;
    sim::Air air_ = sim::Air::Default();
    sim::I2cBus i2c_;
    sim::TunerChip tuner_;
    std::unique_ptr<sim::DemodChip> demod_;
    sim::TsGenerator generator_;
    std::shared_ptr<sim::BridgeFirmware> firmware_;
    std::shared_ptr<sim::Stick> stick_;
    host::OutputPin pin_;  // outlives the device: the driver may still hold its frame
    kvstest::HostSystem system_;
    kvstest::HostedDevice* device_ = nullptr;
    std::atomic<uint64_t> delivered_{0};
};

void ReportAgainstBound(benchmark::State& state, uint64_t bytes, double seconds, bool driverAlone) {
    const double rate = static_cast<double>(bytes) / seconds;
    const double bound = MemcpyBytesPerSecond() / 2;  // every byte is copied twice
    state.SetBytesProcessed(static_cast<int64_t>(bytes));
    state.counters["memcpy_bound_MBps"] = bound / 1e6;
    state.counters["ratio_to_bound"] = rate / bound;
    // Percent of one core that a stream at the DMB-T maximum costs on this path: the driver's
    // own share where the driver is measured alone, the whole system's on the whole path.
    state.counters[driverAlone ? "driver_core_pct_at_dmbt_max" : "path_core_pct_at_dmbt_max"] =
        100.0 * kDmbtMaxBytesPerSecond / rate;
}

// Completions timed one by one after the measured run (the clock's own cost stays out of the
// rate): enough that every kind of completion (a bulk read that hands a frame, an isochronous
// read that fills several) is among them many times.
constexpr int kTimedCompletions = 2000;
constexpr double kWindowsDpcLimitMicroseconds = 100;

void RunPath(benchmark::State& state, USBD_PIPE_TYPE type) {
    StreamPath path(type);
    for (int i = 0; i < 40; ++i) path.CompleteNext();  // past the dropped reads, ring warm
    const uint64_t before = path.Delivered();
    const double start = ThreadSeconds();
    for (auto _ : state) path.CompleteNext();
    ReportAgainstBound(state, path.Delivered() - before, ThreadSeconds() - start, true);

    double longest = 0;
    double total = 0;
    for (int i = 0; i < kTimedCompletions; ++i) {
        const double begin = ThreadSeconds();
        path.CompleteNext();
        const double spent = ThreadSeconds() - begin;
        total += spent;
        if (spent > longest) longest = spent;
    }
    state.counters["longest_completion_us"] = longest * 1e6;
    state.counters["mean_completion_us"] = total / kTimedCompletions * 1e6;
    state.counters["longest_to_dpc_limit"] = longest * 1e6 / kWindowsDpcLimitMicroseconds;
}

// What a bulk read costs apart from its bytes: one-byte reads, so the copies are negligible and
// the time per read is the completion, the locks, the ring's bookkeeping and the resubmission
// (with the stand-in lower device's own share). Set against the copy time of a full read, it
// gives the ceiling that the 4096-byte reads put on the bulk path's ratio.
void BM_BulkReadOverhead(benchmark::State& state) {
    StreamPath path(UsbdPipeTypeBulk);
    for (int i = 0; i < 40; ++i) path.CompleteNext();
    const double start = ThreadSeconds();
    uint64_t reads = 0;
    for (auto _ : state) {
        path.CompleteNext(STATUS_SUCCESS, 1);
        ++reads;
    }
    const double perRead = (ThreadSeconds() - start) / static_cast<double>(reads);
    const double fullReadCopies = 2.0 * kBulkReadBytes / MemcpyBytesPerSecond();
    state.counters["ns_per_read"] = perRead * 1e9;
    state.counters["ns_two_copies_of_a_full_read"] = fullReadCopies * 1e9;
    state.counters["ratio_ceiling_of_4096_byte_reads"] =
        fullReadCopies / (fullReadCopies + perRead);
}

// One iteration: 16 frames through the whole path.
void RunWholePath(benchmark::State& state, sim::BusSpeed speed) {
    WholePath path(speed);
    if (!path.Started() || !path.WaitForMore(16)) {
        state.SkipWithError("the stick did not start or did not stream");
        return;
    }
    const uint64_t before = path.Delivered();
    const double start = ProcessSeconds();
    for (auto _ : state) {
        if (!path.WaitForMore(16)) {
            state.SkipWithError("the stream stalled");
            return;
        }
    }
    ReportAgainstBound(state, path.Delivered() - before, ProcessSeconds() - start, false);
}

void BM_BulkStreamPath(benchmark::State& state) {
    RunPath(state, UsbdPipeTypeBulk);
}
void BM_IsoStreamPath(benchmark::State& state) {
    RunPath(state, UsbdPipeTypeIsochronous);
}

void BM_BulkWholePath(benchmark::State& state) {
    RunWholePath(state, sim::BusSpeed::High);
}
void BM_IsoWholePath(benchmark::State& state) {
    RunWholePath(state, sim::BusSpeed::Full);
}

void BM_Memcpy(benchmark::State& state) {
    double rate = 0;
    for (auto _ : state) benchmark::DoNotOptimize(rate = MemcpyBytesPerSecond());
    state.counters["memcpy_MBps"] = rate / 1e6;
}

BENCHMARK(BM_Memcpy)->Iterations(1);
BENCHMARK(BM_BulkStreamPath)->MinTime(0.5);
BENCHMARK(BM_IsoStreamPath)->MinTime(0.5);
BENCHMARK(BM_BulkReadOverhead)->MinTime(0.5);
BENCHMARK(BM_BulkWholePath)->MinTime(1.0)->UseRealTime();
BENCHMARK(BM_IsoWholePath)->MinTime(1.0)->UseRealTime();

}  // namespace

BENCHMARK_MAIN();
