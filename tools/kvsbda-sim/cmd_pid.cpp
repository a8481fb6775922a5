// kvsbda-sim pid: loads the bridge's PID filter through the private property set (id 2): the
// driver stops the stream, sends the table and restarts the stream. Shows the frames on the
// bridge channel, whether the stream restarted, and which PIDs the stick now lets through
// (`... then watch` shows them in the stream).
#include <cstdio>

#include "commands.h"
#include "private_args.h"
#include "receiver_run.h"

namespace kvssim {

namespace {

constexpr uint64_t kMaxPid = 0x1FFF;

struct PidArguments {
    std::string mode;
    std::string pids;
    ULONG modeValue = 0;
    std::vector<uint16_t> pidValues;
};

bool CheckPid(PidArguments& args, std::string* error) {
    const std::optional<uint64_t> mode = ParseNumber(args.mode, 0xFFFFFFFF, "--mode", error);
    if (!mode) return false;
    const auto pids = ParseNumberList(args.pids, kMaxPid, "--pids", error);
    if (!pids) return false;
    args.modeValue = static_cast<ULONG>(*mode);
    args.pidValues.assign(pids->begin(), pids->end());
    return true;
}

// What the stick's filter lets through: every PID, or the PIDs of its active entries.
std::vector<uint16_t> PassedPids(const sim::PidFilter& filter) {
    std::vector<uint16_t> pids;
    for (size_t i = 0; i < filter.ActiveEntries(); ++i)
        pids.push_back(
            static_cast<uint16_t>((filter.Register(static_cast<uint8_t>(2 * i)) |
                                   filter.Register(static_cast<uint8_t>(2 * i + 1)) << 8) &
                                  kMaxPid));
    return pids;
}

StepResult RunPid(ReceiverRun& receiver, const PidArguments& args) {
    Session& session = receiver.GetSession();
    receiver.BeginBridgeLog();
    StreamReadProbe reads(session.Bus(), receiver.StreamEndpoint());
    // A restart submits its reads before the request returns.
    const NTSTATUS status = receiver.Private().LoadPids(args.modeValue, args.pidValues);
    const std::vector<Bytes> frames = receiver.BridgeLog();
    const std::vector<uint16_t> passed = PassedPids(session.Firmware()->Pids());

    StepResult result;
    if (receiver.Options().json) {
        nlohmann::json frameTexts = nlohmann::json::array();
        for (const Bytes& frame : frames) frameTexts.push_back(HexText(frame));
        result.json = {
            {"mode", args.modeValue},
            {"pids", args.pidValues},
            {"status", StatusName(status)},
            {"frames", frameTexts},
            {"streamReadsSubmitted", reads.Submitted()},
            {"stickPasses", passed.empty() ? nlohmann::json("all") : nlohmann::json(passed)}};
    } else {
        std::printf("\npid: mode %lu, %zu entr%s", static_cast<unsigned long>(args.modeValue),
                    args.pidValues.size(), args.pidValues.size() == 1 ? "y" : "ies");
        for (uint16_t pid : args.pidValues) std::printf(" %s", Hex16(pid).c_str());
        std::printf(": %s\n", StatusName(status).c_str());
        std::printf("  bridge frames:%s\n", frames.empty() ? " none" : "");
        for (const Bytes& frame : frames) std::printf("    %s\n", HexText(frame).c_str());
        std::printf("  stream: %s (%llu reads submitted)\n",
                    reads.Submitted() != 0 ? "restarted" : "not restarted",
                    static_cast<unsigned long long>(reads.Submitted()));
        std::printf("  the stick passes:");
        if (passed.empty()) std::printf(" every PID");
        for (uint16_t pid : passed) std::printf(" %s", Hex16(pid).c_str());
        std::printf("\n");
    }
    result.exitCode = NT_SUCCESS(status) ? 0 : 1;
    return result;
}

}  // namespace

void AddPidCommand(CLI::App& app, const GlobalOptions&, Steps& steps) {
    auto args = std::make_shared<PidArguments>();
    CLI::App* pid =
        app.add_subcommand("pid", "Load the bridge's PID filter (item 2) and restart the stream");
    pid->add_option("--mode", args->mode,
                    "filter mode (on the simulated stick 0 passes the listed PIDs, 2 the whole "
                    "stream, any other the first listed PID)")
        ->required();
    pid->add_option("--pids", args->pids,
                    "PIDs, e.g. 0x100,0x101 (none: the default table, PID 0x1FFF in mode 2)");
    pid->callback([&steps, args] {
        steps.push_back({"pid",
                         [args](std::string* error) { return CheckPid(*args, error); },
                         [args](ReceiverRun& receiver) { return RunPid(receiver, *args); },
                         {}});
    });
}

}  // namespace kvssim
