// Byte ring between bulk stream reads and the output pin. Empty means readIndex == writeIndex,
// which only happens after creation or a reset: a put never fills the last free byte before
// readIndex and a take never removes the last byte held.
#include "usb/stream_ring.h"

#include "platform/pool.h"

namespace {

static_assert(sizeof(StreamRing) <= kStreamRingDataOffset);

PUCHAR DataArea(StreamRing* ring) {
    return reinterpret_cast<PUCHAR>(ring) + kStreamRingDataOffset;
}

bool IsEmptyLocked(const StreamRing* ring) {
    return ring->readIndex == ring->writeIndex;
}

ULONG HeldLocked(const StreamRing* ring) {
    const ULONG write = ring->writeIndex;
    const ULONG read = ring->readIndex;
    return write >= read ? write - read : ring->capacity - (read - write);
}

ULONG FillLevelLocked(const StreamRing* ring) {
    return IsEmptyLocked(ring) ? 0 : HeldLocked(ring) - 1;
}

// An empty ring offers one byte less than its capacity: filling it completely would bring
// writeIndex back onto readIndex and the ring would read as empty, losing everything held.
ULONG RoomLocked(const StreamRing* ring) {
    if (IsEmptyLocked(ring)) return ring->capacity - 1;
    return ring->capacity - HeldLocked(ring) - 1;
}

bool PutLocked(StreamRing* ring, const UCHAR* source, ULONG count) {
    if (RoomLocked(ring) < count) return false;
    if (count == 0) return true;
    PUCHAR data = DataArea(ring);
    const ULONG write = ring->writeIndex;
    // When writeIndex is below readIndex the room check already keeps the bytes short of the
    // end; otherwise they may wrap to the start of the data area.
    const ULONG toEnd = ring->capacity - write;
    const ULONG first = count < toEnd ? count : toEnd;
    RtlCopyMemory(data + write, source, first);
    if (first < count) RtlCopyMemory(data, source + first, count - first);
    ring->writeIndex = (write + count) % ring->capacity;
    return true;
}

}  // namespace

StreamRing* StreamRingCreate(ULONG capacity) {
    if (capacity == 0) return nullptr;
    auto* ring = static_cast<StreamRing*>(PoolAllocate(kStreamRingDataOffset + SIZE_T{capacity}));
    if (ring == nullptr) return nullptr;
    ring->capacity = capacity;
    ring->readIndex = 0;
    ring->writeIndex = 0;
    KeInitializeSpinLock(&ring->lock);
    return ring;
}

void StreamRingFree(StreamRing* ring) {
    if (ring != nullptr) PoolFree(ring);
}

void StreamRingReset(StreamRing* ring) {
    if (ring == nullptr) return;
    KIRQL oldIrql;
    KeAcquireSpinLock(&ring->lock, &oldIrql);
    ring->readIndex = 0;
    ring->writeIndex = 0;
    KeReleaseSpinLock(&ring->lock, oldIrql);
}

ULONG FillLevel(StreamRing* ring) {
    if (ring == nullptr) return 0;
    KIRQL oldIrql;
    KeAcquireSpinLock(&ring->lock, &oldIrql);
    const ULONG level = FillLevelLocked(ring);
    KeReleaseSpinLock(&ring->lock, oldIrql);
    return level;
}

bool Put(StreamRing* ring, const UCHAR* source, ULONG count) {
    if (ring == nullptr || (source == nullptr && count != 0)) return false;
    KIRQL oldIrql;
    KeAcquireSpinLock(&ring->lock, &oldIrql);
    const bool stored = PutLocked(ring, source, count);
    KeReleaseSpinLock(&ring->lock, oldIrql);
    return stored;
}

ULONG PutAndFillLevel(StreamRing* ring, const UCHAR* source, ULONG count, bool* stored) {
    bool done = false;
    ULONG level = 0;
    if (ring != nullptr && (source != nullptr || count == 0)) {
        KIRQL oldIrql;
        KeAcquireSpinLock(&ring->lock, &oldIrql);
        done = PutLocked(ring, source, count);
        level = FillLevelLocked(ring);
        KeReleaseSpinLock(&ring->lock, oldIrql);
    }
    if (stored != nullptr) *stored = done;
    return level;
}

bool Get(StreamRing* ring, UCHAR* destination, ULONG count) {
    if (ring == nullptr || (destination == nullptr && count != 0)) return false;
    KIRQL oldIrql;
    KeAcquireSpinLock(&ring->lock, &oldIrql);
    const bool available = FillLevelLocked(ring) >= count;
    if (available && count != 0) {
        const PUCHAR data = DataArea(ring);
        const ULONG read = ring->readIndex;
        const ULONG toEnd = ring->capacity - read;
        const ULONG first = count < toEnd ? count : toEnd;
        RtlCopyMemory(destination, data + read, first);
        if (first < count) RtlCopyMemory(destination + first, data, count - first);
        ring->readIndex = (read + count) % ring->capacity;
    }
    KeReleaseSpinLock(&ring->lock, oldIrql);
    return available;
}
