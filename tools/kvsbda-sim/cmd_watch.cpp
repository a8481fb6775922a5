// kvsbda-sim watch: builds the graph as an application does - filter opened, antenna and
// transport pins created and running - tunes through the properties and the commit, and writes
// every frame the output pin delivers to a file for the given time, showing progress on a
// terminal. The summary accounts for every byte the stick sent (received by the application,
// dropped by the driver and why) and gives the time from the commit to the first frame.
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
#include "frame_recorder.h"
#include "platform/host/bda_receiver_application.h"
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
    uint64_t leadingBytes = 0;  // the two reads dropped after each start
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

// Bytes the driver still holds in its ring, read (as a debugger would) before the stop empties it.
uint64_t RingBytesHeld(const StreamRing* ring) {
    if (ring == nullptr) return 0;
    return (ring->writeIndex + ring->capacity - ring->readIndex) % ring->capacity;
}

bool LockedNow(host::BdaReceiverApplication& app) {
    ULONG locked = 0;
    (void)app.OutputPinHandle()->GetULong(KSPROPSETID_BdaSignalStats, KSPROPERTY_BDA_SIGNAL_LOCKED,
                                          &locked, app.DemodulatorNode());
    return locked != 0;
}

class ProgressLine {
  public:
    explicit ProgressLine(bool enabled) : enabled_(enabled), start_(Clock::now()), last_(start_) {}

    void Update(uint64_t frames, uint64_t bytes, bool locked, bool force = false) {
        const Clock::time_point now = Clock::now();
        if (!enabled_ || (!force && now - last_ < std::chrono::seconds(1))) return;
        const double seconds = std::chrono::duration<double>(now - last_).count();
        const double rate =
            seconds > 0 ? static_cast<double>(bytes - lastBytes_) * 8 / seconds / 1e6 : 0.0;
        std::fprintf(stderr, "\r  %3.0f s  frames %-8llu bytes %-12llu %6.2f Mbit/s  lock %s   ",
                     std::chrono::duration<double>(now - start_).count(),
                     static_cast<unsigned long long>(frames),
                     static_cast<unsigned long long>(bytes), rate, locked ? "yes" : "no ");
        std::fflush(stderr);
        last_ = now;
        lastBytes_ = bytes;
        shown_ = true;
    }
    bool Due() const { return enabled_ && Clock::now() - last_ >= std::chrono::seconds(1); }
    void End() {
        if (shown_) std::fprintf(stderr, "\n");
    }

  private:
    const bool enabled_;
    const Clock::time_point start_;
    Clock::time_point last_;
    uint64_t lastBytes_ = 0;
    bool shown_ = false;
};

