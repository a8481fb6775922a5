#pragma once
// The interrupt-pipe reader's completion and the remote-control key queue it fills.
#include "driver/device_context.h"
#include "platform/kernel.h"

constexpr UCHAR kKeyReportType = 0xAA;

NTSTATUS IntIrp_Complete(PDEVICE_OBJECT deviceObject, PIRP irp, PVOID context);

// Key queue of the DeviceContext. Every access goes through these, under keyQueueLock.
// Queues a key report (byte 0 0xAA, bytes 1 to 5 key data); a full queue loses its oldest key.
void KeyQueuePush(DeviceContext* context, const UCHAR* report);
// Empties the queue.
void KeyQueueReset(DeviceContext* context);
// Copies the oldest key into `entry` and removes it; false when the queue is empty.
bool KeyQueueTake(DeviceContext* context, UCHAR entry[kKeyEntryBytes]);
