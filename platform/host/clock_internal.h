#pragma once
// Clock operations used inside the kernel emulation only.
#include <optional>

#include "platform/host/clock.h"

namespace host {

void AdvanceVirtualTimeTo(LONGLONG ticks);
void RecordDelay(DelayKind kind, LONGLONG ticks);
// The earliest deadline of the timed waits under way on the virtual clock, if any (kept by the
// dispatcher).
std::optional<LONGLONG> EarliestTimedWaitDeadline();

}  // namespace host
