#pragma once
// Completion of packets owned by the I/O system (IoBuildDeviceIoControlRequest). As the kernel
// does with an APC, the final step (status block copied, packet freed, event set) runs on the
// thread that built the packet: at once if that thread completes it, otherwise inside that
// thread's next wait or sleep, or when it ends. So a requester that timed out may still cancel
// its packet without racing with its release. Internal to platform/host.
#include "platform/kernel.h"

namespace host {

void RegisterThread(void* token);
void UnregisterThread(void* token);  // runs what is still queued for the thread
void FinishOnRequestingThread(PIRP irp, void (*finish)(PIRP));
bool HasQueuedCompletions(void* token);
// Runs the calling thread's queued completions; returns whether there were any. Must be called
// without the dispatcher lock held.
bool DeliverQueuedCompletions();

}  // namespace host
