#pragma once
// The module-wide lock that keeps tune sequences and tuner parking apart: the tuner model, the
// demodulator's registers and the current-device references are shared by every caller.
#include "platform/kernel.h"

void AcquireTuneLock();
void ReleaseTuneLock();
