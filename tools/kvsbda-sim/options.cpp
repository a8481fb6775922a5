#include "options.h"

#include <cctype>
#include <cstdio>

namespace kvssim {

namespace {

std::optional<uint16_t> ParseHex16(const std::string& text) {
    if (text.empty() || text.size() > 4) return std::nullopt;
    unsigned value = 0;
    for (char c : text) {
        if (!std::isxdigit(static_cast<unsigned char>(c))) return std::nullopt;
        value = value * 16 +
                static_cast<unsigned>(std::isdigit(static_cast<unsigned char>(c))
                                          ? c - '0'
                                          : std::tolower(static_cast<unsigned char>(c)) - 'a' + 10);
    }
    return static_cast<uint16_t>(value);
}

}  // namespace

std::optional<StickId> ParseStickId(const std::string& text) {
    const size_t colon = text.find(':');
    if (colon == std::string::npos) return std::nullopt;
    std::optional<uint16_t> vendor = ParseHex16(text.substr(0, colon));
    std::optional<uint16_t> product = ParseHex16(text.substr(colon + 1));
    if (!vendor || !product) return std::nullopt;
    return StickId{*vendor, *product};
}

std::optional<uint32_t> ParseOneIn(const std::string& text) {
    if (text.size() < 3 || text.compare(0, 2, "1/") != 0 || text.size() > 9) return std::nullopt;
    uint32_t value = 0;
    for (size_t i = 2; i < text.size(); ++i) {
        if (!std::isdigit(static_cast<unsigned char>(text[i]))) return std::nullopt;
        value = value * 10 + static_cast<uint32_t>(text[i] - '0');
    }
    if (value == 0 || value > 1000000) return std::nullopt;
    return value;
}

std::string FormatStickId(const StickId& id) {
    char text[16];
    std::snprintf(text, sizeof text, "%04x:%04x", id.vendorId, id.productId);
    return text;
}

}  // namespace kvssim
