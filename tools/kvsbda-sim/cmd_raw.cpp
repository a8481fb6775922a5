// kvsbda-sim raw: sends a raw bridge frame through the private property set (id 12); the driver
// reads a five-byte reply and drops it.
#include <cstdio>

#include "commands.h"
#include "private_args.h"
#include "receiver_run.h"

namespace kvssim {

namespace {

struct RawArguments {
    std::string frame;
    Bytes bytes;
};

StepResult RunRaw(ReceiverRun& receiver, const RawArguments& args) {
    receiver.BeginBridgeLog();
    const NTSTATUS status = receiver.Private().RawFrame(args.bytes);
    const std::vector<Bytes> frames = receiver.BridgeLog();
    StepResult result;
    if (receiver.Options().json) {
        nlohmann::json sent = nlohmann::json::array();
        for (const Bytes& frame : frames) sent.push_back(HexText(frame));
        result.json = {{"frame", HexText(args.bytes)},
                       {"status", StatusName(status)},
                       {"framesOnTheBridge", sent}};
    } else {
        std::printf("\nraw frame %s: %s\n", HexText(args.bytes).c_str(),
                    StatusName(status).c_str());
        std::printf("  on the bridge channel: %s\n",
                    frames.empty() ? "nothing" : HexText(frames.front()).c_str());
    }
    result.exitCode = NT_SUCCESS(status) ? 0 : 1;
    return result;
}

}  // namespace

void AddRawCommand(CLI::App& app, const GlobalOptions&, Steps& steps) {
    auto args = std::make_shared<RawArguments>();
    CLI::App* raw = app.add_subcommand("raw", "Send a raw bridge frame (item 12)");
    raw->add_option("--frame", args->frame, "the frame in hex, e.g. 0600")->required();
    raw->callback([&steps, args] {
        steps.push_back({"raw",
                         [args](std::string* error) {
                             auto bytes = ParseHexBytes(args->frame, "--frame", error);
                             if (!bytes) return false;
                             args->bytes = *bytes;
                             return true;
                         },
                         [args](ReceiverRun& receiver) { return RunRaw(receiver, *args); },
                         {}});
    });
}

}  // namespace kvssim
