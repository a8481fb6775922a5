#pragma once
// The driver-wide status record filled from the bridge's 0xBB status reports, and its lock flag.
#include "platform/kernel.h"

constexpr ULONG kStatusRecordBytes = 6;
constexpr UCHAR kStatusReportType = 0xBB;

// Record byte positions.
constexpr ULONG kStatusLock = 1;
constexpr ULONG kStatusStrengthLow = 2;
constexpr ULONG kStatusQuality = 3;
constexpr ULONG kStatusStrengthHigh = 4;
constexpr ULONG kStatusSpare = 5;

// Clears the record and (re)creates its lock; called once at driver entry.
void InitializeSignalStatus();

// Clears the record; then, for a 0xBB report, copies report bytes 2 to 6 into record bytes 1 to 5
// and returns true. Any other report (or none) leaves the record cleared and returns false.
// Reads report bytes 0 to 6. Callable at dispatch level.
bool DecodeStatusReport(const UCHAR* report);

// 1 when record byte 1 is non-zero, else 0.
UCHAR GetLockFlag();
// Stores 1 (flag non-zero) or 0 in record byte 1 and returns the stored value.
UCHAR SetLockFlag(UCHAR flag);

// Copies the whole record (for the status figures and for diagnostics).
void ReadStatusRecord(UCHAR record[kStatusRecordBytes]);
// Returns record byte `index` and stores 0 there: the figures consume their bytes.
UCHAR ConsumeStatusByte(ULONG index);
// Returns the strength bytes (low, high; either pointer may be null) and clears both in one step,
// so that a report arriving in between cannot pair one report's low byte with another's high.
void ConsumeStrengthBytes(UCHAR* low, UCHAR* high);
