#pragma once
// What the low resources simulation did over a run: the driver's allocations and request packets
// drawn for and failed, and the error lines the driver printed (how its failures reached the
// debug output).
#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "options.h"

namespace kvssim {

struct LowResourcesReport {
    std::string text;  // indented lines for the closing summary
    nlohmann::json json;
};

// `debug` holds the lines collected for --json; without --json the host's record of every
// debug line is read.
LowResourcesReport ReportLowResources(const GlobalOptions& options,
                                      const std::vector<std::string>& debug);

}  // namespace kvssim
