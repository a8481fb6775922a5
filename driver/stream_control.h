#pragma once
// Small stream-control operations shared by pin state changes, power transitions, tuning and
// the private property set, and the driver's millisecond sleep.
#include "platform/ks.h"

void StartStreamLocked(PKSDEVICE device);
void StopStream(PKSDEVICE device);
void StartInterruptReader(PKSDEVICE device);
// Sleeps the calling thread as a relative wait of milliseconds x 10,000 units of 100 ns.
void DelayMilliseconds(LONG milliseconds);
