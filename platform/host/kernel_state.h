#pragma once
// Resets the recorded state of the kernel emulation between tests: kernel errors, IRQL
// violations, debug lines, assertions, recorded delays, device interfaces, filter factories,
// pool accounting and injected pool faults. Leaves the clock mode, the progress probe, the debug
// sink and the loaded driver as they are.
namespace host {

void ResetKernelState();

}  // namespace host
