// kvsbda-sim xtune and tune-params: the tunes of the private property set. xtune (id 9) tunes the
// difference of frequency and offset with the given bandwidth, without the commit's window and
// rounding, and restarts the stream with the default PID table whatever the outcome. tune-params
// (id 13) stores its parameters and runs the commit's tune, which leaves the stream stopped.
// Both show the lock the driver reports (id 10), the simulator's tuner and the bridge frames.
#include <cstdio>

#include "commands.h"
#include "private_args.h"
#include "receiver_run.h"
#include "tune_run.h"

namespace kvssim {

namespace {

const Bytes kDefaultPidLoad = {0x03, 0x06, 0x00, 0xFF, 0x01, 0x1F, 0x20, 0x81};
constexpr uint8_t kCommand06 = 0x06;
constexpr uint64_t kWordMax = 0xFFFFFFFF;

struct XtuneArguments {
    bool parameters = false;  // tune-params (id 13) rather than xtune (id 9)
    std::string frequency, bandwidth = "8", offset = "0", symbolRate = "0", extra1 = "0",
                           extra2 = "0";
    ULONG frequencyKHz = 0, bandwidthMHz = 0, offsetKHz = 0, symbols = 0, extraOne = 0,
          extraTwo = 0;
};

bool CheckXtune(XtuneArguments& args, std::string* error) {
    const struct {
        const std::string* text;
        const char* option;
        ULONG* value;
    } fields[] = {{&args.frequency, "--frequency", &args.frequencyKHz},
                  {&args.bandwidth, "--bandwidth", &args.bandwidthMHz},
                  {&args.offset, "--offset", &args.offsetKHz},
                  {&args.symbolRate, "--symbol-rate", &args.symbols},
                  {&args.extra1, "--extra1", &args.extraOne},
                  {&args.extra2, "--extra2", &args.extraTwo}};
    for (const auto& field : fields) {
        const auto value = ParseNumber(*field.text, kWordMax, field.option, error);
        if (!value) return false;
        *field.value = static_cast<ULONG>(*value);
    }
    return true;
}

// The bridge frames of a tune: those to the chips, then what followed the last one.
struct TuneFrames {
    size_t chipFrames = 0;
    bool defaultTable = false;
};

TuneFrames Classify(const std::vector<Bytes>& frames) {
    TuneFrames result;
    for (size_t i = 0; i < frames.size(); ++i) {
        const Bytes& frame = frames[i];
        if (frame == kDefaultPidLoad && i + 1 < frames.size() && !frames[i + 1].empty() &&
            frames[i + 1][0] == kCommand06)
            result.defaultTable = true;
        else if (!frame.empty() && (frame[0] == 0x04 || frame[0] == 0x05 || frame[0] == 0x84))
            ++result.chipFrames;
    }
    return result;
}

StepResult RunXtune(ReceiverRun& receiver, const XtuneArguments& args) {
    Session& session = receiver.GetSession();
    session.Demod().ResetObservations();
    receiver.BeginBridgeLog();
    NTSTATUS status;
    uint64_t reads;
    {
        StreamReadProbe probe(session.Bus(), receiver.StreamEndpoint());
        status = args.parameters ? receiver.Private().TuneParameters(
                                       args.frequencyKHz, args.bandwidthMHz, args.symbols,
                                       args.offsetKHz, args.extraOne, args.extraTwo)
                                 : receiver.Private().ExtendedTune(
                                       args.frequencyKHz, args.bandwidthMHz, args.offsetKHz);
        reads = probe.Submitted();  // a restart submits its reads before the request returns
    }
    const TuneFrames frames = Classify(receiver.BridgeLog());
    const bool tuneRan = session.Demod().GetObservations().softResets != 0;
    // The status item reads the lock flag that the BDA statistics read: watched as after a commit.
    unsigned lockSeenMs = 0;
    if (NT_SUCCESS(status) && tuneRan) (void)AwaitLock(receiver.App(), &lockSeenMs);
    host::PrivateStatus locked;
    const NTSTATUS statusRead = receiver.Private().Status(&locked);
    const uint64_t tunerHz = session.Tuner().TunedFrequencyHz();
    const sim::Transmitter* on = session.Air().Find(tunerHz);
    const ULONG tuned = args.frequencyKHz > args.offsetKHz ? args.frequencyKHz - args.offsetKHz
                                                           : args.offsetKHz - args.frequencyKHz;
    const char* name = args.parameters ? "tune-params" : "xtune";

    StepResult result;
    if (receiver.Options().json) {
        result.json = {
            {"frequencyKHz", args.frequencyKHz},
            {"bandwidthMHz", args.bandwidthMHz},
            {"offsetKHz", args.offsetKHz},
            {"status", StatusName(status)},
            {"tuneRan", tuneRan},
            {"locked", locked.locked != 0},
            {"statusRead", StatusName(statusRead)},
            {"tunerKHz", (tunerHz + 500) / 1000},
            {"transmitter", on != nullptr ? nlohmann::json(on->name) : nlohmann::json(nullptr)},
            {"chipFrames", frames.chipFrames},
            {"defaultPidTable", frames.defaultTable},
            {"streamReadsSubmitted", reads}};
        if (!args.parameters) result.json["tunedKHz"] = tuned;
    } else {
        std::printf("\n%s %lu kHz, %lu MHz, offset %lu kHz: %s\n", name,
                    static_cast<unsigned long>(args.frequencyKHz),
                    static_cast<unsigned long>(args.bandwidthMHz),
                    static_cast<unsigned long>(args.offsetKHz), StatusName(status).c_str());
        if (tuneRan) {
            std::printf("  tuned%s: %s\n",
                        args.parameters ? "" : (" " + std::to_string(tuned) + " kHz").c_str(),
                        locked.locked != 0 ? "LOCKED" : "NO LOCK");
        } else {
            std::printf("  not tuned; lock flag %u\n", locked.locked);
        }
        std::printf("  status item: locked %u, strength %u, quality %u\n", locked.locked,
                    locked.strength, locked.quality);
        std::printf("  tuner receives %.3f MHz%s%s\n", static_cast<double>(tunerHz) / 1e6,
                    on != nullptr ? " from " : "", on != nullptr ? on->name.c_str() : "");
        std::printf("  bridge: %zu frames to the chips%s\n", frames.chipFrames,
                    frames.defaultTable ? ", then the default PID table 03 06 00 FF 01 1F 20 81 "
                                          "and 06 00"
                                        : ", no PID table");
        std::printf("  stream: %s (%llu reads submitted)\n",
                    reads != 0 ? "restarted" : "left stopped",
                    static_cast<unsigned long long>(reads));
    }
    result.exitCode = NT_SUCCESS(status) && (!tuneRan || locked.locked != 0) ? 0 : 1;
    return result;
}

void AddTune(CLI::App& app, Steps& steps, bool parameters) {
    auto args = std::make_shared<XtuneArguments>();
    args->parameters = parameters;
    CLI::App* command = app.add_subcommand(
        parameters ? "tune-params" : "xtune",
        parameters ? "Store tuning parameters and tune as a commit does, without restarting the "
                     "stream (item 13)"
                   : "Tune frequency less offset with the bandwidth given, then restart the stream "
                     "with the default PID table (item 9)");
    command->add_option("--frequency", args->frequency, "kHz (0 allowed)")->required();
    command->add_option("--bandwidth", args->bandwidth, "MHz")->capture_default_str();
    command->add_option("--offset", args->offset, "kHz")->capture_default_str();
    if (parameters) {
        command->add_option("--symbol-rate", args->symbolRate, "stored")->capture_default_str();
        command->add_option("--extra1", args->extra1, "stored")->capture_default_str();
        command->add_option("--extra2", args->extra2, "stored")->capture_default_str();
    }
    command->callback([&steps, args] {
        steps.push_back({args->parameters ? "tune-params" : "xtune",
                         [args](std::string* error) { return CheckXtune(*args, error); },
                         [args](ReceiverRun& receiver) { return RunXtune(receiver, *args); },
                         {}});
    });
}

}  // namespace

void AddXtuneCommand(CLI::App& app, const GlobalOptions&, Steps& steps) {
    AddTune(app, steps, false);
}

void AddTuneParamsCommand(CLI::App& app, const GlobalOptions&, Steps& steps) {
    AddTune(app, steps, true);
}

}  // namespace kvssim
