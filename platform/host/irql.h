#pragma once
// Per-thread IRQL tracking. A service called outside its IRQL range (waiting, sleeping or
// acquiring a mutex at DISPATCH_LEVEL, ...) is a bug check (kernel_errors.h); under a
// ScopedViolationCapture it is recorded here and the call returns without blocking (a wait
// behaves as a poll).
#include <string>
#include <vector>

#include "platform/kernel.h"

namespace host {

struct IrqlViolation {
    KIRQL irql;
    std::string description;
};
std::vector<IrqlViolation> IrqlViolations();
void ClearIrqlViolations();
void RecordIrqlViolation(const std::string& description);

// Raises the calling thread to `level` for the scope (e.g. DISPATCH_LEVEL around completion
// routines) and restores the previous level.
class ScopedIrql {
  public:
    explicit ScopedIrql(KIRQL level) { KeRaiseIrql(level, &previous_); }
    ~ScopedIrql() { KeLowerIrql(previous_); }
    ScopedIrql(const ScopedIrql&) = delete;
    ScopedIrql& operator=(const ScopedIrql&) = delete;

  private:
    KIRQL previous_ = PASSIVE_LEVEL;
};

// Depth of KeEnterCriticalRegion nesting of the calling thread.
int CriticalRegionDepth();

}  // namespace host
