// kvsbda-sim watch: builds the graph as an application does - filter opened, antenna and
// transport pins created and running - tunes through the properties and the commit, and writes
// every frame the output pin delivers to a file for the given time, showing progress on a
// terminal. The summary accounts for every byte the stick sent (received by the application,
// dropped by the driver and why) and gives the time from the commit to the first frame. With
// --zap it is a soak: the channel changes every few seconds across the air's transmitters, and
// the summary gives each change's time to the first frame and the pool in use at each change.
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdint>
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
#include "receiver_run.h"
#include "session.h"
#include "stream_tap.h"
#include "tune_run.h"
#include "usb/cqzusb.h"
#include "usb/stream_reader_internal.h"
#include "usb/stream_ring.h"

namespace kvssim {

namespace {

using Clock = std::chrono::steady_clock;

constexpr unsigned kMaxSeconds = 24 * 3600;
constexpr std::chrono::milliseconds kDrainInterval{50};
constexpr std::chrono::milliseconds kQuietInterval{30};
constexpr int kQuietChecks = 3;
constexpr std::chrono::seconds kFifoSettleLimit{3};
constexpr ULONG kReadsDroppedAfterStart = 2;
constexpr uint16_t kMaxPid = 0x1FFF;

std::atomic<bool> gInterrupted{false};
extern "C" void OnInterrupt(int) {
    gInterrupted = true;
}

struct WatchArguments {
    std::string frequency;  // empty: what an earlier command tuned
    uint32_t kHz = 0;       // checked --frequency
    unsigned bandwidthMHz = 8;
    unsigned seconds = 0;
    unsigned zapSeconds = 0;  // 0: one channel for the whole watch
    std::string output;
};

// One channel of the watch: tuned at the start or by a change, received until the next change
// or the end.
struct ChannelVisit {
    double atSeconds = 0;  // since the recording began
    uint32_t requestedKHz = 0;
    std::string transmitter;
    bool committed = false;  // false: what an earlier command tuned
    bool locked = false;
    double commitMs = 0;
    std::chrono::steady_clock::time_point commitStart;
    std::optional<double> commitToFirstFrameMs;
    uint64_t frames = 0;
    // Pool in use when the channel was left (or the watch ended), the stream settled: every
    // read of the stream, the ring and the frames are there and nothing else is in flight.
    host::PoolUsage pool;
};

struct StreamAccount {
    uint64_t stickBytes = 0;
    uint64_t stickReads = 0;
    uint64_t largestRead = 0;
    uint64_t leadingBytes = 0;    // the two reads dropped after each start
    uint64_t afterStopBytes = 0;  // reads that ended after their stream stopped
    uint64_t ringBytes = 0;       // less than a frame, emptied by the stop
    int64_t otherBytes = 0;       // no free frame, frame overflow, ring refusal
    // Since the stick was plugged:
    uint64_t fifoLostBytes = 0;  // in the stick: its FIFO was full (the link did not keep up)
    uint64_t overrunBytes = 0;   // on the bus: isochronous packets larger than their slots
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

// Holds the air's stream back and waits until the stick's last reads have been handled (and its
// FIFO has been sent), so that the counts below describe a settled stream.
void SettleStream(Session& session, const StreamTap& tap) {
    session.AirStream()->Close();
    // A FIFO that no read empties (no stream pipe read) does not hold the summary back for long.
    const Clock::time_point giveUpOnFifo = Clock::now() + kFifoSettleLimit;
    uint64_t last = tap.Bytes();
    for (int quiet = 0; quiet < kQuietChecks;) {
        std::this_thread::sleep_for(kQuietInterval);
        const uint64_t now = tap.Bytes();
        quiet = now == last && !session.Bus().WorkInProgress() &&
                        (session.Stick()->StreamBytesHeld() == 0 || Clock::now() > giveUpOnFifo)
                    ? quiet + 1
                    : 0;
        last = now;
    }
}

// Bytes the driver still holds in its ring, read (as a debugger would) before the stop empties it.
uint64_t RingBytesHeld(const StreamRing* ring) {
    if (ring == nullptr) return 0;
    return (ring->writeIndex + ring->capacity - ring->readIndex) % ring->capacity;
}

// What the driver will do with a completing read, read from its transport (as a debugger would)
// just before the completion runs: an isochronous stop lets its reads drain, and those of a
// stopped stream, or of a run before the current one, reach no frame (a bulk stop ends its reads
// before it returns); after a start the reader drops the first two reads that carry bytes.
ReadFate FateOfRead(const CQZUSB* transport, const host::UsbTrafficRecord& record) {
    if (transport->streamPipeType == UsbdPipeTypeIsochronous) {
        const auto run = static_cast<ULONG>(
            reinterpret_cast<ULONG_PTR>(record.irp->Tail.Overlay.DriverContext[kSlotRun]));
        if (ReadStreamActive(transport) == 0 ||
            run != static_cast<ULONG>(ReadLongAcquire(&transport->streamRun)))
            return ReadFate::AfterStop;
    }
    return transport->discardPending != 0 && transport->discardCount < kReadsDroppedAfterStart
               ? ReadFate::DroppedAfterStart
               : ReadFate::Delivered;
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

    // Ends the line being updated so that a line of its own can follow.
    void Break() {
        if (open_) std::fprintf(stderr, "\n");
        open_ = false;
    }

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
        open_ = true;
    }
    bool Due() const { return enabled_ && Clock::now() - last_ >= std::chrono::seconds(1); }
    void End() { Break(); }

