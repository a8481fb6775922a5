#pragma once
// 32-bit little-endian words of an application's record at a byte offset. The records come from
// applications at any alignment, so words are copied, never dereferenced in place. The caller has
// checked that the record holds offset + 4 bytes.
#include "platform/kernel.h"

inline ULONG ReadRecordWord(const void* record, ULONG offset) {
    ULONG value;
    RtlCopyMemory(&value, static_cast<const UCHAR*>(record) + offset, sizeof(value));
    return value;
}

inline void WriteRecordWord(void* record, ULONG offset, ULONG value) {
    RtlCopyMemory(static_cast<UCHAR*>(record) + offset, &value, sizeof(value));
}
