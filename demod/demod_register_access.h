#pragma once
// One-register writes to the demodulator through the bridge's I2C gateway (reads are
// DemodReadRegister in demod_control.h).
#include "platform/kernel.h"

// Writes one register at the address that serves it; true when the bridge acknowledged.
bool DemodWriteRegister(UCHAR registerNumber, UCHAR value);
