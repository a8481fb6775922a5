#pragma once
// The simulated air in words and as JSON, for the commands that tune.
#include <nlohmann/json.hpp>
#include <string>

#include "sim/air.h"

namespace kvssim {

nlohmann::json AirJson(const sim::Air& air);
// One indented line per transmitter, or a note that the air is empty.
std::string AirText(const sim::Air& air, bool fromCommandLine);

}  // namespace kvssim
