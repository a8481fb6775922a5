#pragma once
// Per-thread kernel state of the emulation (IRQL, critical-region depth). Internal to
// platform/host.
#include "platform/kernel.h"

namespace host {

struct ThreadState {
    KIRQL irql = PASSIVE_LEVEL;
    int criticalRegionDepth = 0;
    ThreadState();
    ~ThreadState();  // reports a thread that ends at raised IRQL or inside a critical region
};

ThreadState& CurrentThreadState();
// Identifies the calling thread while it lives (owner of mutexes and spin locks); never 0.
inline void* CurrentThreadToken() {
    return &CurrentThreadState();
}

}  // namespace host
