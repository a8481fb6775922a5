#pragma once
// Small stream-control operations shared by pin state changes, power transitions, tuning and
// the private property set. (The millisecond sleep lives in the platform, below every layer.)
#include "platform/delay.h"
#include "platform/ks.h"

void StartStreamLocked(PKSDEVICE device);
void StopStream(PKSDEVICE device);
void StartInterruptReader(PKSDEVICE device);
