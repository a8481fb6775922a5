// kvsbda-sim: the receiver driver on a simulated stick, without the hardware.
#include <CLI/CLI.hpp>

#include "commands.h"
#include "options.h"

int main(int argc, char** argv) {
    kvssim::GlobalOptions options;
    int exitCode = 0;
    CLI::App app{"kvsbda-sim: runs the receiver driver against a simulated USB stick"};
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
    app.add_option("--image", options.image,
                   "run this Windows build of the driver (kvsbda.sys) under CPU emulation in "
                   "place of the host-compiled driver");
    app.require_subcommand(1);
    // Global options may also follow the command (kvsbda-sim tune --frequency 474000 --json).
    app.fallthrough();

    kvssim::AddPlugCommand(app, options, exitCode);
    kvssim::AddTuneCommand(app, options, exitCode);
    kvssim::AddWatchCommand(app, options, exitCode);
    kvssim::AddScanCommand(app, options, exitCode);

    CLI11_PARSE(app, argc, argv);
    return exitCode;
}
