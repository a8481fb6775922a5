// Runs the steps of one command line on one receiver and reports them: each command prints its
// own lines as it runs; at the end come the closing line and the pool still allocated, or with
// --json one object (the command's facts alone, or a list of them for a chain).
#include <cstdio>
#include <iostream>

#include "capture_hint.h"
#include "commands.h"
#include "low_resources_report.h"
#include "receiver_run.h"

namespace kvssim {

int RunSteps(const GlobalOptions& options, const Steps& steps) {
    if (steps.empty()) return 0;
    for (const Step& step : steps) {
        std::string error;
        if (step.check && !step.check(&error)) {
            std::fprintf(stderr, "kvsbda-sim %s: %s\n", step.name.c_str(), error.c_str());
            return 2;
        }
        if (step.alone && steps.size() > 1) {
            std::fprintf(stderr, "kvsbda-sim %s: runs only alone, not in a chain of commands\n",
                         step.name.c_str());
            return 2;
        }
    }
    if (steps.front().alone) return steps.front().alone();

    ReceiverRun receiver(options);
    std::string error;
    if (const int status = receiver.Open(&error); status != 0) {
        if (status == 2) {
            std::fprintf(stderr, "kvsbda-sim: %s\n", error.c_str());
        } else {
            std::fprintf(stderr, "kvsbda-sim %s: %s\n", steps.front().name.c_str(), error.c_str());
        }
        return status;
    }
    int exitCode = 0;
    nlohmann::json results = nlohmann::json::array();
    for (const Step& step : steps) {
        StepResult result = step.run(receiver);
        receiver.CommandDone();
        result.json["command"] = step.name;
        result.json["exitCode"] = result.exitCode;
        results.push_back(std::move(result.json));
        if (result.exitCode != 0) {
            exitCode = result.exitCode;
            break;  // later commands build on this one
        }
    }
    const size_t poolBytes = receiver.Close();
    const LowResourcesReport lowResources = ReportLowResources(options, receiver.Debug());
    if (options.json) {
        nlohmann::json j = steps.size() == 1 ? results[0] : nlohmann::json{{"commands", results}};
        j["poolBytesOutstanding"] = poolBytes;
        if (!options.lowResources.empty()) j["lowResources"] = lowResources.json;
        j["debug"] = receiver.Debug();
        if (!options.pcapPath.empty())
            j["captureReadCommand"] = CaptureReadCommand(options.pcapPath);
        std::cout << j.dump(2) << std::endl;
    } else {
        std::printf("closed, stopped, removed, unplugged\n  pool bytes still allocated: %zu\n",
                    poolBytes);
        if (!options.lowResources.empty()) std::printf("%s", lowResources.text.c_str());
        PrintCaptureHint(options.pcapPath);
    }
    if (exitCode != 0) return exitCode;
    return poolBytes == 0 ? 0 : 1;
}

}  // namespace kvssim
