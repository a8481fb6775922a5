// Spin locks: the lock word holds the owning thread's token (0 when free), taken with an atomic
// compare-exchange so that the sanitizers see the acquire/release ordering. Each thread keeps the
// locks it holds with the IRQL their acquisition raised from, so that a release is checked
// against it and a driver routine returning with a lock still held is caught (driver_call.h).
#include <algorithm>
#include <thread>

#include "platform/host/irql.h"
#include "platform/host/kernel_errors.h"
#include "platform/host/service_rules.h"
#include "platform/host/thread_state.h"

namespace {

ULONG_PTR Me() {
    return reinterpret_cast<ULONG_PTR>(host::CurrentThreadToken());
}

void Acquire(PKSPIN_LOCK lock, const host::ServiceRule& rule, KIRQL raisedFrom, bool raised) {
    ULONG_PTR me = Me();
    if (__atomic_load_n(lock, __ATOMIC_RELAXED) == me) {
        // The kernel would spin forever here.
        host::RecordKernelError(std::string(rule.service) +
                                ": spin lock acquired again by the thread that holds it");
        return;
    }
    for (;;) {
        ULONG_PTR expected = 0;
        if (__atomic_compare_exchange_n(lock, &expected, me, false, __ATOMIC_ACQUIRE,
                                        __ATOMIC_RELAXED))
            break;
        while (__atomic_load_n(lock, __ATOMIC_RELAXED) != 0) std::this_thread::yield();
    }
    host::CurrentThreadState().spinLocks.push_back({lock, raisedFrom, raised});
}

// Releases `lock`, held by this thread; returns its entry (nullopt-like: raised=false, level
// DISPATCH_LEVEL, when the lock was not held, which is reported).
host::HeldSpinLock Release(PKSPIN_LOCK lock, const host::ServiceRule& rule) {
    std::vector<host::HeldSpinLock>& held = host::CurrentThreadState().spinLocks;
    auto entry = std::find_if(held.rbegin(), held.rend(),
                              [lock](const host::HeldSpinLock& h) { return h.lock == lock; });
    ULONG_PTR expected = Me();
    if (!__atomic_compare_exchange_n(lock, &expected, 0, false, __ATOMIC_RELEASE,
                                     __ATOMIC_RELAXED)) {
        host::RecordKernelError(std::string(rule.service) +
                                (expected == 0
                                     ? ": spin lock released while not held"
                                     : ": spin lock released by a thread that does not hold it"));
        return {lock, DISPATCH_LEVEL, false};
    }
    host::HeldSpinLock released{lock, DISPATCH_LEVEL, false};
    if (entry != held.rend()) {
        released = *entry;
        held.erase(std::next(entry).base());
    }
    return released;
}

}  // namespace

void KeInitializeSpinLock(PKSPIN_LOCK lock) {
    __atomic_store_n(lock, 0, __ATOMIC_RELEASE);
}

void KeAcquireSpinLockAtDpcLevel(PKSPIN_LOCK lock) {
    static const host::ServiceRule& rule = host::RuleOf("KeAcquireSpinLockAtDpcLevel");
    host::CheckServiceIrql(rule);
    Acquire(lock, rule, KeGetCurrentIrql(), false);
}

void KeReleaseSpinLockFromDpcLevel(PKSPIN_LOCK lock) {
    static const host::ServiceRule& rule = host::RuleOf("KeReleaseSpinLockFromDpcLevel");
    host::CheckServiceIrql(rule);
    Release(lock, rule);
}

void KeAcquireSpinLock(PKSPIN_LOCK lock, PKIRQL oldIrql) {
    static const host::ServiceRule& rule = host::RuleOf("KeAcquireSpinLockRaiseToDpc");
    host::CheckServiceIrql(rule);
    KeRaiseIrql(DISPATCH_LEVEL, oldIrql);
    Acquire(lock, rule, *oldIrql, true);
}

void KeReleaseSpinLock(PKSPIN_LOCK lock, KIRQL newIrql) {
    static const host::ServiceRule& rule = host::RuleOf("KeReleaseSpinLock");
    host::CheckServiceIrql(rule);
    const host::HeldSpinLock released = Release(lock, rule);
    if (released.raised && newIrql != released.raisedFrom)
        host::RecordIrqlViolation("KeReleaseSpinLock to IRQL " + std::to_string(newIrql) +
                                  ", but its KeAcquireSpinLock raised from IRQL " +
                                  std::to_string(released.raisedFrom) + " [" + rule.documentation +
                                  "]");
    KeLowerIrql(newIrql);
}
