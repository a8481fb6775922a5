#include "private_args.h"

#include <cctype>
#include <cstdio>

namespace kvssim {

std::optional<uint64_t> ParseNumber(const std::string& text, uint64_t max, const char* option,
                                    std::string* error) {
    std::string digits = text;
    int base = 10;
    if (digits.size() > 2 && digits[0] == '0' && (digits[1] == 'x' || digits[1] == 'X')) {
        digits = digits.substr(2);
        base = 16;
    }
    uint64_t value = 0;
    bool any = false;
    for (char c : digits) {
        const int digit = std::isdigit(static_cast<unsigned char>(c)) ? c - '0'
                          : base == 16 && std::isxdigit(static_cast<unsigned char>(c))
                              ? std::tolower(static_cast<unsigned char>(c)) - 'a' + 10
                              : -1;
        if (digit < 0) {
            any = false;
            break;
        }
        value = value * static_cast<uint64_t>(base) + static_cast<uint64_t>(digit);
        any = true;
        if (value > max) break;
    }
    if (!any || value > max) {
        *error = std::string(option) + " wants a number from 0 to " + std::to_string(max) +
                 " (decimal or 0x-hex), got \"" + text + "\"";
        return std::nullopt;
    }
    return value;
}

std::optional<std::vector<uint64_t>> ParseNumberList(const std::string& text, uint64_t max,
                                                     const char* option, std::string* error) {
    std::vector<uint64_t> values;
    size_t at = 0;
    while (at < text.size()) {
        const size_t comma = text.find(',', at);
        const std::string item = text.substr(at, comma == std::string::npos ? comma : comma - at);
        const std::optional<uint64_t> value = ParseNumber(item, max, option, error);
        if (!value) return std::nullopt;
        values.push_back(*value);
        if (comma == std::string::npos) break;
        at = comma + 1;
    }
    return values;
}

std::optional<Bytes> ParseHexBytes(const std::string& text, const char* option,
                                   std::string* error) {
    std::string digits;
    for (char c : text) {
        if (c == ' ' || c == ':' || c == ',') continue;
        if (!std::isxdigit(static_cast<unsigned char>(c))) {
            *error =
                std::string(option) + " wants bytes in hex (e.g. 0102AB), got \"" + text + "\"";
            return std::nullopt;
        }
        digits.push_back(c);
    }
    if (digits.size() % 2 != 0) {
        *error = std::string(option) + " has an odd number of hex digits";
        return std::nullopt;
    }
    Bytes bytes;
    for (size_t i = 0; i < digits.size(); i += 2)
        bytes.push_back(static_cast<uint8_t>(std::stoul(digits.substr(i, 2), nullptr, 16)));
    return bytes;
}

std::string HexText(const Bytes& bytes, bool spaced) {
    std::string text;
    char byte[4];
    for (size_t i = 0; i < bytes.size(); ++i) {
        std::snprintf(byte, sizeof byte, "%02X", bytes[i]);
        if (spaced && i != 0) text += ' ';
        text += byte;
    }
    return text;
}

std::string Hex16(uint32_t value) {
    char text[16];
    std::snprintf(text, sizeof text, "0x%04X", value);
    return text;
}

std::string StatusName(long status) {
    char text[16];
    std::snprintf(text, sizeof text, "0x%08X", static_cast<unsigned>(status));
    return text;
}

StreamReadProbe::StreamReadProbe(host::UsbBus& bus, UCHAR endpoint)
    : bus_(bus), endpoint_(endpoint) {
    bus_.AddObserver(this);
}

StreamReadProbe::~StreamReadProbe() {
    bus_.RemoveObserver(this);
}

void StreamReadProbe::RequestSubmitted(const host::UsbTrafficRecord& record) {
    if (record.endpoint.address == endpoint_ &&
        (record.function == URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER ||
         record.function == URB_FUNCTION_ISOCH_TRANSFER))
        ++submitted_;
}

}  // namespace kvssim
