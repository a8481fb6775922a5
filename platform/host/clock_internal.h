#pragma once
// Clock operations used inside the kernel emulation only.
#include "platform/host/clock.h"

namespace host {

void AdvanceVirtualTimeTo(LONGLONG ticks);
void RecordDelay(DelayKind kind, LONGLONG ticks);

}  // namespace host
