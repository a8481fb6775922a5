// The remote-control key queue: 256 entries of 6 bytes in the DeviceContext, newest overwriting
// oldest when full. Filled at dispatch level by the interrupt completion, drained at passive
// level by the property handlers.
#include "usb/interrupt_reader.h"

void KeyQueuePush(DeviceContext* context, const UCHAR* report) {
    KIRQL previous;
    KeAcquireSpinLock(&context->keyQueueLock, &previous);
    UCHAR* entry = context->keyEntries[context->keyWriteIndex];
    entry[0] = kKeyReportType;
    RtlCopyMemory(entry + 1, report + 1, kKeyEntryBytes - 1);
    if (context->keyCount < static_cast<LONG>(kKeyQueueEntries)) {
        ++context->keyCount;
    } else {
        ++context->keyReadIndex;  // the oldest key is overwritten
    }
    ++context->keyWriteIndex;
    KeReleaseSpinLock(&context->keyQueueLock, previous);
}

void KeyQueueReset(DeviceContext* context) {
    KIRQL previous;
    KeAcquireSpinLock(&context->keyQueueLock, &previous);
    context->keyCount = 0;
    context->keyWriteIndex = 0;
    context->keyReadIndex = 0;
    KeReleaseSpinLock(&context->keyQueueLock, previous);
}

bool KeyQueueTake(DeviceContext* context, UCHAR entry[kKeyEntryBytes]) {
    KIRQL previous;
    KeAcquireSpinLock(&context->keyQueueLock, &previous);
    const bool taken = context->keyCount > 0;
    if (taken) {
        RtlCopyMemory(entry, context->keyEntries[context->keyReadIndex], kKeyEntryBytes);
        ++context->keyReadIndex;
        --context->keyCount;
    }
    KeReleaseSpinLock(&context->keyQueueLock, previous);
    return taken;
}
