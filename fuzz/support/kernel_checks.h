#pragma once
// Per-input hygiene of the kernel emulation. Every target clears the recorded kernel state before
// an input and, after it, turns anything the real kernel would punish (a kernel error, an IRQL
// violation, a failed assertion) or any pool block still outstanding into an abort, so that the
// fuzzer keeps the input as a finding.
#include <map>
#include <string>

#include "platform/host/pool_accounting.h"

namespace fuzz {

// Clears kernel errors, IRQL violations, debug lines, assertions and pool accounting.
void BeginInput();

// Aborts with a description when the input left a kernel error, an IRQL violation, a failed
// assertion or an outstanding pool block of any tag.
void EndInput(const char* target);

// The same around an input on a receiver that stays started across inputs: nothing of the
// running system is forgotten (pool counts, filter factories, device interfaces), and at the end
// the pool must be back to `poolBefore` for every tag.
void BeginInputOnRunningSystem();
void EndInputOnRunningSystem(const char* target,
                             const std::map<ULONG, host::PoolUsage>& poolBefore);

// Reports a broken expectation of a target and aborts.
[[noreturn]] void Fail(const char* target, const std::string& what);

// Fail() unless `condition` holds.
inline void Expect(bool condition, const char* target, const char* what) {
    if (!condition) Fail(target, what);
}

}  // namespace fuzz
