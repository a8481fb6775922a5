// kvsbda-sim tune: plugs the stick, runs the tune a change commit runs, and reports whether the
// demodulator locked, under which search step and attempt, and how long the tune took against
// the delays the driver must wait. Then stops, removes and unplugs the stick.
#include <cstdio>
#include <iostream>
#include <nlohmann/json.hpp>

#include "air_json.h"
#include "commands.h"
#include "platform/host/pool_accounting.h"
#include "platform/pool.h"
#include "session.h"
#include "tune_run.h"

namespace kvssim {

namespace {

struct TuneArguments {
    std::string frequency;
    unsigned bandwidthMHz = 8;
};

void PrintText(const Session& session, const GlobalOptions& options, const TuneOutcome& t) {
    std::printf("\n%s", AirText(session.Air(), !options.air.empty()).c_str());
    std::printf("tune %u kHz", t.requestedKHz);
    if (t.tunedKHz != t.requestedKHz) std::printf(" (tuned as %u kHz)", t.tunedKHz);
    std::printf(", %u MHz: %s\n", t.bandwidthMHz, t.locked ? "LOCKED" : "NO LOCK");
    if (t.locked) {
        std::printf("  locked at step %d, attempt %d of that step (attempt %d of the search)%s\n",
                    t.lockStep, t.lockAttemptInStep, t.lockAttemptsInSearch,
                    t.lockInversion ? ", inversion bit set" : "");
        std::printf("  transmitter: %s\n",
                    t.transmitterName.empty() ? "(unnamed)" : t.transmitterName.c_str());
        std::printf("  tuner receives %.3f MHz\n", static_cast<double>(t.tunerHz) / 1e6);
    } else {
        std::printf("  %s; %d search attempts, tuner parked\n",
                    t.transmitterName.empty() ? "no transmitter on this channel"
                                              : "the transmitter on this channel did not lock",
                    t.searchAttempts);
    }
    std::printf(
        "  tune took %.1f ms; the driver's mandated delays account for %lld ms (%zu waits)\n",
        t.elapsedMs, t.mandatedDelayMs, t.delayCount);
}

nlohmann::json Json(const Session& session, const GlobalOptions& options, const TuneOutcome& t) {
    nlohmann::json j;
    j["air"] = {{"source", options.air.empty() ? "default" : "--air"},
                {"transmitters", AirJson(session.Air())}};
    j["requestedKHz"] = t.requestedKHz;
    j["tunedKHz"] = t.tunedKHz;
    j["bandwidthMHz"] = t.bandwidthMHz;
    j["locked"] = t.locked;
    j["lock"] = t.locked ? nlohmann::json{{"step", t.lockStep},
                                          {"attemptInStep", t.lockAttemptInStep},
                                          {"attemptsInSearch", t.lockAttemptsInSearch},
                                          {"inversion", t.lockInversion}}
                         : nlohmann::json(nullptr);
    j["searchAttempts"] = t.searchAttempts;
    j["inversionFlips"] = t.inversionFlips;
    j["transmitter"] =
        t.transmitterName.empty() ? nlohmann::json(nullptr) : nlohmann::json(t.transmitterName);
    j["tunerHz"] = t.tunerHz;
    j["tuneMs"] = t.elapsedMs;
    j["mandatedDelayMs"] = t.mandatedDelayMs;
    j["mandatedDelays"] = t.delayCount;
    return j;
}

int RunTune(const GlobalOptions& options, const TuneArguments& args) {
    std::string error;
    const std::optional<uint32_t> kHz = ParseFrequencyKHz(args.frequency, &error);
    if (!kHz || !CheckBandwidthMHz(args.bandwidthMHz, &error)) {
        std::fprintf(stderr, "kvsbda-sim tune: %s\n", error.c_str());
        return 2;
    }
    std::vector<std::string> debug;
    nlohmann::json result;
    bool locked = false;
    {
        Session session(options, DebugLineSink(options, &debug));
        if (!session.Open(&error)) {
            std::fprintf(stderr, "kvsbda-sim: %s\n", error.c_str());
            return 2;
        }
        PKSDEVICE device = PlugStartedStick(session, options, &error);
        if (device == nullptr) {
            std::fprintf(stderr, "kvsbda-sim tune: %s\n", error.c_str());
            session.StopRemoveUnplug();
            return 1;
        }
        const TuneOutcome outcome = RunCommitTune(session, device, *kHz, args.bandwidthMHz);
        locked = outcome.locked;
        if (options.json) {
            result = Json(session, options, outcome);
        } else {
            PrintText(session, options, outcome);
        }
        session.StopRemoveUnplug();
    }
    const size_t poolBytes = host::PoolBytesOutstanding(kDriverPoolTag);
    if (options.json) {
        result["poolBytesOutstanding"] = poolBytes;
        result["debug"] = debug;
        std::cout << result.dump(2) << std::endl;
    } else {
        std::printf("stopped, removed, unplugged\n  pool bytes still allocated: %zu\n", poolBytes);
    }
    if (poolBytes != 0) return 1;
    return locked ? 0 : 1;
}

}  // namespace

void AddTuneCommand(CLI::App& app, const GlobalOptions& options, int& exitCode) {
    auto args = std::make_shared<TuneArguments>();
    CLI::App* tune = app.add_subcommand(
        "tune", "Plug the stick in, tune it as a change commit does and report the lock");
    tune->add_option("--frequency", args->frequency, "centre frequency in kHz, e.g. 474000")
        ->required();
    tune->add_option("--bandwidth", args->bandwidthMHz, "channel bandwidth in MHz: 6, 7 or 8")
        ->capture_default_str();
    tune->callback([&options, &exitCode, args] { exitCode = RunTune(options, *args); });
}

}  // namespace kvssim
