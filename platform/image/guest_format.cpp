#include "platform/image/guest_format.h"

#include <cstdint>
#include <cstdio>
#include <cstring>

namespace image {
namespace {

// Longest string read through a guest pointer, against a missing terminator.
constexpr size_t kMaxStringBytes = 4096;

enum class Width { Default, Byte, Short, Long, LongLong, Wide };

std::string NarrowOfWide(const uint16_t* text, size_t limit) {
    std::string out;
    for (size_t i = 0; i < limit && text[i] != 0; ++i)
        out.push_back(text[i] < 0x80 ? static_cast<char>(text[i]) : '?');
    return out;
}

std::string CountedNarrow(const char* text, size_t bytes) {
    return std::string(text, strnlen(text, std::min(bytes, kMaxStringBytes)));
}

}  // namespace

std::string FormatGuestPrint(const char* format, const GuestCall& call, size_t firstArgument) {
    std::string out;
    size_t next = firstArgument;
    auto take = [&]() { return call.Word(next++); };
    for (const char* p = format; *p != '\0' && out.size() < kMaxStringBytes;) {
        if (*p != '%') {
            out.push_back(*p++);
            continue;
        }
        const char* start = p++;
        if (*p == '%') {
            out.push_back('%');
            ++p;
            continue;
        }
        std::string specifier = "%";
        while (*p != '\0' && std::strchr("-+ #0", *p) != nullptr) specifier.push_back(*p++);
        if (*p == '*') {
            specifier += std::to_string(static_cast<int32_t>(take()));
            ++p;
        } else {
            while (*p >= '0' && *p <= '9') specifier.push_back(*p++);
        }
        if (*p == '.') {
            specifier.push_back(*p++);
            if (*p == '*') {
                specifier += std::to_string(static_cast<int32_t>(take()));
                ++p;
            } else {
                while (*p >= '0' && *p <= '9') specifier.push_back(*p++);
            }
        }
        Width width = Width::Default;
        if (p[0] == 'h' && p[1] == 'h') {
            width = Width::Byte;
            p += 2;
        } else if (p[0] == 'h') {
            width = Width::Short;
            ++p;
        } else if (p[0] == 'l' && p[1] == 'l') {
            width = Width::LongLong;
            p += 2;
        } else if (p[0] == 'l' || p[0] == 'w') {
            width = p[0] == 'w' ? Width::Wide : Width::Long;
            ++p;
        } else if (p[0] == 'I' && p[1] == '6' && p[2] == '4') {
            width = Width::LongLong;
            p += 3;
        } else if (p[0] == 'I' && p[1] == '3' && p[2] == '2') {
            width = Width::Long;
            p += 3;
        } else if (p[0] == 'I' || p[0] == 'z') {
            width = Width::LongLong;
            ++p;
        }
        const char conversion = *p;
        if (conversion == '\0') {
            out.append(start);
            break;
        }
        ++p;
        char text[128];
        text[0] = '\0';
        switch (conversion) {
            case 'd':
            case 'i':
            case 'u':
            case 'x':
            case 'X':
            case 'o': {
                const uint64_t word = take();
                const bool isSigned = conversion == 'd' || conversion == 'i';
                int64_t value;
                if (width == Width::LongLong)
                    value = static_cast<int64_t>(word);
                else if (width == Width::Short)
                    value = isSigned ? int64_t{static_cast<int16_t>(word)} : (word & 0xFFFF);
                else if (width == Width::Byte)
                    value = isSigned ? int64_t{static_cast<int8_t>(word)} : (word & 0xFF);
                else
                    value = isSigned ? int64_t{static_cast<int32_t>(word)} : (word & 0xFFFFFFFF);
                specifier += "ll";
                specifier.push_back(conversion);
                std::snprintf(text, sizeof text, specifier.c_str(), static_cast<long long>(value));
                out += text;
                break;
            }
            case 'p': {
                std::snprintf(text, sizeof text, "%016llX",
                              static_cast<unsigned long long>(take()));
                out += text;
                break;
            }
            case 'c':
            case 'C': {
                const uint64_t word = take();
                const bool wide = conversion == 'C' || width == Width::Wide || width == Width::Long;
                const unsigned code = wide ? (word & 0xFFFF) : (word & 0xFF);
                out.push_back(code < 0x100 ? static_cast<char>(code) : '?');
                break;
            }
            case 's':
            case 'S': {
                const uint64_t word = take();
                const bool wide =
                    (conversion == 'S') != (width == Width::Wide || width == Width::Long);
                std::string value;
                if (word == 0)
                    value = "(null)";
                else if (wide)
                    value = NarrowOfWide(reinterpret_cast<const uint16_t*>(word), kMaxStringBytes);
                else
                    value = CountedNarrow(reinterpret_cast<const char*>(word), kMaxStringBytes);
                specifier.push_back('s');
                std::string formatted(value.size() + 256, '\0');
                const int length =
                    std::snprintf(formatted.data(), formatted.size(), specifier.c_str(), value.c_str());
                if (length > 0)
                    out.append(formatted.data(), std::min<size_t>(length, formatted.size() - 1));
                break;
            }
            case 'Z': {
                // A counted string: Length, MaximumLength, Buffer (UNICODE_STRING with w).
                const uint64_t word = take();
                if (word == 0) {
                    out += "(null)";
                    break;
                }
                uint16_t length;
                uint64_t buffer;
                std::memcpy(&length, reinterpret_cast<const void*>(word), sizeof length);
                std::memcpy(&buffer, reinterpret_cast<const uint8_t*>(word) + 8, sizeof buffer);
                if (buffer == 0)
                    out += "(null)";
                else if (width == Width::Wide)
                    out += NarrowOfWide(reinterpret_cast<const uint16_t*>(buffer), length / 2);
                else
                    out += std::string(reinterpret_cast<const char*>(buffer), length);
                break;
            }
            case 'n':
                (void)take();  // never writes through a guest pointer
                break;
            default:
                out.append(start, p);
                break;
        }
    }
    return out;
}

}  // namespace image
