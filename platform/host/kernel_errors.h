#pragma once
// Misuse of kernel services stops the run, as the kernel (with Driver Verifier) stops the
// machine: freeing pool with the wrong tag, releasing a mutex or spin lock one does not own, a
// service called above its IRQL (service_rules.h), unbalanced critical regions, passing a packet
// down with no stack location left, completing a packet twice, a driver routine that returns at
// another IRQL or holding a lock it did not hold on entry, and the like. The report names what
// was done, the caller's IRQL and the caller (the host call stack; in an image run, the image
// function that called the import) and the process aborts.
//
// Tests that break a rule on purpose either run the broken call in a death test or hold a
// ScopedViolationCapture, under which violations are recorded (KernelErrors, IrqlViolations)
// and the call goes on as the emulation can best continue.
#include <string>
#include <vector>

namespace host {

// A bug check: reports `description` and aborts (records it under a ScopedViolationCapture).
void RecordKernelError(const std::string& description);

// What was recorded under captures since the last clear.
std::vector<std::string> KernelErrors();
void ClearKernelErrors();

// Test-only: while at least one lives (in any thread), violations are recorded instead of
// stopping the run.
class ScopedViolationCapture {
  public:
    ScopedViolationCapture();
    ~ScopedViolationCapture();
    ScopedViolationCapture(const ScopedViolationCapture&) = delete;
    ScopedViolationCapture& operator=(const ScopedViolationCapture&) = delete;
};
bool ViolationsCaptured();

// Names the caller a bug check on this thread reports, for the scope (an image run sets it to the
// image function that called the import being served).
// The description is made only when a bug check needs it: `describe(context)`.
class ScopedCaller {
  public:
    using Describer = std::string (*)(const void* context);
    ScopedCaller(Describer describe, const void* context);
    ~ScopedCaller();
    ScopedCaller(const ScopedCaller&) = delete;
    ScopedCaller& operator=(const ScopedCaller&) = delete;
    std::string Describe() const { return describe_(context_); }

  private:
    Describer describe_;
    const void* context_;
    const ScopedCaller* previous_;
};

// Reports a violation in words (with the IRQL and caller) and aborts, unless captured; returns
// when captured. Used by RecordKernelError and RecordIrqlViolation.
void BugCheck(const char* kind, const std::string& description);

}  // namespace host
