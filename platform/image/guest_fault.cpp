#include "platform/image/guest_fault.h"

#include <cxxabi.h>
#include <execinfo.h>

#include <cstdio>
#include <cstdlib>

namespace image {
namespace {

constexpr int kMaxHostFrames = 48;

std::string Hex(uint64_t value) {
    char text[24];
    std::snprintf(text, sizeof text, "0x%llx", static_cast<unsigned long long>(value));
    return text;
}

}  // namespace

std::vector<std::string> HostCallStack() {
    void* frames[kMaxHostFrames];
    const int count = backtrace(frames, kMaxHostFrames);
    char** names = backtrace_symbols(frames, count);
    std::vector<std::string> stack;
    for (int i = 1; i < count; ++i) {
        std::string line = names != nullptr ? names[i] : Hex(reinterpret_cast<uint64_t>(frames[i]));
        const size_t open = line.find('(');
        const size_t plus = line.find('+', open);
        if (open != std::string::npos && plus != std::string::npos && plus > open + 1) {
            int status = 0;
            char* readable = abi::__cxa_demangle(line.substr(open + 1, plus - open - 1).c_str(),
                                                 nullptr, nullptr, &status);
            if (readable != nullptr) {
                line = line.substr(0, open + 1) + readable + line.substr(plus);
                std::free(readable);
            }
        }
        stack.push_back(line);
    }
    std::free(names);
    return stack;
}

std::string GuestFault::Report() const {
    std::string text = "guest fault: " + kind + "\n  " + description + "\n  at " + Hex(address);
    if (!function.empty()) text += " in " + function;
    text += "\n";
    if (!guestStack.empty()) {
        text += "  guest return addresses on the stack:\n";
        for (const std::string& entry : guestStack) text += "    " + entry + "\n";
    }
    if (!hostStack.empty()) {
        text += "  host call stack:\n";
        for (const std::string& entry : hostStack) text += "    " + entry + "\n";
    }
    return text;
}

}  // namespace image
