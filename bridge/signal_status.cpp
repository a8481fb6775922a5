// The status record. Reports arrive in the interrupt completion on one processor while property
// handlers read and consume bytes on others; a spin lock keeps each access whole.
#include "bridge/signal_status.h"

namespace {

constexpr ULONG kReportFirstValue = 2;  // report bytes 2..6 go to record bytes 1..5

UCHAR gStatusRecord[kStatusRecordBytes];
KSPIN_LOCK gStatusLock;

}  // namespace

void InitializeSignalStatus() {
    KeInitializeSpinLock(&gStatusLock);
    RtlZeroMemory(gStatusRecord, sizeof(gStatusRecord));
}

bool DecodeStatusReport(const UCHAR* report) {
    const bool isStatus = report != nullptr && report[0] == kStatusReportType;
    KIRQL previous;
    KeAcquireSpinLock(&gStatusLock, &previous);
    RtlZeroMemory(gStatusRecord, sizeof(gStatusRecord));
    if (isStatus) {
        for (ULONG i = kStatusLock; i < kStatusRecordBytes; ++i) {
            gStatusRecord[i] = report[kReportFirstValue + i - kStatusLock];
        }
    }
    KeReleaseSpinLock(&gStatusLock, previous);
    return isStatus;
}

UCHAR GetLockFlag() {
    KIRQL previous;
    KeAcquireSpinLock(&gStatusLock, &previous);
    const UCHAR locked = gStatusRecord[kStatusLock] != 0 ? 1 : 0;
    KeReleaseSpinLock(&gStatusLock, previous);
    return locked;
}

UCHAR SetLockFlag(UCHAR flag) {
    const UCHAR stored = flag != 0 ? 1 : 0;
    KIRQL previous;
    KeAcquireSpinLock(&gStatusLock, &previous);
    gStatusRecord[kStatusLock] = stored;
    KeReleaseSpinLock(&gStatusLock, previous);
    return stored;
}

void ReadStatusRecord(UCHAR record[kStatusRecordBytes]) {
    KIRQL previous;
    KeAcquireSpinLock(&gStatusLock, &previous);
    RtlCopyMemory(record, gStatusRecord, kStatusRecordBytes);
    KeReleaseSpinLock(&gStatusLock, previous);
}

UCHAR ConsumeStatusByte(ULONG index) {
    if (index >= kStatusRecordBytes) return 0;
    KIRQL previous;
    KeAcquireSpinLock(&gStatusLock, &previous);
    const UCHAR value = gStatusRecord[index];
    gStatusRecord[index] = 0;
    KeReleaseSpinLock(&gStatusLock, previous);
    return value;
}

void ConsumeStrengthBytes(UCHAR* low, UCHAR* high) {
    KIRQL previous;
    KeAcquireSpinLock(&gStatusLock, &previous);
    if (low != nullptr) *low = gStatusRecord[kStatusStrengthLow];
    if (high != nullptr) *high = gStatusRecord[kStatusStrengthHigh];
    gStatusRecord[kStatusStrengthLow] = 0;
    gStatusRecord[kStatusStrengthHigh] = 0;
    KeReleaseSpinLock(&gStatusLock, previous);
}
