#pragma once
// Clock operations used inside the kernel emulation only.
#include <chrono>
#include <cstdint>
#include <optional>

#include "platform/host/clock.h"

namespace host {

void AdvanceVirtualTimeTo(LONGLONG ticks);
void RecordDelay(DelayKind kind, LONGLONG ticks);
// The earliest deadline of the timed waits under way on the virtual clock, if any (kept by the
// dispatcher).
std::optional<LONGLONG> EarliestTimedWaitDeadline();

// Wakes every blocked waiter to look at what it waits for again (dispatcher).
void NotifyWaiters();
// Progress reports (dispatcher): the bus reports each change that may end its work in progress
// or bring a parked request's moment (a request settled, completed or cancelled). Where waiters
// serve the bus (WaitersServeBus), waiters that watch the progress probe wake on the report
// instead of looking again after a real pause; elsewhere the report only counts, and waiters keep
// their pace, which leaves the bus's threads the time between two looks to go on.
void ReportBusProgress();
uint64_t ProgressReports();
// Blocks until a report later than the count `seen` (ProgressReports) or until `limit` passes;
// returns whether a report came.
bool WaitForProgress(uint64_t seen, std::chrono::nanoseconds limit);

}  // namespace host
