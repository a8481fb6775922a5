// DbgPrint and RtlAssert: captured for tests and optionally passed to a live sink.
#include "platform/host/debug_log.h"

#include <cstdio>
#include <memory>
#include <mutex>

#include "platform/host/service_rules.h"
#include "platform/kernel.h"

namespace host {
namespace {

using Sink = std::function<void(const std::string&)>;

struct DebugLog {
    std::mutex lock;
    std::vector<std::string> lines;
    std::vector<AssertionRecord> assertions;
    std::shared_ptr<const Sink> sink;
};

DebugLog& Log() {
    static DebugLog* log = new DebugLog;  // never destroyed: threads may print during exit
    return *log;
}

std::shared_ptr<const Sink> CurrentSink() {
    std::lock_guard guard(Log().lock);
    return Log().sink;
}

}  // namespace

std::vector<std::string> DebugLines() {
    std::lock_guard guard(Log().lock);
    return Log().lines;
}

void ClearDebugLines() {
    std::lock_guard guard(Log().lock);
    Log().lines.clear();
}

void SetDebugSink(std::function<void(const std::string&)> sink) {
    std::lock_guard guard(Log().lock);
    Log().sink = sink ? std::make_shared<const Sink>(std::move(sink)) : nullptr;
}

std::vector<AssertionRecord> Assertions() {
    std::lock_guard guard(Log().lock);
    return Log().assertions;
}

void ClearAssertions() {
    std::lock_guard guard(Log().lock);
    Log().assertions.clear();
}

std::string Gb2312ToUtf8(const std::string& text) {
    std::string result;
    result.reserve(text.size() + 8);
    for (size_t i = 0; i < text.size(); ++i) {
        if (static_cast<unsigned char>(text[i]) == 0xA1 && i + 1 < text.size()) {
            unsigned char second = static_cast<unsigned char>(text[i + 1]);
            if (second == 0xBE || second == 0xBF) {
                result += second == 0xBE ? "\xE3\x80\x90" : "\xE3\x80\x91";
                ++i;
                continue;
            }
        }
        result += text[i];
    }
    return result;
}

}  // namespace host

ULONG DbgPrint(PCSTR format, ...) {
    static const host::ServiceRule& rule = host::RuleOf("DbgPrint");
    host::CheckServiceIrql(rule);
    va_list arguments;
    va_start(arguments, format);
    va_list copy;
    va_copy(copy, arguments);
    int length = std::vsnprintf(nullptr, 0, format, copy);
    va_end(copy);
    std::string text;
    if (length > 0) {
        text.resize(static_cast<size_t>(length));
        std::vsnprintf(text.data(), text.size() + 1, format, arguments);
    }
    va_end(arguments);
    {
        std::lock_guard guard(host::Log().lock);
        host::Log().lines.push_back(text);
    }
    if (auto sink = host::CurrentSink()) (*sink)(text);
    return STATUS_SUCCESS;
}

void RtlAssert(PVOID failedAssertion, PVOID fileName, ULONG lineNumber, PCHAR message) {
    static const host::ServiceRule& rule = host::RuleOf("RtlAssert");
    host::CheckServiceIrql(rule);
    auto text = [](PVOID p) {
        return p ? std::string(static_cast<const char*>(p)) : std::string();
    };
    host::AssertionRecord record{text(failedAssertion), text(fileName), lineNumber, text(message)};
    {
        std::lock_guard guard(host::Log().lock);
        host::Log().assertions.push_back(record);
    }
    if (auto sink = host::CurrentSink())
        (*sink)("*** Assertion failed: " + record.message + record.expression +
                "\n***   Source File: " + record.file + ", line " + std::to_string(record.line) +
                "\n");
}