struct WatchResult {
    TuneOutcome tune;
    host::BdaSignalReading signal;  // read at the end of the recording
    std::optional<double> commitToFirstFrameMs;
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
    std::printf("\nwatch %u kHz (%s), %s stream pipe, %.1f s%s -> %s\n", TunerKHz(r.tune),
                r.tune.transmitterName.c_str(), r.pipe.c_str(), r.seconds,
                r.interrupted ? " (interrupted)" : "", args.output.c_str());
    std::printf("  signal while receiving: strength %u, quality %u; the commit took %.1f ms\n",
                r.signal.strength, r.signal.quality, r.tune.commitMs);
    if (r.commitToFirstFrameMs) {
        std::printf("  commit to first frame: %.1f ms\n", *r.commitToFirstFrameMs);
    } else {
        std::printf("  commit to first frame: no frame arrived\n");
    }
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
    std::printf("    the two reads dropped after each stream start: %llu bytes\n",
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
    return {
        {"frequencyKHz", r.tune.requestedKHz},
        {"tunerKHz", TunerKHz(r.tune)},
        {"transmitter", r.tune.transmitterName},
        {"locked", r.tune.locked},
        {"strength", r.signal.strength},
        {"quality", r.signal.quality},
        {"commitMs", r.tune.commitMs},
        {"commitToFirstFrameMs", r.commitToFirstFrameMs ? nlohmann::json(*r.commitToFirstFrameMs)
                                                        : nlohmann::json(nullptr)},
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

// Records for the requested time what the output pin delivers after the tune; the pins are
// stopped and the stream settled on return.
void Receive(Session& session, host::BdaReceiverApplication& app, DeviceContext* context,
             const WatchArguments& args, FrameRecorder& recorder, const StreamTap& tap,
             WatchResult* result) {
    ProgressLine progress(isatty(fileno(stderr)) != 0);
    const Clock::time_point start = Clock::now();
    const Clock::time_point end = start + std::chrono::seconds(args.seconds);
    while (Clock::now() < end && !gInterrupted) {
        std::this_thread::sleep_for(kDrainInterval);
        if (!recorder.Drain()) break;
        if (progress.Due()) progress.Update(recorder.Frames(), recorder.Bytes(), LockedNow(app));
    }
    result->interrupted = gInterrupted;
    result->seconds = std::chrono::duration<double>(Clock::now() - start).count();
    result->signal = app.ReadSignal();

    SettleStream(session, tap);
    recorder.Drain();
    progress.Update(recorder.Frames(), recorder.Bytes(), LockedNow(app), true);
    progress.End();
    StreamAccount& a = result->account;
    a.ringBytes = RingBytesHeld(context->ring);
    a.stickBytes = tap.Bytes();
    a.stickReads = tap.Reads();
    a.largestRead = tap.LargestRead();
    a.leadingBytes = tap.LeadingBytes();
    (void)app.Stop();
    // Reads still in flight end only when the stick answers them; the air goes on, and what they
    // bring after the stop is not delivered.
    session.AirStream()->Open();
    recorder.Drain();

    a.otherBytes = static_cast<int64_t>(a.stickBytes) - static_cast<int64_t>(recorder.Bytes()) -
                   static_cast<int64_t>(a.leadingBytes) - static_cast<int64_t>(a.ringBytes);
    a.leadingEdgeMisses = app.Frames().LeadingEdgeMisses();
    a.pinViolations = app.Frames().Violations();
    result->frames = recorder.Frames();
    result->bytes = recorder.Bytes();
    result->check = recorder.Checker().Report();
    result->checkText = recorder.Checker().Describe();
    result->writeError = recorder.WriteError();
}

int RunWatch(const GlobalOptions& options, const WatchArguments& args) {
    std::string error;
    const std::optional<uint32_t> kHz = ParseFrequencyKHz(args.frequency, "--frequency", &error);
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
        DeviceContext* context = GetDeviceContext(device);
        CQZUSB* transport = context != nullptr ? context->transport : nullptr;
        const PUSBD_PIPE_INFORMATION pipe = transport != nullptr && transport->streamPipeType != 0
                                                ? transport->Pipe(transport->streamPipeIndex)
                                                : nullptr;
        if (device != nullptr && pipe == nullptr) error = "the stick has no stream pipe";
        host::BdaReceiverApplication app(device);
        if (pipe == nullptr || !OpenApplication(app, &error)) {
            std::fprintf(stderr, "kvsbda-sim watch: %s\n", error.c_str());
            app.Close();
            session.StopRemoveUnplug();
            std::signal(SIGINT, previousHandler);
            return 1;
        }
        result.pipe = transport->streamPipeType == UsbdPipeTypeBulk ? "bulk" : "isochronous";

        StreamTap tap(pipe->EndpointAddress);
        session.Bus().AddObserver(&tap);
        std::FILE* file = std::fopen(args.output.c_str(), "wb");
        if (file == nullptr) {
            std::fprintf(stderr, "kvsbda-sim watch: cannot write %s: %s\n", args.output.c_str(),
                         std::strerror(errno));
            failure = 2;
        } else {
            sim::TsCheckerOptions check;
            FrameRecorder recorder(file, check);
            recorder.Connect(app.Frames());
            // The graph runs first, then the application tunes, as a television application does.
            const NTSTATUS run = app.Run();
            result.tune = TuneThroughApplication(session, app, *kHz, args.bandwidthMHz, 0);
            if (!NT_SUCCESS(run) || !result.tune.locked) {
                std::fprintf(stderr,
                             "kvsbda-sim watch: no lock on %u kHz (%s); nothing was received\n",
                             *kHz,
                             !NT_SUCCESS(run)                    ? "the pins did not run"
                             : result.tune.requestedName.empty() ? "no transmitter on this channel"
                                                                 : "the transmitter did not lock");
                failure = 1;
                (void)app.Stop();
            } else {
                if (const sim::Transmitter* on = session.Demod().TunedTransmitter())
                    recorder.ExpectTablePids({0x0000, static_cast<uint16_t>(on->videoPid - 0x10)});
                Receive(session, app, context, args, recorder, tap, &result);
                if (const auto first = recorder.FirstFrameAt())
                    result.commitToFirstFrameMs =
                        std::chrono::duration<double, std::milli>(*first - result.tune.commitStart)
                            .count();
            }
            if (std::fclose(file) != 0 && result.writeError.empty())
                result.writeError = std::strerror(errno);
        }
        app.Close();
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
        std::printf("closed, stopped, removed, unplugged\n  pool bytes still allocated: %zu\n",
                    poolBytes);
    }
    const bool clean = result.frames > 0 && result.check.Errors() == 0 &&
                       result.writeError.empty() && result.account.otherBytes == 0;
    return clean && poolBytes == 0 ? 0 : 1;
}

}  // namespace

void AddWatchCommand(CLI::App& app, const GlobalOptions& options, int& exitCode) {
    auto args = std::make_shared<WatchArguments>();
    CLI::App* watch = app.add_subcommand(
        "watch", "Build the graph, tune, and receive the transport stream into a file");
    watch->add_option("--frequency", args->frequency, "centre frequency in kHz, e.g. 474000")
        ->required();
    watch->add_option("--bandwidth", args->bandwidthMHz, "channel bandwidth in MHz: 6, 7 or 8")
        ->capture_default_str();
    watch->add_option("--seconds", args->seconds, "how long to receive")->required();
    watch->add_option("--output", args->output, "transport-stream file to write (.ts)")->required();
    watch->callback([&options, &exitCode, args] { exitCode = RunWatch(options, *args); });
}

}  // namespace kvssim
