#pragma once
// The module-wide lock that keeps tune sequences and tuner parking apart: the tuner model, the
// demodulator's registers and the current-device references are shared by every caller. Its
// place in the driver's lock order (after the device I/O mutex, before the tuner lock and the
// bridge exchange lock) is written down in usb/cqzusb.h.
#include "platform/kernel.h"

void AcquireTuneLock();
void ReleaseTuneLock();
