#pragma once
// The byte ring between bulk stream reads and the output pin's frames: one non-paged block with
// the indices, a spin lock and the data area behind them.
#include "platform/kernel.h"

constexpr ULONG kStreamRingCapacity = 0x200000;

struct StreamRing {
    ULONG capacity;
    ULONG readIndex;
    ULONG writeIndex;
    // Serialises puts and takes from completions on several processors with the index resets
    // of stream start and stop.
    KSPIN_LOCK lock;
    // The data area (`capacity` bytes) follows the header in the same block.
};

// Allocates the ring empty (both indices 0); null when the pool is exhausted or capacity is 0.
StreamRing* StreamRingCreate(ULONG capacity);
void StreamRingFree(StreamRing* ring);
// Empties the ring: both indices back to 0.
void StreamRingReset(StreamRing* ring);
// 0 for an absent or empty ring, otherwise one less than the bytes held: a take always leaves
// the last byte in place, so this is what can be taken.
ULONG FillLevel(StreamRing* ring);
// Stores all `count` bytes or nothing.
bool Put(StreamRing* ring, const UCHAR* source, ULONG count);
// Takes `count` bytes or nothing.
bool Get(StreamRing* ring, UCHAR* destination, ULONG count);
