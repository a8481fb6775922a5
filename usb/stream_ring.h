#pragma once
// The byte ring between bulk stream reads and the output pin's frames.
#include "platform/kernel.h"

constexpr ULONG kStreamRingCapacity = 0x200000;

struct StreamRing {
    ULONG capacity;
    ULONG readIndex;
    ULONG writeIndex;
    // (the implementation may add its lock after the indices; the data area follows the header)
};

StreamRing* StreamRingCreate(ULONG capacity);
void StreamRingFree(StreamRing* ring);
void StreamRingReset(StreamRing* ring);
ULONG FillLevel(StreamRing* ring);
bool Put(StreamRing* ring, const UCHAR* source, ULONG count);
bool Get(StreamRing* ring, UCHAR* destination, ULONG count);
