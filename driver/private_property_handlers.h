#pragma once
// Handlers of the receiver's private property set (ids 0 to 16 on the filter). Each checks the
// request, the property and the data buffer - present, and large enough for every byte the
// handler reads or writes - before anything else; a get sets IoStatus.Information to the bytes it
// returned. Results of bridge operations are not reported, except where noted.
#include "platform/ks.h"

// Driver-wide state of the set (the pass-through save area, the pending message byte): cleared
// at load. DriverEntry calls it.
void InitializePrivateProperties();

// Ids 0, 3 and 10, set: accepted, nothing done.
NTSTATUS PrivateAcceptSet(PIRP irp, PKSIDENTIFIER property, PVOID data);
// Id 0, get: the version record (100, 2, then 96 zero bytes).
NTSTATUS PrivateVersionGet(PIRP irp, PKSIDENTIFIER property, PVOID data);
// Id 1: get takes the oldest remote-control key (4 and its four key bytes, or 4 and zeros);
// set empties the key queue.
NTSTATUS PrivateRemoteKeyGet(PIRP irp, PKSIDENTIFIER property, PVOID data);
NTSTATUS PrivateRemoteKeySet(PIRP irp, PKSIDENTIFIER property, PVOID data);
// Id 2, set: loads the bridge's PID filter and restarts the stream.
NTSTATUS PrivatePidFilterSet(PIRP irp, PKSIDENTIFIER property, PVOID data);
// Id 4: set writes to or reads from a chip through the bridge's I2C gateway; get returns the
// record of the last read that completed.
NTSTATUS PrivateI2cGet(PIRP irp, PKSIDENTIFIER property, PVOID data);
NTSTATUS PrivateI2cSet(PIRP irp, PKSIDENTIFIER property, PVOID data);
// Ids 5 to 8, set: stores one of the four private settings.
NTSTATUS PrivateSettingSet(PIRP irp, PKSIDENTIFIER property, PVOID data);
// Id 9, set: the extended tune.
NTSTATUS PrivateTuneSet(PIRP irp, PKSIDENTIFIER property, PVOID data);
// Id 10, get: lock flag, signal strength and quality.
NTSTATUS PrivateStatusGet(PIRP irp, PKSIDENTIFIER property, PVOID data);
// Ids 11 and 14: get receives a message, set sends one.
NTSTATUS PrivateMessageGet(PIRP irp, PKSIDENTIFIER property, PVOID data);
NTSTATUS PrivateMessageSet(PIRP irp, PKSIDENTIFIER property, PVOID data);
// Id 12, set: a raw bridge frame.
NTSTATUS PrivateRawFrameSet(PIRP irp, PKSIDENTIFIER property, PVOID data);
// Id 13, set: stores tuning parameters and tunes (the stream stays stopped).
NTSTATUS PrivateTuneParamsSet(PIRP irp, PKSIDENTIFIER property, PVOID data);
// Ids 15 and 16, get and set: take and release the device I/O mutex.
NTSTATUS PrivateSyncHandler(PIRP irp, PKSIDENTIFIER property, PVOID data);
