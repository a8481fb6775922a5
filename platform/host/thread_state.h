#pragma once
// Per-thread kernel state of the emulation (IRQL, critical-region depth). Internal to
// platform/host.
#include <string>
#include <vector>

#include "platform/kernel.h"

namespace host {

// A spin lock the thread holds, and the IRQL its acquisition raised from (the level its release
// must return to; `raised` is false for one taken at DISPATCH_LEVEL without raising).
struct HeldSpinLock {
    const volatile KSPIN_LOCK* lock;
    KIRQL raisedFrom;
    bool raised;
};

struct ThreadState {
    KIRQL irql = PASSIVE_LEVEL;
    int criticalRegionDepth = 0;
    std::vector<HeldSpinLock> spinLocks;
    int mutexesHeld = 0;  // acquisitions of kernel mutexes not yet released (nested ones count)
    ThreadState();
    ~ThreadState();  // reports a thread that ends at raised IRQL or inside a critical region
};

ThreadState& CurrentThreadState();

// Bug checks for a thread's own end (its state is being destroyed: the IRQL is passed in).
void BugCheckAt(const char* kind, const std::string& description, KIRQL irql);
void RecordThreadEndError(const std::string& description, KIRQL irql);
// Identifies the calling thread while it lives (owner of mutexes and spin locks); never 0.
inline void* CurrentThreadToken() {
    return &CurrentThreadState();
}

}  // namespace host
