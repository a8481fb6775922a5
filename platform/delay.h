#pragma once
// The driver's millisecond sleep: a relative wait of milliseconds x 10,000 units of 100 ns, at
// passive level. Every layer that has to wait for the hardware sleeps through this.
#include "platform/kernel.h"

inline void DelayMilliseconds(LONG milliseconds) {
    LARGE_INTEGER interval;
    interval.QuadPart = -static_cast<LONGLONG>(milliseconds) * 10000;
    KeDelayExecutionThread(KernelMode, FALSE, &interval);
}
