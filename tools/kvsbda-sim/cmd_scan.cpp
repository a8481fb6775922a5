// kvsbda-sim scan: a television application's channel search. The filter is opened with its
// pins once; every channel of the range is tuned in turn through the frequency property and the
// commit, and the lock, strength and quality are read from the signal statistics (after a locked
// commit, once the stick's status reports have come). Prints a table, or with --json an object.
#include <unistd.h>

#include <cstdio>
#include <iostream>
#include <nlohmann/json.hpp>

#include "commands.h"
#include "receiver_run.h"
#include "session.h"
#include "tune_run.h"

namespace kvssim {

namespace {

constexpr uint32_t kDefaultFromKHz = 474000;
constexpr uint32_t kDefaultToKHz = 858000;
constexpr uint32_t kDefaultStepKHz = 8000;
constexpr uint32_t kMaxChannels = 10000;
constexpr unsigned kScanBandwidthMHz = 8;

struct ScanArguments {
    std::string from = std::to_string(kDefaultFromKHz);
    std::string to = std::to_string(kDefaultToKHz);
    std::string step = std::to_string(kDefaultStepKHz);
    unsigned settleMs = kDefaultSettleMs;
    uint32_t fromKHz = 0, toKHz = 0, stepKHz = 0;  // checked
};

struct Channel {
    uint32_t frequencyKHz = 0;
    NTSTATUS status = STATUS_SUCCESS;
    bool locked = false;
    ULONG strength = 0;
    ULONG quality = 0;
    double tuneMs = 0;
    std::string transmitter;  // the simulator's view
};

void PrintTable(const std::vector<Channel>& channels) {
    std::printf("\n  frequency kHz  lock  strength  quality  tune ms   (simulator: transmitter)\n");
    size_t found = 0;
    for (const Channel& c : channels) {
        std::printf("  %13u  %-4s  %8lu  %7lu  %7.1f", c.frequencyKHz, c.locked ? "yes" : "no",
                    static_cast<unsigned long>(c.strength), static_cast<unsigned long>(c.quality),
                    c.tuneMs);
        if (!NT_SUCCESS(c.status)) std::printf("   tune failed: %s", StatusText(c.status).c_str());
        if (c.locked) std::printf("   %s", c.transmitter.c_str());
        std::printf("\n");
        found += c.locked ? 1 : 0;
    }
    std::printf("found %zu channel%s:", found, found == 1 ? "" : "s");
    for (const Channel& c : channels)
        if (c.locked) std::printf(" %u", c.frequencyKHz);
    std::printf("\n");
}

nlohmann::json Json(const ScanArguments& args, uint32_t from, uint32_t to, uint32_t step,
                    const std::vector<Channel>& channels) {
    nlohmann::json list = nlohmann::json::array();
    nlohmann::json found = nlohmann::json::array();
    for (const Channel& c : channels) {
        list.push_back({{"frequencyKHz", c.frequencyKHz},
                        {"locked", c.locked},
                        {"strength", c.strength},
                        {"quality", c.quality},
                        {"tuneMs", c.tuneMs},
                        {"status", StatusText(c.status)},
                        {"transmitter", c.transmitter.empty() ? nlohmann::json(nullptr)
                                                              : nlohmann::json(c.transmitter)}});
        if (c.locked)
            found.push_back({{"frequencyKHz", c.frequencyKHz},
                             {"strength", c.strength},
                             {"quality", c.quality}});
    }
    return {{"fromKHz", from},           {"toKHz", to},      {"stepKHz", step},
            {"settleMs", args.settleMs}, {"channels", list}, {"found", found}};
}

bool CheckScan(ScanArguments& args, std::string* error) {
    const std::optional<uint32_t> from = ParseFrequencyKHz(args.from, "--from", error);
    const std::optional<uint32_t> to =
        from ? ParseFrequencyKHz(args.to, "--to", error) : std::nullopt;
    const std::optional<uint32_t> step =
        to ? ParseFrequencyKHz(args.step, "--step", error) : std::nullopt;
    if (!from || !to || !step) return false;
    if (*to < *from || (*to - *from) / *step >= kMaxChannels) {
        *error = "--to must not be below --from, and the range must hold at most " +
                 std::to_string(kMaxChannels) + " channels";
        return false;
    }
    args.fromKHz = *from;
    args.toKHz = *to;
    args.stepKHz = *step;
    return true;
}

StepResult RunScan(ReceiverRun& receiver, const ScanArguments& args) {
    std::vector<Channel> channels;
    bool failed = false;
    const bool progress = isatty(fileno(stderr)) != 0;
    const uint32_t count = (args.toKHz - args.fromKHz) / args.stepKHz + 1;
    size_t locked = 0;
    for (uint32_t i = 0; i < count; ++i) {
        const uint32_t kHz = args.fromKHz + i * args.stepKHz;
        if (progress)
            std::fprintf(stderr, "\r  scanning %u kHz (%u of %u), %zu found   ", kHz, i + 1, count,
                         locked);
        const TuneOutcome outcome = TuneThroughApplication(receiver.GetSession(), receiver.App(),
                                                           kHz, kScanBandwidthMHz, args.settleMs);
        Channel channel;
        channel.frequencyKHz = kHz;
        channel.status = outcome.status;
        channel.locked = outcome.locked;
        channel.strength = outcome.signal.strength;
        channel.quality = outcome.signal.quality;
        channel.tuneMs = outcome.commitMs;
        channel.transmitter = outcome.locked ? outcome.transmitterName : "";
        failed = failed || !NT_SUCCESS(outcome.status);
        locked += outcome.locked ? 1 : 0;
        channels.push_back(channel);
    }
    if (progress) std::fprintf(stderr, "\r%60s\r", "");
    StepResult result;
    if (receiver.Options().json) {
        result.json = Json(args, args.fromKHz, args.toKHz, args.stepKHz, channels);
    } else {
        PrintTable(channels);
    }
    result.exitCode = failed ? 1 : 0;
    return result;
}

}  // namespace

void AddScanCommand(CLI::App& app, const GlobalOptions&, Steps& steps) {
    auto args = std::make_shared<ScanArguments>();
    CLI::App* scan = app.add_subcommand(
        "scan", "Search the channels of a range as a television application does");
    scan->add_option("--from", args->from, "first frequency in kHz")->capture_default_str();
    scan->add_option("--to", args->to, "last frequency in kHz")->capture_default_str();
    scan->add_option("--step", args->step, "channel spacing in kHz")->capture_default_str();
    scan->add_option("--settle", args->settleMs,
                     "milliseconds to wait after a locked commit before reading the signal "
                     "statistics")
        ->capture_default_str();
    scan->callback([&steps, args] {
        steps.push_back({"scan",
                         [args](std::string* error) { return CheckScan(*args, error); },
                         [args](ReceiverRun& receiver) { return RunScan(receiver, *args); },
                         {}});
    });
}

}  // namespace kvssim
