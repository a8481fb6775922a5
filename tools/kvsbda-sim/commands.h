#pragma once
// Each kvsbda-sim subcommand registers itself on the application. A command line may hold several
// commands joined by the word `then`; each command adds one step, and the steps run in order on
// one receiver: the driver loaded once, the stick plugged and started once, one application with
// the receiver filter and its pins open (so that a message sent by one command can be received
// by the next, or a PID table loaded by one shapes the stream the next watches).
#include <CLI/CLI.hpp>
#include <functional>
#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "options.h"

namespace kvssim {

class ReceiverRun;

struct StepResult {
    int exitCode = 0;
    nlohmann::json json = nlohmann::json::object();  // the command's facts for --json
};

struct Step {
    std::string name;
    // Checks the arguments before anything runs; false with `error` set (exit status 2).
    std::function<bool(std::string* error)> check;
    // Runs the command on the chain's receiver.
    std::function<StepResult(ReceiverRun&)> run;
    // A command that brings its own stick and runs only alone (plug): its whole run.
    std::function<int()> alone;
};

using Steps = std::vector<Step>;

void AddPlugCommand(CLI::App& app, const GlobalOptions& options, Steps& steps);
void AddTuneCommand(CLI::App& app, const GlobalOptions& options, Steps& steps);
void AddWatchCommand(CLI::App& app, const GlobalOptions& options, Steps& steps);
void AddScanCommand(CLI::App& app, const GlobalOptions& options, Steps& steps);
// Through the receiver's private property set.
void AddKeysCommand(CLI::App& app, const GlobalOptions& options, Steps& steps);
void AddPidCommand(CLI::App& app, const GlobalOptions& options, Steps& steps);
void AddI2cCommand(CLI::App& app, const GlobalOptions& options, Steps& steps);
void AddRawCommand(CLI::App& app, const GlobalOptions& options, Steps& steps);
void AddStatusCommand(CLI::App& app, const GlobalOptions& options, Steps& steps);
void AddVersionCommand(CLI::App& app, const GlobalOptions& options, Steps& steps);
void AddXtuneCommand(CLI::App& app, const GlobalOptions& options, Steps& steps);
void AddTuneParamsCommand(CLI::App& app, const GlobalOptions& options, Steps& steps);
void AddMessageCommand(CLI::App& app, const GlobalOptions& options, Steps& steps);
// The template topology the network provider learned from the filter.
void AddGraphCommand(CLI::App& app, const GlobalOptions& options, Steps& steps);

// Runs the steps of a command line and returns the exit status: the first failing command's, or
// 1 when driver pool was left after removal, else 0.
int RunSteps(const GlobalOptions& options, const Steps& steps);

}  // namespace kvssim
