#include "platform/host/io_completion_queue.h"

#include <map>
#include <mutex>
#include <set>
#include <vector>

#include "platform/host/clock_internal.h"
#include "platform/host/thread_state.h"

namespace host {

namespace {

struct Queued {
    PIRP irp;
    void (*finish)(PIRP);
};

struct CompletionQueues {
    std::mutex lock;
    std::set<void*> liveThreads;
    std::map<void*, std::vector<Queued>> queued;
};

CompletionQueues& Queues() {
    static CompletionQueues* queues = new CompletionQueues;  // never destroyed
    return *queues;
}

std::vector<Queued> TakeQueued(void* token) {
    std::lock_guard guard(Queues().lock);
    auto found = Queues().queued.find(token);
    if (found == Queues().queued.end()) return {};
    std::vector<Queued> taken = std::move(found->second);
    Queues().queued.erase(found);
    return taken;
}

}  // namespace

void RegisterThread(void* token) {
    std::lock_guard guard(Queues().lock);
    Queues().liveThreads.insert(token);
}

void UnregisterThread(void* token) {
    {
        std::lock_guard guard(Queues().lock);
        Queues().liveThreads.erase(token);
    }
    for (const Queued& item : TakeQueued(token)) item.finish(item.irp);
}

void FinishOnRequestingThread(PIRP irp, void (*finish)(PIRP)) {
    void* requester = irp->Tail.Overlay.Thread;
    if (requester != nullptr && requester != CurrentThreadToken()) {
        std::unique_lock guard(Queues().lock);
        if (Queues().liveThreads.count(requester) != 0) {
            Queues().queued[requester].push_back({irp, finish});
            guard.unlock();
            NotifyWaiters();
            return;
        }
    }
    finish(irp);
}

bool HasQueuedCompletions(void* token) {
    std::lock_guard guard(Queues().lock);
    return Queues().queued.count(token) != 0;
}

bool DeliverQueuedCompletions() {
    std::vector<Queued> taken = TakeQueued(CurrentThreadToken());
    for (const Queued& item : taken) item.finish(item.irp);
    return !taken.empty();
}

}  // namespace host
