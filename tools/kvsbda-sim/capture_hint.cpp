// The tshark line for a written capture.
#include "capture_hint.h"

#include <cstdio>

namespace kvssim {
namespace {

// Where the dissector lives in the source tree this program was built from.
constexpr const char* kDissectorPath = KVSBDA_DISSECTOR_PATH;

// Quotes a path for a POSIX shell when it holds anything but plain characters.
std::string ShellWord(const std::string& text) {
    bool plain = !text.empty();
    for (char c : text) {
        const bool safe = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') ||
                          (c >= '0' && c <= '9') || c == '/' || c == '.' || c == '_' || c == '-' ||
                          c == ':' || c == '+';
        plain = plain && safe;
    }
    if (plain) return text;
    std::string quoted = "'";
    for (char c : text) quoted += c == '\'' ? std::string("'\\''") : std::string(1, c);
    return quoted + "'";
}

}  // namespace

std::string CaptureReadCommand(const std::string& pcapPath) {
    if (pcapPath.empty()) return {};
    return "tshark -X " + ShellWord(std::string("lua_script:") + kDissectorPath) + " -r " +
           ShellWord(pcapPath) + " -Y kvsbda";
}

void PrintCaptureHint(const std::string& pcapPath) {
    if (pcapPath.empty()) return;
    std::printf("  capture: %s\n  read it with: %s\n", pcapPath.c_str(),
                CaptureReadCommand(pcapPath).c_str());
}

}  // namespace kvssim
