#pragma once
// The driver's only heap: non-paged pool under the tag 'XTZQ'.
#include "platform/kernel.h"

// The tag reads "XTZQ" in a pool dump (the bytes are stored low byte first).
constexpr ULONG kDriverPoolTag = 0x515A5458;  // 'QZTX'

inline void* PoolAllocate(SIZE_T bytes) { return ExAllocatePoolWithTag(NonPagedPool, bytes, kDriverPoolTag); }

inline void* PoolAllocateZeroed(SIZE_T bytes) {
    void* block = PoolAllocate(bytes);
    if (block != nullptr) RtlZeroMemory(block, bytes);
    return block;
}

inline void PoolFree(void* block) { ExFreePoolWithTag(block, kDriverPoolTag); }
