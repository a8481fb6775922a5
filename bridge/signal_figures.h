#pragma once
// The signal figures the driver reports: strength and quality as small numbers, from the latest
// status report while the demodulator is locked and from the demodulator's strength registers
// while it is not. Reading a figure consumes the report bytes it used.
#include "platform/ks.h"

// 15 to 87. Consumes the strength bytes of the status record.
UCHAR GetSignalStrength(PKSDEVICE device);
// 5 to 89. Consumes the quality byte of the status record.
UCHAR GetSignalQuality(PKSDEVICE device);

// The maps behind the figures. `raw` is the strength reading, `low` its lowest three bits as
// the path that measured it defines them.
UCHAR SignalStrengthFromRaw(USHORT raw, UCHAR low, bool locked);
UCHAR SignalQualityFromByte(UCHAR quality, bool locked);
