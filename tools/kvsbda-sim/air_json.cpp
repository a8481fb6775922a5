#include "air_json.h"

#include <sstream>

namespace kvssim {

nlohmann::json AirJson(const sim::Air& air) {
    nlohmann::json list = nlohmann::json::array();
    for (const sim::Transmitter& t : air.transmitters) {
        list.push_back({{"name", t.name},
                        {"frequencyKHz", t.frequencyKHz},
                        {"strength", t.strength},
                        {"quality", t.quality},
                        {"step", sim::StepOfSettings(t.mode.searchModeBits, t.mode.searchOption)},
                        {"inversion", t.mode.inversion},
                        {"program", t.programNumber},
                        {"videoPid", t.videoPid}});
    }
    return list;
}

std::string AirText(const sim::Air& air, bool fromCommandLine) {
    std::ostringstream out;
    out << "air (" << (fromCommandLine ? "--air" : "default") << "):";
    if (air.transmitters.empty()) return out.str() + " no transmitters\n";
    out << "\n";
    std::istringstream lines(air.Describe());
    for (std::string line; std::getline(lines, line);) out << "  " << line << "\n";
    return out.str();
}

}  // namespace kvssim
