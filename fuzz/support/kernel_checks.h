#pragma once
// Per-input hygiene of the kernel emulation. Every target clears the recorded kernel state before
// an input and, after it, turns anything the real kernel would punish (a kernel error, an IRQL
// violation, a failed assertion) or any pool block still outstanding into an abort, so that the
// fuzzer keeps the input as a finding.
#include <string>

namespace fuzz {

// Clears kernel errors, IRQL violations, debug lines, assertions and pool accounting.
void BeginInput();

// Aborts with a description when the input left a kernel error, an IRQL violation, a failed
// assertion or an outstanding pool block of any tag.
void EndInput(const char* target);

// Reports a broken expectation of a target and aborts.
[[noreturn]] void Fail(const char* target, const std::string& what);

// Fail() unless `condition` holds.
inline void Expect(bool condition, const char* target, const char* what) {
    if (!condition) Fail(target, what);
}

}  // namespace fuzz
