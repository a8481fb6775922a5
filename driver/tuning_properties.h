#pragma once
// Handlers of the standard BDA node properties: the tuner node's frequency filter set, the
// demodulator node's digital demodulator set, and the signal statistics of both nodes.
#include "platform/ks.h"

NTSTATUS FrequencyFilterGet(PIRP irp, PKSIDENTIFIER request, PVOID data);
NTSTATUS FrequencyFilterSet(PIRP irp, PKSIDENTIFIER request, PVOID data);
NTSTATUS DigitalDemodulatorGet(PIRP irp, PKSIDENTIFIER request, PVOID data);
NTSTATUS DigitalDemodulatorSet(PIRP irp, PKSIDENTIFIER request, PVOID data);
NTSTATUS SignalStatisticsGet(PIRP irp, PKSIDENTIFIER request, PVOID data);

// The stick behind a node request: through the pin that carried it, or, for a request sent to
// the filter itself, through the filter.
PKSDEVICE DeviceOfNodeRequest(PIRP irp);
