#pragma once
// The driver's only heap: non-paged pool under the tag 'XTZQ'. Every block is no-execute: current
// Windows refuses drivers that ask for executable pool.
#include "platform/kernel.h"

// The tag reads "XTZQ" in a pool dump (the bytes are stored low byte first).
constexpr ULONG kDriverPoolTag = 0x515A5458;  // 'QZTX'

// One copy in the image (never inlined), so that the pool type the driver asks for can be checked
// in the image itself.
__attribute__((noinline)) inline void* PoolAllocate(SIZE_T bytes) {
    return ExAllocatePoolWithTag(NonPagedPoolNx, bytes, kDriverPoolTag);
}

inline void* PoolAllocateZeroed(SIZE_T bytes) {
    void* block = PoolAllocate(bytes);
    if (block != nullptr) RtlZeroMemory(block, bytes);
    return block;
}

inline void PoolFree(void* block) {
    ExFreePoolWithTag(block, kDriverPoolTag);
}
