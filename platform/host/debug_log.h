#pragma once
// Captured kernel debugger output (DbgPrint) and failed assertions (RtlAssert).
#include <functional>
#include <string>
#include <vector>

namespace host {

// The text of every DbgPrint call, exactly as formatted, one entry per call.
std::vector<std::string> DebugLines();
void ClearDebugLines();
// Called with each DbgPrint text as it is printed (e.g. kvsbda-sim prints it live); also gets a
// text line for each failed assertion. Empty function = no sink. Called without any lock held.
void SetDebugSink(std::function<void(const std::string&)> sink);

struct AssertionRecord {
    std::string expression;
    std::string file;
    unsigned line;
    std::string message;
};
std::vector<AssertionRecord> Assertions();
void ClearAssertions();

// Converts the GB2312 bytes of the error marker's brackets (A1 BE and A1 BF) to the UTF-8 of
// U+3010 and U+3011; every other byte is left as it is.
std::string Gb2312ToUtf8(const std::string& text);

}  // namespace host
