// Spin locks: the lock word holds the owning thread's token (0 when free), taken with an atomic
// compare-exchange so that the sanitizers see the acquire/release ordering.
#include <thread>

#include "platform/host/irql.h"
#include "platform/host/kernel_errors.h"
#include "platform/host/thread_state.h"

namespace {

ULONG_PTR Me() {
    return reinterpret_cast<ULONG_PTR>(host::CurrentThreadToken());
}

}  // namespace

void KeInitializeSpinLock(PKSPIN_LOCK lock) {
    __atomic_store_n(lock, 0, __ATOMIC_RELEASE);
}

void KeAcquireSpinLockAtDpcLevel(PKSPIN_LOCK lock) {
    if (KeGetCurrentIrql() < DISPATCH_LEVEL)
        host::RecordIrqlViolation("spin lock acquired below DISPATCH_LEVEL");
    ULONG_PTR me = Me();
    if (__atomic_load_n(lock, __ATOMIC_RELAXED) == me) {
        // The kernel would spin forever here.
        host::RecordKernelError("spin lock acquired again by the thread that holds it");
        return;
    }
    for (;;) {
        ULONG_PTR expected = 0;
        if (__atomic_compare_exchange_n(lock, &expected, me, false, __ATOMIC_ACQUIRE,
                                        __ATOMIC_RELAXED))
            return;
        while (__atomic_load_n(lock, __ATOMIC_RELAXED) != 0) std::this_thread::yield();
    }
}

void KeReleaseSpinLockFromDpcLevel(PKSPIN_LOCK lock) {
    ULONG_PTR expected = Me();
    if (__atomic_compare_exchange_n(lock, &expected, 0, false, __ATOMIC_RELEASE, __ATOMIC_RELAXED))
        return;
    host::RecordKernelError(expected == 0 ? "spin lock released while not held"
                                          : "spin lock released by a thread that does not hold it");
}

void KeAcquireSpinLock(PKSPIN_LOCK lock, PKIRQL oldIrql) {
    KeRaiseIrql(DISPATCH_LEVEL, oldIrql);
    KeAcquireSpinLockAtDpcLevel(lock);
}

void KeReleaseSpinLock(PKSPIN_LOCK lock, KIRQL newIrql) {
    KeReleaseSpinLockFromDpcLevel(lock);
    KeLowerIrql(newIrql);
}
