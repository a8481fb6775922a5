// IRQL tracking and critical regions, per thread.
#include "platform/host/irql.h"

#include <mutex>

#include "platform/host/io_completion_queue.h"
#include "platform/host/kernel_errors.h"
#include "platform/host/service_rules.h"
#include "platform/host/thread_state.h"

namespace host {
namespace {

struct ViolationLog {
    std::mutex lock;
    std::vector<IrqlViolation> entries;
};

ViolationLog& Violations() {
    static ViolationLog* log = new ViolationLog;
    return *log;
}

}  // namespace

ThreadState::ThreadState() {
    RegisterThread(this);
}

ThreadState::~ThreadState() {
    UnregisterThread(this);
    if (irql != PASSIVE_LEVEL)
        RecordThreadEndError("thread ended at IRQL " + std::to_string(irql), irql);
    if (criticalRegionDepth != 0)
        RecordThreadEndError(
            "thread ended inside " + std::to_string(criticalRegionDepth) + " critical region(s)",
            irql);
    if (!spinLocks.empty())
        RecordThreadEndError(
            "thread ended holding " + std::to_string(spinLocks.size()) + " spin lock(s)", irql);
    if (mutexesHeld != 0)
        RecordThreadEndError("thread ended holding " + std::to_string(mutexesHeld) + " mutex(es)",
                             irql);
}

namespace {

// A thread's state lives from its first use to the thread's end, when its end-of-thread checks
// run. The main thread goes on after that point: exit() destroys thread-local objects before it
// runs the atexit handlers and static destructors, and those may still stop a receiver (call the
// driver, take spin locks). From then on that thread uses a state that is never destroyed.
struct ThreadStateSlot {
    ThreadState* state = nullptr;
    bool ended = false;
    ~ThreadStateSlot() {
        delete state;
        state = nullptr;
        ended = true;
    }
};
thread_local ThreadStateSlot threadStateSlot;

}  // namespace

ThreadState& CurrentThreadState() {
    ThreadStateSlot& slot = threadStateSlot;
    if (slot.state != nullptr) return *slot.state;
    if (slot.ended) {
        static ThreadState* const afterThreadEnd = new ThreadState;
        return *afterThreadEnd;
    }
    slot.state = new ThreadState;
    return *slot.state;
}

std::vector<IrqlViolation> IrqlViolations() {
    std::lock_guard guard(Violations().lock);
    return Violations().entries;
}

void ClearIrqlViolations() {
    std::lock_guard guard(Violations().lock);
    Violations().entries.clear();
}

void RecordIrqlViolation(const std::string& description) {
    BugCheck("IRQL rule", description);
    KIRQL irql = CurrentThreadState().irql;
    std::lock_guard guard(Violations().lock);
    Violations().entries.push_back({irql, description});
}

int CriticalRegionDepth() {
    return CurrentThreadState().criticalRegionDepth;
}

}  // namespace host

KIRQL KeGetCurrentIrql() {
    return host::CurrentThreadState().irql;
}

void KeRaiseIrql(KIRQL newIrql, PKIRQL oldIrql) {
    static const host::ServiceRule& rule = host::RuleOf("KeRaiseIrql");
    host::CheckServiceIrql(rule);
    host::ThreadState& state = host::CurrentThreadState();
    if (newIrql < state.irql)
        host::RecordIrqlViolation("KeRaiseIrql to " + std::to_string(newIrql) +
                                  " below the current level [" + rule.documentation + "]");
    *oldIrql = state.irql;
    state.irql = newIrql;
}

void KeLowerIrql(KIRQL newIrql) {
    host::ThreadState& state = host::CurrentThreadState();
    if (newIrql > state.irql)
        host::RecordIrqlViolation("KeLowerIrql to " + std::to_string(newIrql) +
                                  " above the current level [" +
                                  host::RuleOf("KeLowerIrql").documentation + "]");
    state.irql = newIrql;
}

void KeEnterCriticalRegion() {
    static const host::ServiceRule& rule = host::RuleOf("KeEnterCriticalRegion");
    host::CheckServiceIrql(rule);
    ++host::CurrentThreadState().criticalRegionDepth;
}

void KeLeaveCriticalRegion() {
    static const host::ServiceRule& rule = host::RuleOf("KeLeaveCriticalRegion");
    host::CheckServiceIrql(rule);
    host::ThreadState& state = host::CurrentThreadState();
    if (state.criticalRegionDepth == 0) {
        host::RecordKernelError("KeLeaveCriticalRegion without a matching KeEnterCriticalRegion");
        return;
    }
    --state.criticalRegionDepth;
}
