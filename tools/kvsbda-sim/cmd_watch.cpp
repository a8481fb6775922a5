// kvsbda-sim watch: tunes like `tune`, then receives the transport stream as an application
// does - output pin created, antenna pin running - and writes every frame it receives to a file
// for the given time, showing progress on a terminal. The summary accounts for every byte the
// stick sent: received by the application, dropped by the driver and why.
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <iostream>
#include <nlohmann/json.hpp>
#include <thread>

#include "commands.h"
#include "driver/device_context.h"
#include "driver_calls.h"
#include "frame_recorder.h"
#include "platform/host/driver_call.h"
#include "platform/host/output_pin.h"
#include "platform/host/pool_accounting.h"
#include "platform/pool.h"
#include "session.h"
#include "stream_tap.h"
#include "tune_run.h"
#include "usb/cqzusb.h"
#include "usb/stream_ring.h"

namespace kvssim {

namespace {

using Clock = std::chrono::steady_clock;

constexpr unsigned kMaxSeconds = 24 * 3600;
constexpr std::chrono::milliseconds kDrainInterval{50};
constexpr std::chrono::milliseconds kQuietInterval{30};
constexpr int kQuietChecks = 3;
constexpr std::chrono::seconds kIsochronousDrainLimit{5};
constexpr size_t kTransportPacketBytes = 188;
// The commit's PID table: one entry 0x1FFF (low byte first), mode 2 - the whole stream passes.
constexpr UCHAR kDefaultPidTable[] = {0xFF, 0x1F};
constexpr ULONG kDefaultPidMode = 2;

std::atomic<bool> gInterrupted{false};
extern "C" void OnInterrupt(int) {
    gInterrupted = true;
}

struct WatchArguments {
    std::string frequency;
    unsigned bandwidthMHz = 8;
    unsigned seconds = 0;
    std::string output;
};

struct StreamAccount {
    uint64_t stickBytes = 0;
    uint64_t stickReads = 0;
    uint64_t largestRead = 0;
    uint64_t leadingBytes = 0;  // the two reads dropped after the start
    uint64_t ringBytes = 0;     // less than a frame, emptied by the stop
    int64_t otherBytes = 0;     // no free frame, frame overflow, ring refusal
    uint64_t leadingEdgeMisses = 0;
    uint64_t pinViolations = 0;
};

// False with `error` when the file cannot be created; an existing file is left untouched until
// there is a stream to write.
bool CheckWritable(const std::string& path, std::string* error) {
    std::error_code ignored;
    const bool existed = std::filesystem::exists(path, ignored);
    std::FILE* file = std::fopen(path.c_str(), "ab");
    if (file == nullptr) {
        *error = "cannot write " + path + ": " + std::strerror(errno);
        return false;
    }
    std::fclose(file);
    if (!existed) std::filesystem::remove(path, ignored);
    return true;
}

// What the output pin's create and close handlers do around an application's pin.
void CreateOutputPin(const DriverCalls& calls, PKSDEVICE device, DeviceContext* context,
                     host::OutputPin& pin) {
    WritePointerRelease(reinterpret_cast<PVOID volatile*>(&context->outputPin), pin.KsPin());
    WriteLongRelease(reinterpret_cast<LONG volatile*>(&context->antennaPinState), KSSTATE_STOP);
    host::CallDriver(calls.SetChannelDevice, device);
    (void)host::CallDriver(calls.TunerWake, device);
}

// The simulated stick answers an isochronous read only once it has data, while a real one
// completes it on schedule, empty or not. Waiting here, while the air still flows, keeps the
// tuner from going to sleep under reads that would then never end and hold up the device stop.
bool DrainIsochronousReads(CQZUSB* transport) {
    const Clock::time_point limit = Clock::now() + kIsochronousDrainLimit;
    while (ReadLongAcquire(&transport->isoReadsOutstanding) > 0) {
        if (Clock::now() > limit) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return true;
}

void CloseOutputPin(const DriverCalls& calls, PKSDEVICE device, DeviceContext* context) {
    host::CallDriver(calls.StopStream, device);
    if (!DrainIsochronousReads(context->transport))
        std::fprintf(stderr, "kvsbda-sim watch: stream reads still pending after the stop\n");
    host::CallDriver(calls.SetChannelDevice, device);
    (void)host::CallDriver(calls.TunerSleep, device);
    WritePointerRelease(reinterpret_cast<PVOID volatile*>(&context->outputPin), nullptr);
    host::CallDriver(calls.FlushStreamDelivery, context->transport);
}

// The antenna pin's state changes: run starts the stream reader, stop stops it.
void SetAntennaState(const DriverCalls& calls, PKSDEVICE device, DeviceContext* context,
                     KSSTATE state) {
    WriteLongRelease(reinterpret_cast<LONG volatile*>(&context->antennaPinState), state);
    if (IsDeviceActive(context) == 0) return;
    if (state == KSSTATE_RUN) host::CallDriver(calls.StartStreamLocked, device);
    if (state == KSSTATE_STOP) host::CallDriver(calls.StopStream, device);
}

// Holds the air's stream back and waits until the stick's last reads have been handled, so that
// the counts below describe a settled stream.
void SettleStream(Session& session, const StreamTap& tap) {
    session.AirStream()->Close();
    uint64_t last = tap.Bytes();
    for (int quiet = 0; quiet < kQuietChecks;) {
        std::this_thread::sleep_for(kQuietInterval);
        const uint64_t now = tap.Bytes();
        quiet = now == last && !session.Bus().WorkInProgress() ? quiet + 1 : 0;
        last = now;
    }
}

uint64_t RingBytesHeld(const StreamRing* ring) {
    if (ring == nullptr) return 0;
    return (ring->writeIndex + ring->capacity - ring->readIndex) % ring->capacity;
}

class ProgressLine {
  public:
    ProgressLine(bool enabled, UCHAR (*getLockFlag)())
        : enabled_(enabled), getLockFlag_(getLockFlag), start_(Clock::now()), last_(start_) {}

    void Update(uint64_t frames, uint64_t bytes, bool force = false) {
        const Clock::time_point now = Clock::now();
        if (!enabled_ || (!force && now - last_ < std::chrono::seconds(1))) return;
        const double seconds = std::chrono::duration<double>(now - last_).count();
        const double rate =
            seconds > 0 ? static_cast<double>(bytes - lastBytes_) * 8 / seconds / 1e6 : 0.0;
        std::fprintf(stderr, "\r  %3.0f s  frames %-8llu bytes %-12llu %6.2f Mbit/s  lock %s   ",
                     std::chrono::duration<double>(now - start_).count(),
                     static_cast<unsigned long long>(frames),
                     static_cast<unsigned long long>(bytes), rate,
                     host::CallDriver(getLockFlag_) != 0 ? "yes" : "no ");
        std::fflush(stderr);
        last_ = now;
        lastBytes_ = bytes;
        shown_ = true;
    }
    void End() {
        if (shown_) std::fprintf(stderr, "\n");
    }

  private:
    const bool enabled_;
    UCHAR (*const getLockFlag_)();
    const Clock::time_point start_;
    Clock::time_point last_;
    uint64_t lastBytes_ = 0;
    bool shown_ = false;
};

struct WatchResult {
    TuneOutcome tune;
    std::string pipe;
    double seconds = 0;
    bool interrupted = false;
    uint64_t frames = 0;
    uint64_t bytes = 0;
    sim::TsCheckReport check;
    std::string checkText;
    StreamAccount account;
    std::string writeError;
};

void PrintSummary(const WatchArguments& args, const WatchResult& r) {
    const StreamAccount& a = r.account;
    std::printf("\nwatch %u kHz (%s), %s stream pipe, %.1f s%s -> %s\n", r.tune.tunedKHz,
                r.tune.transmitterName.c_str(), r.pipe.c_str(), r.seconds,
                r.interrupted ? " (interrupted)" : "", args.output.c_str());
    std::printf("  application received: %llu frames, %llu bytes, %llu packets\n",
                static_cast<unsigned long long>(r.frames), static_cast<unsigned long long>(r.bytes),
                static_cast<unsigned long long>(r.check.packets));
    std::printf("  continuity errors: %llu; sync errors: %llu; partial frames: %llu\n",
                static_cast<unsigned long long>(r.check.continuityErrors),
                static_cast<unsigned long long>(r.check.syncErrors),
                static_cast<unsigned long long>(r.check.partialFrames));
    if (r.check.Errors() != 0) std::printf("%s\n", r.checkText.c_str());
    std::printf("  stick sent: %llu bytes in %llu reads (largest %llu bytes)\n",
                static_cast<unsigned long long>(a.stickBytes),
                static_cast<unsigned long long>(a.stickReads),
                static_cast<unsigned long long>(a.largestRead));
    std::printf("  dropped by the driver: %llu bytes\n",
                static_cast<unsigned long long>(a.stickBytes - r.bytes));
    std::printf("    the two reads dropped after the stream start: %llu bytes\n",
                static_cast<unsigned long long>(a.leadingBytes));
    std::printf("    left in the ring at the stop (less than a frame): %llu bytes\n",
                static_cast<unsigned long long>(a.ringBytes));
    std::printf(
        "    lost (no free frame, frame overflow, ring refusal): %lld bytes; "
        "leading-edge misses: %llu\n",
        static_cast<long long>(a.otherBytes), static_cast<unsigned long long>(a.leadingEdgeMisses));
    if (a.pinViolations != 0)
        std::printf("  output pin misuse by the driver: %llu\n",
                    static_cast<unsigned long long>(a.pinViolations));
    if (!r.writeError.empty())
        std::printf("  writing %s failed: %s\n", args.output.c_str(), r.writeError.c_str());
}

nlohmann::json Json(const WatchArguments& args, const WatchResult& r) {
    const StreamAccount& a = r.account;
    return {{"frequencyKHz", r.tune.tunedKHz},
            {"transmitter", r.tune.transmitterName},
            {"locked", r.tune.locked},
            {"streamPipe", r.pipe},
            {"seconds", r.seconds},
            {"interrupted", r.interrupted},
            {"output", args.output},
            {"frames", r.frames},
            {"bytes", r.bytes},
            {"packets", r.check.packets},
            {"continuityErrors", r.check.continuityErrors},
            {"checkerErrors", r.check.Errors()},
            {"stickBytes", a.stickBytes},
            {"stickReads", a.stickReads},
            {"largestReadBytes", a.largestRead},
            {"droppedAfterStartBytes", a.leadingBytes},
            {"ringResidueBytes", a.ringBytes},
            {"lostBytes", a.otherBytes},
            {"leadingEdgeMisses", a.leadingEdgeMisses},
            {"pinViolations", a.pinViolations},
            {"writeError", r.writeError}};
}

// Receives the stream into `file` for the requested time; the stream is stopped and settled on
// return.
void Receive(Session& session, const DriverCalls& calls, PKSDEVICE device, DeviceContext* context,
             const WatchArguments& args, std::FILE* file, const StreamTap& tap,
             host::OutputPin& pin, WatchResult* result) {
    sim::TsCheckerOptions check;
    if (const sim::Transmitter* on = session.Demod().TunedTransmitter())
        check.tablePids = {0x0000, static_cast<uint16_t>(on->videoPid - 0x10)};
    FrameRecorder recorder(file, check);
    recorder.Connect(pin);

    (void)host::CallDriver(calls.LoadPidTable, device, kDefaultPidTable, ULONG{1}, kDefaultPidMode);
    SetAntennaState(calls, device, context, KSSTATE_RUN);

    ProgressLine progress(isatty(fileno(stderr)) != 0, calls.GetLockFlag);
    const Clock::time_point start = Clock::now();
    const Clock::time_point end = start + std::chrono::seconds(args.seconds);
    while (Clock::now() < end && !gInterrupted) {
        std::this_thread::sleep_for(kDrainInterval);
        if (!recorder.Drain()) break;
        progress.Update(recorder.Frames(), recorder.Bytes());
    }
    result->interrupted = gInterrupted;
    result->seconds = std::chrono::duration<double>(Clock::now() - start).count();

    SettleStream(session, tap);
    recorder.Drain();
    progress.Update(recorder.Frames(), recorder.Bytes(), true);
    progress.End();
    StreamAccount& a = result->account;
    a.ringBytes = RingBytesHeld(context->ring);
    a.stickBytes = tap.Bytes();
    a.stickReads = tap.Reads();
    a.largestRead = tap.LargestRead();
    a.leadingBytes = tap.LeadingBytes();
    SetAntennaState(calls, device, context, KSSTATE_STOP);
    // Isochronous reads still in flight end only when the stick answers them; the air goes on,
    // and what they bring after the stop is not delivered.
    session.AirStream()->Open();
    recorder.Drain();

    a.otherBytes = static_cast<int64_t>(a.stickBytes) - static_cast<int64_t>(recorder.Bytes()) -
                   static_cast<int64_t>(a.leadingBytes) - static_cast<int64_t>(a.ringBytes);
    a.leadingEdgeMisses = pin.LeadingEdgeMisses();
    a.pinViolations = pin.Violations();
    result->frames = recorder.Frames();
    result->bytes = recorder.Bytes();
    result->check = recorder.Checker().Report();
    result->checkText = recorder.Checker().Describe();
    result->writeError = recorder.WriteError();
}

int RunWatch(const GlobalOptions& options, const WatchArguments& args) {
    std::string error;
    const std::optional<uint32_t> kHz = ParseFrequencyKHz(args.frequency, &error);
    if (!kHz || !CheckBandwidthMHz(args.bandwidthMHz, &error)) {
        std::fprintf(stderr, "kvsbda-sim watch: %s\n", error.c_str());
        return 2;
    }
    if (args.seconds == 0 || args.seconds > kMaxSeconds) {
        std::fprintf(stderr, "kvsbda-sim watch: --seconds must be 1 to %u\n", kMaxSeconds);
        return 2;
    }
    if (!CheckWritable(args.output, &error)) {
        std::fprintf(stderr, "kvsbda-sim watch: %s\n", error.c_str());
        return 2;
    }

    gInterrupted = false;
    auto previousHandler = std::signal(SIGINT, OnInterrupt);
    std::vector<std::string> debug;
    WatchResult result;
    int failure = 0;
    {
        Session session(options, DebugLineSink(options, &debug));
        if (!session.Open(&error)) {
            std::fprintf(stderr, "kvsbda-sim: %s\n", error.c_str());
            std::signal(SIGINT, previousHandler);
            return 2;
        }
        PKSDEVICE device = PlugStartedStick(session, options, &error);
        DeviceContext* context = device != nullptr ? GetDeviceContext(device) : nullptr;
        CQZUSB* transport = context != nullptr ? context->transport : nullptr;
        const PUSBD_PIPE_INFORMATION pipe = transport != nullptr && transport->streamPipeType != 0
                                                ? transport->Pipe(transport->streamPipeIndex)
                                                : nullptr;
        if (device != nullptr && pipe == nullptr) error = "the stick has no stream pipe";
        if (pipe == nullptr) {
            std::fprintf(stderr, "kvsbda-sim watch: %s\n", error.c_str());
            session.StopRemoveUnplug();
            std::signal(SIGINT, previousHandler);
            return 1;
        }
        result.pipe = transport->streamPipeType == UsbdPipeTypeBulk ? "bulk" : "isochronous";
        if (transport->streamPipeType == UsbdPipeTypeIsochronous)
            session.AirStream()->LimitEachRead(kTransportPacketBytes);

        StreamTap tap(pipe->EndpointAddress);
        session.Bus().AddObserver(&tap);
        std::string missing;
        const DriverCalls& calls = *session.Calls(&missing);
        host::OutputPin pin;
        CreateOutputPin(calls, device, context, pin);
        result.tune = RunCommitTune(session, device, *kHz, args.bandwidthMHz);
        std::FILE* file = nullptr;
        if (!result.tune.locked) {
            std::fprintf(stderr,
                         "kvsbda-sim watch: no lock on %u kHz (%s); nothing was received or "
                         "written\n",
                         result.tune.tunedKHz,
                         result.tune.transmitterName.empty() ? "no transmitter on this channel"
                                                             : "the transmitter did not lock");
            failure = 1;
        } else if ((file = std::fopen(args.output.c_str(), "wb")) == nullptr) {
            std::fprintf(stderr, "kvsbda-sim watch: cannot write %s: %s\n", args.output.c_str(),
                         std::strerror(errno));
            failure = 2;
        } else {
            Receive(session, calls, device, context, args, file, tap, pin, &result);
            if (std::fclose(file) != 0 && result.writeError.empty())
                result.writeError = std::strerror(errno);
        }
        CloseOutputPin(calls, device, context);
        session.Bus().RemoveObserver(&tap);
        session.StopRemoveUnplug();
    }
    std::signal(SIGINT, previousHandler);
    const size_t poolBytes = host::PoolBytesOutstanding(kDriverPoolTag);
    if (failure != 0) return failure;

    if (options.json) {
        nlohmann::json j = Json(args, result);
        j["poolBytesOutstanding"] = poolBytes;
        j["debug"] = debug;
        std::cout << j.dump(2) << std::endl;
    } else {
        PrintSummary(args, result);
        std::printf("stopped, removed, unplugged\n  pool bytes still allocated: %zu\n", poolBytes);
    }
    const bool clean = result.frames > 0 && result.check.Errors() == 0 &&
                       result.writeError.empty() && result.account.otherBytes == 0;
    return clean && poolBytes == 0 ? 0 : 1;
}

}  // namespace

void AddWatchCommand(CLI::App& app, const GlobalOptions& options, int& exitCode) {
    auto args = std::make_shared<WatchArguments>();
    CLI::App* watch = app.add_subcommand(
        "watch", "Tune, then receive the transport stream into a file as an application does");
    watch->add_option("--frequency", args->frequency, "centre frequency in kHz, e.g. 474000")
        ->required();
    watch->add_option("--bandwidth", args->bandwidthMHz, "channel bandwidth in MHz: 6, 7 or 8")
        ->capture_default_str();
    watch->add_option("--seconds", args->seconds, "how long to receive")->required();
    watch->add_option("--output", args->output, "transport-stream file to write (.ts)")->required();
    watch->callback([&options, &exitCode, args] { exitCode = RunWatch(options, *args); });
}

}  // namespace kvssim
