// kvsbda-sim tune: plugs the stick, opens the receiver filter with its pins as an application
// does, puts the frequency (and bandwidth) on the tuner node and commits, and reports what the
// application then reads from the signal statistics, next to what the simulated chips saw: the
// search step and attempt that locked, the frequency the tuner receives, and how long the commit
// took against the delays the driver asked for.
#include <cstdio>
#include <iostream>
#include <nlohmann/json.hpp>

#include "air_json.h"
#include "commands.h"
#include "receiver_run.h"
#include "session.h"
#include "tune_run.h"

namespace kvssim {

namespace {

struct TuneArguments {
    std::string frequency;
    uint32_t kHz = 0;  // checked --frequency
    unsigned bandwidthMHz = 8;
    unsigned settleMs = kDefaultSettleMs;
};

const char* YesNo(bool value) {
    return value ? "yes" : "no";
}

void PrintText(const Session& session, const GlobalOptions& options, const TuneOutcome& t) {
    std::printf("\n%s", AirText(session.Air(), !options.air.empty()).c_str());
    std::printf("tune %u kHz", t.requestedKHz);
    if (t.searchHz != 0 && SearchKHz(t) != t.requestedKHz)
        std::printf(" (tuned as %u kHz)", SearchKHz(t));
    std::printf(", %u MHz: %s\n", t.bandwidthMHz, t.locked ? "LOCKED" : "NO LOCK");
    if (!NT_SUCCESS(t.status))
        std::printf("  the tune request failed: %s\n", StatusText(t.status).c_str());
    std::printf("  signal: strength %u, quality %u, present %s, locked %s", t.signal.strength,
                t.signal.quality, YesNo(t.signal.present != 0), YesNo(t.signal.locked != 0));
    if (t.lockSeenMs + t.settledMs != 0)
        std::printf(" (read %u ms after the commit)", t.lockSeenMs + t.settledMs);
    std::printf("\n");
    if (t.locked) {
        std::printf("  locked at step %d, attempt %d of that step (attempt %d of the search)%s\n",
                    t.lockStep, t.lockAttemptInStep, t.lockAttemptsInSearch,
                    t.lockInversion ? ", inversion bit set" : "");
        std::printf("  transmitter: %s\n",
                    t.transmitterName.empty() ? "(unnamed)" : t.transmitterName.c_str());
        std::printf("  tuner receives %.3f MHz\n", static_cast<double>(t.tunerHz) / 1e6);
    } else if (t.searchHz == 0) {
        std::printf("  no tune sequence ran; tuner parked at %.3f MHz\n",
                    static_cast<double>(t.tunerHz) / 1e6);
    } else {
        std::printf("  %s; %d search attempts on %.3f MHz, tuner parked at %.3f MHz\n",
                    t.requestedName.empty() ? "no transmitter on this channel"
                                            : "the transmitter on this channel did not lock",
                    t.searchAttempts, static_cast<double>(t.searchHz) / 1e6,
                    static_cast<double>(t.tunerHz) / 1e6);
    }
    std::printf(
        "  commit took %.1f ms; the driver's mandated delays account for %lld ms (%zu waits)\n",
        t.commitMs, t.mandatedDelayMs, t.delayCount);
}

nlohmann::json Json(const Session& session, const GlobalOptions& options, const TuneOutcome& t) {
    nlohmann::json j;
    j["air"] = {{"source", options.air.empty() ? "default" : "--air"},
                {"transmitters", AirJson(session.Air())}};
    j["requestedKHz"] = t.requestedKHz;
    j["bandwidthMHz"] = t.bandwidthMHz;
    j["status"] = StatusText(t.status);
    // What the application read from the signal-statistics properties.
    j["locked"] = t.locked;
    j["present"] = t.signal.present != 0;
    j["strength"] = t.signal.strength;
    j["quality"] = t.signal.quality;
    j["lockSeenMs"] = t.lockSeenMs;
    j["settleMs"] = t.settledMs;
    // The simulator's view.
    j["tunerKHz"] = TunerKHz(t);
    j["searchKHz"] = t.searchHz != 0 ? nlohmann::json(SearchKHz(t)) : nlohmann::json(nullptr);
    j["tunerHz"] = t.tunerHz;
    j["lock"] = t.locked ? nlohmann::json{{"step", t.lockStep},
                                          {"attemptInStep", t.lockAttemptInStep},
                                          {"attemptsInSearch", t.lockAttemptsInSearch},
                                          {"inversion", t.lockInversion}}
                         : nlohmann::json(nullptr);
    j["searchAttempts"] = t.searchAttempts;
    j["inversionFlips"] = t.inversionFlips;
    j["transmitter"] =
        t.transmitterName.empty() ? nlohmann::json(nullptr) : nlohmann::json(t.transmitterName);
    j["commitMs"] = t.commitMs;
    j["mandatedDelayMs"] = t.mandatedDelayMs;
    j["mandatedDelays"] = t.delayCount;
    return j;
}

StepResult RunTune(ReceiverRun& receiver, const TuneArguments& args) {
    const GlobalOptions& options = receiver.Options();
    Session& session = receiver.GetSession();
    const TuneOutcome outcome =
        TuneThroughApplication(session, receiver.App(), args.kHz, args.bandwidthMHz, args.settleMs);
    StepResult result;
    if (options.json) {
        result.json = Json(session, options, outcome);
    } else {
        PrintText(session, options, outcome);
    }
    result.exitCode = NT_SUCCESS(outcome.status) && outcome.locked ? 0 : 1;
    return result;
}

bool CheckTune(TuneArguments& args, std::string* error) {
    const std::optional<uint32_t> kHz = ParseFrequencyKHz(args.frequency, "--frequency", error);
    if (!kHz || !CheckBandwidthMHz(args.bandwidthMHz, error)) return false;
    args.kHz = *kHz;
    return true;
}

}  // namespace

void AddTuneCommand(CLI::App& app, const GlobalOptions&, Steps& steps) {
    auto args = std::make_shared<TuneArguments>();
    CLI::App* tune = app.add_subcommand(
        "tune", "Plug the stick in, tune it through the BDA properties and report the signal");
    tune->add_option("--frequency", args->frequency, "centre frequency in kHz, e.g. 474000")
        ->required();
    tune->add_option("--bandwidth", args->bandwidthMHz,
                     "channel bandwidth in MHz: 6, 7 or 8 (stored by the driver; it tunes 8)")
        ->capture_default_str();
    tune->add_option("--settle", args->settleMs,
                     "milliseconds to wait after a locked commit before reading the signal "
                     "statistics (the stick's status reports carry strength and quality)")
        ->capture_default_str();
    tune->callback([&steps, args] {
        steps.push_back({"tune",
                         [args](std::string* error) { return CheckTune(*args, error); },
                         [args](ReceiverRun& receiver) { return RunTune(receiver, *args); },
                         {}});
    });
}

}  // namespace kvssim
