// kvsbda-sim status and version: the compact status (id 10: lock flag, signal strength and
// quality) and the version record (id 0) of the private property set.
#include <cstdio>

#include "commands.h"
#include "private_args.h"
#include "receiver_run.h"

namespace kvssim {

namespace {

StepResult RunStatus(ReceiverRun& receiver) {
    host::PrivateStatus status;
    const NTSTATUS result = receiver.Private().Status(&status);
    StepResult step;
    if (receiver.Options().json) {
        step.json = {{"status", StatusName(result)},
                     {"locked", status.locked},
                     {"strength", status.strength},
                     {"quality", status.quality}};
    } else {
        std::printf("\nstatus: %s\n  locked %u, strength %u, quality %u\n",
                    StatusName(result).c_str(), status.locked, status.strength, status.quality);
    }
    step.exitCode = NT_SUCCESS(result) ? 0 : 1;
    return step;
}

StepResult RunVersion(ReceiverRun& receiver) {
    ULONG length = 0, version = 0;
    const NTSTATUS result = receiver.Private().Version(&length, &version);
    StepResult step;
    if (receiver.Options().json) {
        step.json = {{"status", StatusName(result)}, {"length", length}, {"version", version}};
    } else {
        std::printf("\nversion: %s\n  version %lu (record of %lu bytes after its length word)\n",
                    StatusName(result).c_str(), static_cast<unsigned long>(version),
                    static_cast<unsigned long>(length));
    }
    step.exitCode = NT_SUCCESS(result) ? 0 : 1;
    return step;
}

}  // namespace

void AddStatusCommand(CLI::App& app, const GlobalOptions&, Steps& steps) {
    CLI::App* status = app.add_subcommand("status", "Lock, signal strength and quality (item 10)");
    status->callback([&steps] { steps.push_back({"status", {}, RunStatus, {}}); });
}

void AddVersionCommand(CLI::App& app, const GlobalOptions&, Steps& steps) {
    CLI::App* version = app.add_subcommand("version", "The driver's version record (item 0)");
    version->callback([&steps] { steps.push_back({"version", {}, RunVersion, {}}); });
}

}  // namespace kvssim
