// Transmitters of the simulated air, the default channel list and the --air text form.
#include "sim/air.h"

#include <cerrno>
#include <cstdlib>
#include <sstream>

namespace sim {

namespace {

struct StepSettings {
    uint8_t searchModeBits;
    bool searchOption;
};
constexpr StepSettings kSteps[] = {
    {0x02, false}, {0x02, true}, {0x00, false}, {0x00, true}, {0x01, true}};
constexpr unsigned kStepCount = sizeof(kSteps) / sizeof(kSteps[0]);

Transmitter MakeTransmitter(const char* name, uint32_t kHz, uint16_t strength, uint8_t quality,
                            unsigned step, bool inversion, uint16_t program, uint16_t pid) {
    Transmitter t;
    t.name = name;
    t.frequencyKHz = kHz;
    t.strength = strength;
    t.quality = quality;
    t.mode = SignalModeOfStep(step);
    t.mode.inversion = inversion;
    t.programNumber = program;
    t.videoPid = pid;
    t.streamVariant = kHz;
    t.lockValue = static_cast<uint8_t>(0x40 + (kHz / 8000) % 0x40);
    return t;
}

bool ParseNumber(const std::string& text, unsigned long& value) {
    if (text.empty()) return false;
    char* end = nullptr;
    value = std::strtoul(text.c_str(), &end, 0);
    return end != nullptr && *end == '\0';
}

bool ParseCount(const std::string& text, unsigned long long& value) {
    if (text.empty() || text[0] == '-') return false;
    char* end = nullptr;
    errno = 0;
    value = std::strtoull(text.c_str(), &end, 0);
    return errno == 0 && end != nullptr && *end == '\0';
}

}  // namespace

SignalMode SignalModeOfStep(unsigned step) {
    SignalMode mode;
    if (step < kStepCount) {
        mode.searchModeBits = kSteps[step].searchModeBits;
        mode.searchOption = kSteps[step].searchOption;
    }
    return mode;
}

int StepOfSettings(uint8_t searchModeBits, bool searchOption) {
    for (unsigned i = 0; i < kStepCount; ++i) {
        if (kSteps[i].searchModeBits == (searchModeBits & 0x03) &&
            kSteps[i].searchOption == searchOption) {
            return static_cast<int>(i);
        }
    }
    return -1;
}

Air Air::Default() {
    Air air;
    // Strong channel that locks with the first settings tried.
    air.transmitters.push_back(MakeTransmitter("DS-13", 474000, 0x00C8, 40, 0, false, 1, 0x100));
    // Locks on the second settings, after the inversion has been flipped three times.
    air.transmitters.push_back(MakeTransmitter("DS-20", 530000, 0x0150, 90, 2, true, 2, 0x200));
    // Locks on the last settings.
    air.transmitters.push_back(MakeTransmitter("DS-26", 618000, 0x1F04, 150, 4, false, 3, 0x300));
    // Weak channel: first settings, but only with the inversion flipped once.
    air.transmitters.push_back(MakeTransmitter("DS-43", 754000, 0x01A0, 200, 0, true, 4, 0x400));
    return air;
}

bool Air::Parse(const std::string& text, Air& air, std::string& error) {
    air.transmitters.clear();
    std::stringstream entries(text);
    std::string entry;
    while (std::getline(entries, entry, ';')) {
        if (entry.empty()) continue;
        std::stringstream fields(entry);
        std::string field;
        std::getline(fields, field, ',');
        unsigned long kHz = 0;
        if (!ParseNumber(field, kHz) || kHz == 0 || kHz > 0xFFFFFFFFul / 1000) {
            error = "bad frequency '" + field + "'";
            return false;
        }
        Transmitter t =
            MakeTransmitter("", static_cast<uint32_t>(kHz), 0x00C8, 40, 0, false,
                            static_cast<uint16_t>(air.transmitters.size() + 1),
                            static_cast<uint16_t>(0x100 * (air.transmitters.size() + 1)));
        t.name = "TX" + std::to_string(air.transmitters.size() + 1);
        bool inversion = false;
        unsigned step = 0;
        while (std::getline(fields, field, ',')) {
            const auto eq = field.find('=');
            if (eq == std::string::npos) {
                error = "expected key=value, got '" + field + "'";
                return false;
            }
            const std::string key = field.substr(0, eq);
            const std::string valueText = field.substr(eq + 1);
            if (key == "name") {
                t.name = valueText;
                continue;
            }
            if (key == "rate" || key == "packets") {
                unsigned long long count = 0;
                if (!ParseCount(valueText, count)) {
                    error = "bad value for '" + key + "'";
                    return false;
                }
                if (key == "rate") t.bitsPerSecond = count;
                if (key == "packets") t.packets = count;
                continue;
            }
            unsigned long value = 0;
            if (!ParseNumber(valueText, value)) {
                error = "bad value for '" + key + "'";
                return false;
            }
            if (key == "strength" && value <= 0xFFFF) {
                t.strength = static_cast<uint16_t>(value);
            } else if (key == "quality" && value <= 0xFF) {
                t.quality = static_cast<uint8_t>(value);
            } else if (key == "mode" && value < kStepCount) {
                step = static_cast<unsigned>(value);
            } else if (key == "inversion" && value <= 1) {
                inversion = value != 0;
            } else if (key == "detect_ms" && value <= 60000) {
                t.detectMs = static_cast<uint32_t>(value);
            } else if (key == "lock_ms" && value <= 60000) {
                t.lockMs = static_cast<uint32_t>(value);
            } else if (key == "pid" && value >= 0x20 && value < 0x1FFF) {
                t.videoPid = static_cast<uint16_t>(value);
            } else if (key == "program" && value >= 1 && value <= 0xFFFF) {
                t.programNumber = static_cast<uint16_t>(value);
            } else {
                error = "unknown key or value out of range: '" + field + "'";
                return false;
            }
        }
        t.mode = SignalModeOfStep(step);
        t.mode.inversion = inversion;
        air.transmitters.push_back(t);
    }
    return true;
}

const Transmitter* Air::Find(uint64_t tunedHz) const {
    if (tunedHz == 0) return nullptr;
    const uint64_t tolerance = uint64_t{toleranceKHz} * 1000;
    for (const Transmitter& t : transmitters) {
        const uint64_t centre = uint64_t{t.frequencyKHz} * 1000;
        const uint64_t distance = tunedHz > centre ? tunedHz - centre : centre - tunedHz;
        if (distance <= tolerance) return &t;
    }
    return nullptr;
}

std::string Air::Describe() const {
    std::ostringstream out;
    for (const Transmitter& t : transmitters) {
        out << t.frequencyKHz << " kHz  " << t.name << "  strength 0x" << std::hex << t.strength
            << std::dec << "  quality " << unsigned{t.quality} << "  mode "
            << StepOfSettings(t.mode.searchModeBits, t.mode.searchOption)
            << (t.mode.inversion ? " inverted" : "") << "  program " << t.programNumber << " pid 0x"
            << std::hex << t.videoPid << std::dec;
        if (t.bitsPerSecond) {
            if (*t.bitsPerSecond == 0)
                out << "  unpaced";
            else
                out << "  " << *t.bitsPerSecond << " bit/s";
        }
        if (t.packets != 0) out << "  " << t.packets << " packets";
        out << "\n";
    }
    return out.str();
}

}  // namespace sim
