#pragma once
// Each kvsbda-sim subcommand registers itself on the application; its callback runs the command
// and stores the process exit code.
#include <CLI/CLI.hpp>

#include "options.h"

namespace kvssim {

void AddPlugCommand(CLI::App& app, const GlobalOptions& options, int& exitCode);
void AddTuneCommand(CLI::App& app, const GlobalOptions& options, int& exitCode);
void AddWatchCommand(CLI::App& app, const GlobalOptions& options, int& exitCode);
void AddScanCommand(CLI::App& app, const GlobalOptions& options, int& exitCode);

}  // namespace kvssim
