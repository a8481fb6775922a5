// kvsbda-sim: the receiver driver on a simulated stick, without the hardware.
#include <CLI/CLI.hpp>
#include <cstring>
#include <vector>

#include "commands.h"
#include "options.h"

namespace {

// The word that joins commands on one command line.
constexpr const char* kThen = "then";

void AddGlobalOptions(CLI::App& app, kvssim::GlobalOptions& options) {
    app.add_option("--stick", options.stick, "vendor and product id of the stick, VID:PID in hex")
        ->capture_default_str();
    app.add_flag("--boot", options.boot,
                 "plug the stick without its firmware (the driver downloads it)");
    app.add_option("--pcap", options.pcapPath, "write a USBPcap wire capture to this file");
    app.add_option("--log", options.logPath, "write the driver's debug output to this file");
    app.add_flag("--json", options.json, "print the results as one JSON object");
    app.add_option("--air", options.air,
                   "transmitters on the simulated air: KHZ[,key=value...][;KHZ...] with keys "
                   "name, strength, quality, mode, inversion, detect_ms, lock_ms, pid, program "
                   "(default: four UHF channels)");
    app.add_option("--speed", options.speed,
                   "bus speed of the stick: high presents the bulk stream pipe 0x88, full the "
                   "isochronous one 0x87")
        ->check(CLI::IsMember({"high", "full"}))
        ->capture_default_str();
    app.add_option("--stream", options.stream,
                   "a stick plugged with its firmware running presents built-in descriptors: "
                   "bulk or iso forces its stream pipe, auto follows the speed (after --boot "
                   "the downloaded rom image and the speed decide)")
        ->check(CLI::IsMember({"auto", "bulk", "iso"}))
        ->capture_default_str();
    app.add_option("--latency", options.latencyMicroseconds,
                   "bus time of every transfer in microseconds (default: one microframe, 125, at "
                   "high speed; one frame, 1000, at full speed)")
        ->check(CLI::Range(0L, 1000000L));
    app.add_flag("--inline-completion", options.inlineCompletion,
                 "the bus completes a successful transfer inside the submitting call when the "
                 "stick has the answer at hand, as a lower filter driver may");
    app.add_option("--status-period", options.statusPeriodMs,
                   "milliseconds between the stick's status reports on its interrupt pipe")
        ->check(CLI::Range(1u, 60000u));
    app.add_option("--image", options.image,
                   "run this Windows build of the driver (kvsbda.sys) under CPU emulation in "
                   "place of the host-compiled driver");
    app.add_option("--low-resources", options.lowResources,
                   "low resources simulation as Driver Verifier makes it: 1/N fails about one in N "
                   "of the driver's pool allocations and request packets once the receiver is open")
        ->check([](const std::string& text) {
            return kvssim::ParseOneIn(text) ? std::string() : std::string("expected 1/N");
        });
    app.add_option("--seed", options.seed, "seed of the low resources simulation's draws")
        ->capture_default_str();
}

void AddCommands(CLI::App& app, const kvssim::GlobalOptions& options, kvssim::Steps& steps) {
    kvssim::AddPlugCommand(app, options, steps);
    kvssim::AddTuneCommand(app, options, steps);
    kvssim::AddWatchCommand(app, options, steps);
    kvssim::AddScanCommand(app, options, steps);
    kvssim::AddKeysCommand(app, options, steps);
    kvssim::AddPidCommand(app, options, steps);
    kvssim::AddI2cCommand(app, options, steps);
    kvssim::AddRawCommand(app, options, steps);
    kvssim::AddStatusCommand(app, options, steps);
    kvssim::AddVersionCommand(app, options, steps);
    kvssim::AddXtuneCommand(app, options, steps);
    kvssim::AddTuneParamsCommand(app, options, steps);
    kvssim::AddMessageCommand(app, options, steps);
    kvssim::AddGraphCommand(app, options, steps);
}

}  // namespace

int main(int argc, char** argv) {
    // Cut the command line at each `then`: every part is one command (global options may stand
    // in any part and apply to the whole run).
    std::vector<std::vector<char*>> parts(1, std::vector<char*>{argv[0]});
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], kThen) == 0) {
            parts.push_back({argv[0]});
        } else {
            parts.back().push_back(argv[i]);
        }
    }

    kvssim::GlobalOptions options;
    kvssim::Steps steps;
    for (std::vector<char*>& part : parts) {
        CLI::App app{
            "kvsbda-sim: runs the receiver driver against a simulated USB stick. Several commands "
            "may follow one another, joined by the word `then`; they run in order on one stick."};
        AddGlobalOptions(app, options);
        app.require_subcommand(1);
        // Global options may also follow the command (kvsbda-sim tune --frequency 474000 --json).
        app.fallthrough();
        AddCommands(app, options, steps);
        try {
            app.parse(static_cast<int>(part.size()), part.data());
        } catch (const CLI::ParseError& e) {
            return app.exit(e);
        }
    }
    return kvssim::RunSteps(options, steps);
}
