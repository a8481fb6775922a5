#pragma once
// The byte ring between bulk stream reads and the output pin's frames: one non-paged block with
// the indices, a spin lock and the data area behind them.
#include "platform/kernel.h"

constexpr ULONG kStreamRingCapacity = 0x200000;
// The data area starts a cache line into the block: right behind the header (24 bytes) it would
// sit 8 bytes off every 16-byte boundary, and every copy into and out of the ring would run on
// misaligned addresses. Pool blocks are 16-byte aligned (page aligned from a page up), so the
// data area is as aligned as its block.
constexpr ULONG kStreamRingDataOffset = 64;

struct StreamRing {
    ULONG capacity;
    ULONG readIndex;
    ULONG writeIndex;
    // Serialises puts and takes from completions on several processors with the index resets
    // of stream start and stop.
    KSPIN_LOCK lock;
    // The data area (`capacity` bytes) follows the header in the same block, a cache line in.
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
// Put, then FillLevel, under one hold of the ring's lock: what every bulk read does. Returns the
// fill level after the put; `stored` (optional) tells whether the bytes went in.
ULONG PutAndFillLevel(StreamRing* ring, const UCHAR* source, ULONG count, bool* stored);
// Takes `count` bytes or nothing.
bool Get(StreamRing* ring, UCHAR* destination, ULONG count);