  private:
    const bool enabled_;
    const Clock::time_point start_;
    Clock::time_point last_;
    uint64_t lastBytes_ = 0;
    bool open_ = false;
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
    std::vector<std::pair<uint16_t, uint64_t>> pids;  // packets received per PID
    std::vector<ChannelVisit> channels;               // in the order they were tuned
};

std::vector<std::pair<uint16_t, uint64_t>> PacketsPerPid(const FrameRecorder& recorder) {
    std::vector<std::pair<uint16_t, uint64_t>> pids;
    for (uint16_t pid = 0; pid <= kMaxPid; ++pid)
        if (const uint64_t packets = recorder.PacketsOn(pid)) pids.emplace_back(pid, packets);
    return pids;
}

host::PoolUsage PoolInUse() {
    host::PoolUsage total;
    for (const auto& [tag, usage] : host::PoolOutstanding()) {
        total.bytes += usage.bytes;
        total.blocks += usage.blocks;
    }
    return total;
}

bool PoolFlat(const std::vector<ChannelVisit>& channels) {
    for (const ChannelVisit& visit : channels)
        if (visit.pool.bytes != channels.front().pool.bytes ||
            visit.pool.blocks != channels.front().pool.blocks)
            return false;
    return true;
}

size_t ChannelsWithoutFrames(const std::vector<ChannelVisit>& channels) {
    size_t none = 0;
    for (const ChannelVisit& visit : channels) none += visit.frames == 0 ? 1 : 0;
    return none;
}

size_t LockedChannelsWithoutFrames(const std::vector<ChannelVisit>& channels) {
    size_t none = 0;
    for (const ChannelVisit& visit : channels) none += visit.locked && visit.frames == 0 ? 1 : 0;
    return none;
}

std::string FirstFrameText(const ChannelVisit& visit) {
    if (!visit.committed) return "-";
    if (!visit.commitToFirstFrameMs) return "none";
    char text[32];
    std::snprintf(text, sizeof text, "%.1f", *visit.commitToFirstFrameMs);
    return text;
}

void PrintChannels(const WatchArguments& args, const WatchResult& r) {
    std::printf("  channels (a change every %u s, round robin over the air):\n", args.zapSeconds);
    std::printf("    %-3s %7s %7s  %-12s %-4s %9s %15s %8s %12s %7s\n", "#", "at s", "kHz",
                "transmitter", "lock", "commit ms", "first frame ms", "frames", "pool bytes",
                "blocks");
    for (size_t i = 0; i < r.channels.size(); ++i) {
        const ChannelVisit& v = r.channels[i];
        std::printf("    %-3zu %7.1f %7u  %-12s %-4s %9.1f %15s %8llu %12zu %7zu\n", i, v.atSeconds,
                    v.requestedKHz, v.transmitter.empty() ? "(none)" : v.transmitter.c_str(),
                    v.locked ? "yes" : "no", v.commitMs, FirstFrameText(v).c_str(),
                    static_cast<unsigned long long>(v.frames), static_cast<size_t>(v.pool.bytes),
                    v.pool.blocks);
    }
    size_t low = SIZE_MAX, high = 0;
    for (const ChannelVisit& v : r.channels) {
        low = std::min(low, static_cast<size_t>(v.pool.bytes));
        high = std::max(high, static_cast<size_t>(v.pool.bytes));
    }
    if (PoolFlat(r.channels)) {
        std::printf("  pool in use at every change: %zu bytes in %zu blocks (flat)\n", low,
                    r.channels.front().pool.blocks);
    } else {
        std::printf("  pool in use at the changes: %zu to %zu bytes (not flat)\n", low, high);
    }
    std::printf("  changes: %zu; channels without a frame: %zu\n", r.channels.size() - 1,
                ChannelsWithoutFrames(r.channels));
    if (const size_t silent = LockedChannelsWithoutFrames(r.channels); silent != 0)
        std::printf("  channels locked and yet without a frame: %zu\n", silent);
}

std::string PidText(uint16_t pid) {
    char text[8];
    std::snprintf(text, sizeof text, "0x%04X", pid);
    return text;
}

void PrintSummary(const WatchArguments& args, const WatchResult& r) {
    const StreamAccount& a = r.account;
    std::printf("\nwatch %u kHz (%s), %s stream pipe, %.1f s%s -> %s\n", TunerKHz(r.tune),
                r.tune.transmitterName.c_str(), r.pipe.c_str(), r.seconds,
                r.interrupted ? " (interrupted)" : "", args.output.c_str());
    std::printf("  signal while receiving: strength %u, quality %u", r.signal.strength,
                r.signal.quality);
    if (!args.frequency.empty()) std::printf("; the commit took %.1f ms", r.tune.commitMs);
    std::printf("\n");
    if (args.frequency.empty()) {
        std::printf("  no commit in this watch: it receives what an earlier command tuned\n");
    } else if (r.commitToFirstFrameMs) {
        std::printf("  commit to first frame: %.1f ms\n", *r.commitToFirstFrameMs);
    } else {
        std::printf("  commit to first frame: no frame arrived\n");
    }
    std::printf("  application received: %llu frames, %llu bytes, %llu packets\n",
                static_cast<unsigned long long>(r.frames), static_cast<unsigned long long>(r.bytes),
                static_cast<unsigned long long>(r.check.packets));
    if (args.zapSeconds != 0) PrintChannels(args, r);
    std::printf("  PIDs:");
    for (const auto& [pid, packets] : r.pids)
        std::printf(" %s (%llu)", PidText(pid).c_str(), static_cast<unsigned long long>(packets));
    std::printf("\n");
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
    std::printf("    reads that ended after their stream had stopped: %llu bytes\n",
                static_cast<unsigned long long>(a.afterStopBytes));
    std::printf("    left in the ring at each stop (less than a frame each): %llu bytes\n",
                static_cast<unsigned long long>(a.ringBytes));
    std::printf(
        "    lost (no free frame, frame overflow, ring refusal): %lld bytes; "
        "leading-edge misses: %llu\n",
        static_cast<long long>(a.otherBytes), static_cast<unsigned long long>(a.leadingEdgeMisses));
    std::printf("  lost in the stick's FIFO (the link did not carry the stream): %llu bytes\n",
                static_cast<unsigned long long>(a.fifoLostBytes));
    std::printf("  lost on the bus (isochronous packets that overran their slots): %llu bytes\n",
                static_cast<unsigned long long>(a.overrunBytes));
    if (a.pinViolations != 0)
        std::printf("  output pin misuse by the driver: %llu\n",
                    static_cast<unsigned long long>(a.pinViolations));
    if (!r.writeError.empty())
        std::printf("  writing %s failed: %s\n", args.output.c_str(), r.writeError.c_str());
}

nlohmann::json PidsJson(const std::vector<std::pair<uint16_t, uint64_t>>& pids) {
    nlohmann::json j = nlohmann::json::object();
    for (const auto& [pid, packets] : pids) j[PidText(pid)] = packets;
    return j;
}

nlohmann::json ChannelsJson(const std::vector<ChannelVisit>& channels) {
    nlohmann::json list = nlohmann::json::array();
    for (const ChannelVisit& v : channels)
        list.push_back({{"atSeconds", v.atSeconds},
                        {"frequencyKHz", v.requestedKHz},
                        {"transmitter", v.transmitter},
                        {"committed", v.committed},
                        {"locked", v.locked},
                        {"commitMs", v.commitMs},
                        {"commitToFirstFrameMs", v.commitToFirstFrameMs
                                                     ? nlohmann::json(*v.commitToFirstFrameMs)
                                                     : nlohmann::json(nullptr)},
                        {"frames", v.frames},
                        {"poolBytes", v.pool.bytes},
                        {"poolBlocks", v.pool.blocks}});
    return list;
}

nlohmann::json Json(const WatchArguments& args, const WatchResult& r) {
    const StreamAccount& a = r.account;
    return {
        {"zapSeconds", args.zapSeconds},
        {"channels", ChannelsJson(r.channels)},
        {"poolFlat", PoolFlat(r.channels)},
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
        {"pids", PidsJson(r.pids)},
        {"continuityErrors", r.check.continuityErrors},
        {"checkerErrors", r.check.Errors()},
        {"stickBytes", a.stickBytes},
        {"stickReads", a.stickReads},
        {"largestReadBytes", a.largestRead},
        {"droppedAfterStartBytes", a.leadingBytes},
        {"afterStopBytes", a.afterStopBytes},
        {"ringResidueBytes", a.ringBytes},
        {"lostBytes", a.otherBytes},
        {"stickFifoLostBytes", a.fifoLostBytes},
        {"overrunBytes", a.overrunBytes},
        {"leadingEdgeMisses", a.leadingEdgeMisses},
        {"pinViolations", a.pinViolations},
        {"writeError", r.writeError}};
}

std::vector<uint16_t> TablePids(const sim::Transmitter& on) {
    return {0x0000, static_cast<uint16_t>(on.videoPid - 0x10)};
}

// Leaves the current channel with the stream settled (the air held back until the stick's last
// reads are handled): what the channel brought is counted, and the ring's rest, which the next
// commit's stream stop (or the final stop) empties, is accounted as such.
void LeaveChannel(Session& session, DeviceContext* context, FrameRecorder& recorder,
                  const StreamTap& tap, ChannelVisit* visit, StreamAccount* account) {
    SettleStream(session, tap);
    recorder.Drain();
    account->ringBytes += RingBytesHeld(context->ring);
    visit->frames = recorder.SegmentFrames();
    if (const auto first = recorder.FirstFrameAt(); first && visit->committed)
        visit->commitToFirstFrameMs =
            std::chrono::duration<double, std::milli>(*first - visit->commitStart).count();
    visit->pool = PoolInUse();
}

// The transmitter after the one on `tunedKHz` in the air's order (the first when none is there).
const sim::Transmitter& NextTransmitter(const sim::Air& air, uint32_t tunedKHz) {
    const std::vector<sim::Transmitter>& all = air.transmitters;
    for (size_t i = 0; i < all.size(); ++i)
        if (all[i].frequencyKHz == tunedKHz) return all[(i + 1) % all.size()];
    return all.front();
}

// A change as a television application makes it while the graph runs: the tune through the
// properties and the commit (which stops and restarts the stream). The air is let go again as
// soon as the commit has returned, so the new channel's first frame is timed from its commit.
ChannelVisit ChangeChannel(Session& session, host::BdaReceiverApplication& app,
                           const WatchArguments& args, FrameRecorder& recorder,
                           const sim::Transmitter& next, double atSeconds) {
    recorder.BeginSegment(TablePids(next));
    const TuneOutcome tune =
        TuneThroughApplication(session, app, next.frequencyKHz, args.bandwidthMHz, 0,
                               [&session] { session.AirStream()->Open(); });
    ChannelVisit visit;
    visit.atSeconds = atSeconds;
    visit.requestedKHz = next.frequencyKHz;
    visit.transmitter = tune.transmitterName;
    visit.committed = true;
    visit.locked = tune.locked;
    visit.commitMs = tune.commitMs;
    visit.commitStart = tune.commitStart;
    return visit;
}

void ShowChange(const ChannelVisit& left, const ChannelVisit& entered) {
    char firstFrame[64] = "no frame";
    if (left.commitToFirstFrameMs)
        std::snprintf(firstFrame, sizeof firstFrame, "first frame %.1f ms after the commit",
                      *left.commitToFirstFrameMs);
    std::fprintf(stderr,
                 "  %6.1f s  left %u kHz: %llu frames, %s, pool %zu bytes in %zu blocks -> %u kHz "
                 "(%s) commit %.1f ms, lock %s\n",
                 entered.atSeconds, left.requestedKHz, static_cast<unsigned long long>(left.frames),
                 left.committed ? firstFrame : "no commit", static_cast<size_t>(left.pool.bytes),
                 left.pool.blocks, entered.requestedKHz,
                 entered.transmitter.empty() ? "no transmitter" : entered.transmitter.c_str(),
                 entered.commitMs, entered.locked ? "yes" : "no");
}

// Records for the requested time what the output pin delivers after the tune, changing the
// channel every --zap seconds; the pins are stopped and the stream settled on return.
void Receive(Session& session, host::BdaReceiverApplication& app, DeviceContext* context,
             const WatchArguments& args, FrameRecorder& recorder, const StreamTap& tap,
             WatchResult* result) {
    ProgressLine progress(isatty(fileno(stderr)) != 0);
    const Clock::time_point start = Clock::now();
    Clock::time_point end = start + std::chrono::seconds(args.seconds);
    const std::chrono::seconds zap(args.zapSeconds);
    Clock::time_point nextChange = start + zap;
    StreamAccount& a = result->account;
    while (Clock::now() < end && !gInterrupted) {
        std::this_thread::sleep_for(kDrainInterval);
        if (!recorder.Drain()) break;
        // A change is made only while its channel can still be received for a whole interval
        // before the end: a change in the last moments would leave a channel the watch never
        // gave the time to bring a frame.
        if (args.zapSeconds != 0 && Clock::now() >= nextChange && Clock::now() + zap <= end) {
            LeaveChannel(session, context, recorder, tap, &result->channels.back(), &a);
            const double at = std::chrono::duration<double>(Clock::now() - start).count();
            result->channels.push_back(ChangeChannel(
                session, app, args, recorder,
                NextTransmitter(session.Air(), result->channels.back().requestedKHz), at));
            progress.Break();
            ShowChange(result->channels[result->channels.size() - 2], result->channels.back());
            // Each channel is received for the whole interval, however long leaving the last
            // one, the commit and the wait for its lock took: the end moves out if need be.
            nextChange = Clock::now() + zap;
            end = std::max(end, nextChange);
        }
        if (progress.Due()) progress.Update(recorder.Frames(), recorder.Bytes(), LockedNow(app));
    }
    result->interrupted = gInterrupted;
    result->seconds = std::chrono::duration<double>(Clock::now() - start).count();
    result->signal = app.ReadSignal();

    LeaveChannel(session, context, recorder, tap, &result->channels.back(), &a);
    progress.Update(recorder.Frames(), recorder.Bytes(), LockedNow(app), true);
    progress.End();
    a.stickBytes = tap.Bytes();
    a.stickReads = tap.Reads();
    a.largestRead = tap.LargestRead();
    a.leadingBytes = tap.LeadingBytes();
    a.afterStopBytes = tap.AfterStopBytes();
    (void)app.Stop();
    // Reads still in flight end only when the stick answers them; the air goes on, and what they
    // bring after the stop is not delivered.
    session.AirStream()->Open();
    recorder.Drain();

    a.otherBytes = static_cast<int64_t>(a.stickBytes) - static_cast<int64_t>(recorder.Bytes()) -
                   static_cast<int64_t>(a.leadingBytes) - static_cast<int64_t>(a.afterStopBytes) -
                   static_cast<int64_t>(a.ringBytes);
    a.fifoLostBytes = session.Stick()->FifoOverflowBytes();
    a.overrunBytes = session.Stick()->OverrunBytes();
    a.leadingEdgeMisses = app.Frames().LeadingEdgeMisses();
    a.pinViolations = app.Frames().Violations();
    result->frames = recorder.Frames();
    result->bytes = recorder.Bytes();
    result->check = recorder.Report();
    result->checkText = recorder.Describe();
    result->writeError = recorder.WriteError();
}

// A watch after other commands of the chain starts from a stream it can account for: the air is
// held back while the pins run once and stop again (which stops whatever stream an earlier
// command restarted) and until the stopped stream's last reads have ended (read, as a debugger
// would, from the transport's counts). The caller lets the air go once the pins run again, so
// that the new stream's reads are all out before the first of them is answered.
void StopEarlierStream(Session& session, host::BdaReceiverApplication& app, CQZUSB* transport) {
    session.AirStream()->Close();
    (void)app.Run();
    (void)app.Stop();
    const auto limit = Clock::now() + std::chrono::seconds(5);
    while ((ReadLongAcquire(&transport->isoReadsOutstanding) != 0 ||
            ReadLongAcquire(&transport->bulkReadsOutstanding) != 0) &&
           Clock::now() < limit)
        std::this_thread::sleep_for(kQuietInterval);
}

bool CheckWatch(WatchArguments& args, std::string* error) {
    if (!args.frequency.empty()) {
        const std::optional<uint32_t> kHz = ParseFrequencyKHz(args.frequency, "--frequency", error);
        if (!kHz || !CheckBandwidthMHz(args.bandwidthMHz, error)) return false;
        args.kHz = *kHz;
    }
    if (args.seconds == 0 || args.seconds > kMaxSeconds) {
        *error = "--seconds must be 1 to " + std::to_string(kMaxSeconds);
        return false;
    }
    if (args.zapSeconds > kMaxSeconds) {
        *error = "--zap must be 1 to " + std::to_string(kMaxSeconds) + " seconds";
        return false;
    }
    return CheckWritable(args.output, error);
}

StepResult RunWatch(ReceiverRun& receiver, const WatchArguments& args) {
    const GlobalOptions& options = receiver.Options();
    Session& session = receiver.GetSession();
    host::BdaReceiverApplication& app = receiver.App();
    StepResult step;
    step.exitCode = 1;
    if (args.frequency.empty() && receiver.CommandsBefore() == 0) {
        std::fprintf(stderr,
                     "kvsbda-sim watch: --frequency is needed unless an earlier command of the "
                     "chain tuned (xtune, tune ... then watch)\n");
        return step;
    }
    DeviceContext* context = GetDeviceContext(receiver.Device());
    CQZUSB* transport = context != nullptr ? context->transport : nullptr;
    const PUSBD_PIPE_INFORMATION pipe = transport != nullptr && transport->streamPipeType != 0
                                            ? transport->Pipe(transport->streamPipeIndex)
                                            : nullptr;
    if (pipe == nullptr) {
        std::fprintf(stderr, "kvsbda-sim watch: the stick has no stream pipe\n");
        return step;
    }
    gInterrupted = false;
    auto previousHandler = std::signal(SIGINT, OnInterrupt);
    WatchResult result;
    result.pipe = transport->streamPipeType == UsbdPipeTypeBulk ? "bulk" : "isochronous";
    if (receiver.CommandsBefore() != 0) StopEarlierStream(session, app, transport);

    StreamTap tap(pipe->EndpointAddress, [transport](const host::UsbTrafficRecord& record) {
        return FateOfRead(transport, record);
    });
    session.Bus().AddObserver(&tap);
    int failure = 0;
    std::FILE* file = std::fopen(args.output.c_str(), "wb");
    if (file == nullptr) {
        std::fprintf(stderr, "kvsbda-sim watch: cannot write %s: %s\n", args.output.c_str(),
                     std::strerror(errno));
        failure = 2;
    } else {
        // The stick sends a byte stream, and the start drops reads: packets are found in it.
        sim::TsCheckerOptions check{.wholePacketFrames = false};
        FrameRecorder recorder(file, check);
        recorder.Connect(app.Frames());
        // The graph runs first, then the application tunes, as a television application does.
        const NTSTATUS run = app.Run();
        session.AirStream()->Open();
        bool locked;
        if (args.frequency.empty()) {
            // What an earlier command tuned; the stream restarts with the pins' run.
            result.tune.requestedKHz = 0;
            result.tune.tunerHz = session.Tuner().TunedFrequencyHz();
            if (const sim::Transmitter* on = session.Air().Find(result.tune.tunerHz))
                result.tune.transmitterName = on->name;
            result.tune.locked = locked = LockedNow(app);
        } else {
            result.tune = TuneThroughApplication(session, app, args.kHz, args.bandwidthMHz, 0);
            locked = result.tune.locked;
        }
        // Under the low resources simulation a soak goes on past a first tune that failed: the
        // failure is that channel's, shown in its row, and the next change may bring a stream.
        const bool soakUnderLowResources = args.zapSeconds != 0 && !options.lowResources.empty();
        if (!NT_SUCCESS(run) || (!locked && !soakUnderLowResources)) {
            std::fprintf(stderr, "kvsbda-sim watch: no lock on %u kHz (%s); nothing was received\n",
                         args.frequency.empty() ? TunerKHz(result.tune) : args.kHz,
                         !NT_SUCCESS(run) ? "the pins did not run"
                         : !args.frequency.empty() && result.tune.requestedName.empty()
                             ? "no transmitter on this channel"
                             : "the transmitter did not lock");
            failure = 1;
            (void)app.Stop();
        } else {
            if (const sim::Transmitter* on = session.Demod().TunedTransmitter())
                recorder.ExpectTablePids(TablePids(*on));
            ChannelVisit first;
            first.requestedKHz = args.frequency.empty() ? TunerKHz(result.tune) : args.kHz;
            first.transmitter = result.tune.transmitterName;
            first.committed = !args.frequency.empty();
            first.locked = locked;
            first.commitMs = result.tune.commitMs;
            first.commitStart = result.tune.commitStart;
            result.channels.push_back(first);
            Receive(session, app, context, args, recorder, tap, &result);
            result.commitToFirstFrameMs = result.channels.front().commitToFirstFrameMs;
            result.pids = PacketsPerPid(recorder);
        }
        app.Frames().SetSink({});
        if (std::fclose(file) != 0 && result.writeError.empty())
            result.writeError = std::strerror(errno);
    }
    session.Bus().RemoveObserver(&tap);
    std::signal(SIGINT, previousHandler);
    if (failure != 0) {
        step.exitCode = failure;
        return step;
    }
    if (options.json) {
        step.json = Json(args, result);
    } else {
        PrintSummary(args, result);
    }
    // Under the low resources simulation losses are expected; what may not happen is a channel
    // that reported its lock and yet brought nothing.
    const bool clean = options.lowResources.empty()
                           ? result.frames > 0 && result.check.Errors() == 0 &&
                                 result.writeError.empty() && result.account.otherBytes == 0 &&
                                 ChannelsWithoutFrames(result.channels) == 0 &&
                                 PoolFlat(result.channels)
                           : result.frames > 0 && result.writeError.empty() &&
                                 LockedChannelsWithoutFrames(result.channels) == 0;
    step.exitCode = clean ? 0 : 1;
    return step;
}

}  // namespace

void AddWatchCommand(CLI::App& app, const GlobalOptions&, Steps& steps) {
    auto args = std::make_shared<WatchArguments>();
    CLI::App* watch = app.add_subcommand(
        "watch", "Build the graph, tune, and receive the transport stream into a file");
    watch->add_option("--frequency", args->frequency,
                      "centre frequency in kHz, e.g. 474000 (after a command that tuned it may be "
                      "left out: the watch then receives what that command tuned)");
    watch->add_option("--bandwidth", args->bandwidthMHz, "channel bandwidth in MHz: 6, 7 or 8")
        ->capture_default_str();
    watch->add_option("--seconds", args->seconds, "how long to receive")->required();
    watch->add_option("--zap", args->zapSeconds,
                      "a soak: change the channel every SECONDS, round robin over the air's "
                      "transmitters, and show each change's time from the commit to the first "
                      "frame and the pool in use at each change");
    watch->add_option("--output", args->output, "transport-stream file to write (.ts)")->required();
    watch->callback([&steps, args] {
        steps.push_back({"watch",
                         [args](std::string* error) { return CheckWatch(*args, error); },
                         [args](ReceiverRun& receiver) { return RunWatch(receiver, *args); },
                         {}});
    });
}

}  // namespace kvssim
