#pragma once
// Debug output conventions: every message starts with the driver prefix; error messages carry
// the error marker as their second argument. The marker's brackets are GB2312 bytes.
#include "platform/kernel.h"

constexpr const char kDebugPrefix[] = "KVS.BDA_DEBUG: ";
constexpr const char kErrorMarker[] = "\xA1\xBE" "ERROR" "\xA1\xBF" " ";

// Non-fatal assertion that names the source file the way the driver's diagnostics do (a short
// source name, not a path). Execution continues after it.
#define KVS_ASSERT_AT(expression, sourceName, line)                                    \
    do {                                                                               \
        if (!(expression)) RtlAssert((PVOID) #expression, (PVOID)(sourceName), (line), nullptr); \
    } while (0)
