// Kernel dispatcher objects (mutexes, events, timers), waits and sleeps.
//
// All object state lives in the objects themselves, in the fields the kernel keeps it in, and is
// guarded by one dispatcher lock, as in the kernel; a waiter blocks on one condition variable
// that every state change notifies. Nothing is allocated per object, so objects need no
// destruction (kernel objects have none). Header use: Type = kernel object type, Size = object
// size in LONGs (non-zero once initialised), SignalState = signal state (for a mutex 1 when free,
// one less per nested acquisition), Inserted = timer queued; KMUTEX::OwnerThread = the owning
// thread, KTIMER::DueTime = when a queued timer comes due.
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <limits>
#include <memory>
#include <mutex>
#include <optional>
#include <set>
#include <thread>

#include "platform/host/clock_internal.h"
#include "platform/host/io_completion_queue.h"
#include "platform/host/irql.h"
#include "platform/host/kernel_errors.h"
#include "platform/host/service_rules.h"
#include "platform/host/thread_state.h"

namespace host {
namespace {

constexpr UCHAR kEventNotificationObject = 0;
constexpr UCHAR kEventSynchronizationObject = 1;
constexpr UCHAR kMutantObject = 2;
constexpr UCHAR kTimerNotificationObject = 8;
constexpr UCHAR kTimerSynchronizationObject = 9;

// How often a blocked wait re-checks for conditions that nobody notifies (a timer becoming due
// in real time, the progress probe going idle).
constexpr auto kRecheckPeriod = std::chrono::milliseconds(1);
// Longest real pause of a virtual sleep while the bus is busy: lets polling loops make room for
// the threads they wait on instead of spinning.
constexpr auto kVirtualSleepPause = std::chrono::microseconds(200);

struct Dispatcher {
    std::mutex lock;
    std::condition_variable changed;
    std::multiset<LONGLONG> deadlines;  // of the timed waits under way on the virtual clock
    // Counts the bus's reports that its progress may have changed (ReportBusProgress). A timed wait
    // looks at the progress probe without the lock; a report that came in meanwhile makes it
    // look again at once instead of sleeping through the change it would have missed.
    uint64_t progress = 0;
};

Dispatcher& TheDispatcher() {
    static Dispatcher* dispatcher = new Dispatcher;  // never destroyed, see kernel_errors.cpp
    return *dispatcher;
}

bool IsTimer(const DISPATCHER_HEADER* header) {
    return header->Type == kTimerNotificationObject || header->Type == kTimerSynchronizationObject;
}

KTIMER* AsTimer(DISPATCHER_HEADER* header) {
    return reinterpret_cast<KTIMER*>(header);
}

KMUTEX* AsMutex(DISPATCHER_HEADER* header) {
    return reinterpret_cast<KMUTEX*>(header);
}

// Size in LONGs of each object type, as the kernel records it in the header.
UCHAR SizeOfType(UCHAR type) {
    switch (type) {
        case kMutantObject:
            return sizeof(KMUTEX) / sizeof(LONG);
        case kTimerNotificationObject:
        case kTimerSynchronizationObject:
            return sizeof(KTIMER) / sizeof(LONG);
        default:
            return sizeof(KEVENT) / sizeof(LONG);
    }
}

bool IsInitialised(const DISPATCHER_HEADER* header) {
    return header->Size != 0 && header->Size == SizeOfType(header->Type);
}

void Initialise(DISPATCHER_HEADER* header, UCHAR type, LONG signalState) {
    std::lock_guard guard(TheDispatcher().lock);
    header->Type = type;
    header->Signalling = 0;
    header->Size = SizeOfType(type);
    header->Inserted = 0;
    header->SignalState = signalState;
    header->WaitListHead.Flink = &header->WaitListHead;
    header->WaitListHead.Blink = &header->WaitListHead;
    if (type == kMutantObject) {
        KMUTEX* mutex = AsMutex(header);
        mutex->MutantListEntry = {nullptr, nullptr};
        mutex->OwnerThread = nullptr;
        mutex->Abandoned = FALSE;
        mutex->ApcDisable = 1;
    }
}

std::string Describe(const char* what, const void* object) {
    char text[160];
    std::snprintf(text, sizeof text, "%s (object %p)", what, object);
    return text;
}

// With the dispatcher lock held: a timer that has come due becomes signalled.
void UpdateTimer(DISPATCHER_HEADER* header) {
    if (IsTimer(header) && header->Inserted != 0 && NowTicks() >= AsTimer(header)->DueTime) {
        header->Inserted = 0;
        header->SignalState = 1;
    }
}

// With the dispatcher lock held: satisfies a wait on the object for the calling thread if its
// state allows, applying the side effects (auto-reset, mutex ownership).
bool TrySatisfy(DISPATCHER_HEADER* header) {
    switch (header->Type) {
        case kEventNotificationObject:
            return header->SignalState > 0;
        case kEventSynchronizationObject:
            if (header->SignalState <= 0) return false;
            header->SignalState = 0;
            return true;
        case kMutantObject:
            if (header->SignalState > 0) {
                header->SignalState = 0;
                AsMutex(header)->OwnerThread = CurrentThreadToken();
                ++CurrentThreadState().mutexesHeld;
                return true;
            }
            if (AsMutex(header)->OwnerThread == CurrentThreadToken()) {
                header->SignalState -= 1;
                ++CurrentThreadState().mutexesHeld;
                return true;
            }
            return false;
        case kTimerNotificationObject:
        case kTimerSynchronizationObject:
            UpdateTimer(header);
            if (header->SignalState <= 0) return false;
            if (header->Type == kTimerSynchronizationObject) header->SignalState = 0;
            return true;
        default:
            return false;
    }
}

LONGLONG DeadlineOf(LONGLONG start, const LARGE_INTEGER& timeout) {
    return timeout.QuadPart < 0 ? start - timeout.QuadPart : timeout.QuadPart;
}

std::chrono::nanoseconds TicksToDuration(LONGLONG ticks) {
    return std::chrono::nanoseconds(ticks < 0 ? 0 : ticks * 100);
}

// A virtual sleep or timer wait costs no real time, but when the bus is busy a polling loop
// built on it pauses briefly so that the threads it waits for can run; where waiters serve the
// bus, it serves what is ready itself, or pauses only until the bus reports progress. On an idle
// bus it yields.
void PauseForBusyWork(LONGLONG ticks) {
    Dispatcher& dispatcher = TheDispatcher();
    std::unique_lock held(dispatcher.lock);
    const uint64_t seen = dispatcher.progress;
    held.unlock();
    // With nothing in progress on the bus, the threads that move the clock and the stream still
    // get their turn: a loop of virtual sleeps must not run the clock ahead of them.
    if (!WorkInProgress()) {
        std::this_thread::yield();
        return;
    }
    if (!WaitersServeBus()) {
        std::this_thread::sleep_for(
            std::min<std::chrono::nanoseconds>(TicksToDuration(ticks), kVirtualSleepPause));
        return;
    }
    if (ServeOnWaitingThread()) return;  // made the progress itself
    held.lock();
    dispatcher.changed.wait_for(
        held, std::min<std::chrono::nanoseconds>(TicksToDuration(ticks), kVirtualSleepPause),
        [&] { return dispatcher.progress != seen; });
}

// With the dispatcher lock held: runs the calling thread's queued packet completions (which take
// the dispatcher lock themselves). Returns whether any ran; the caller then re-checks the object.
bool DeliverCompletions(std::unique_lock<std::mutex>& held) {
    if (!HasQueuedCompletions(CurrentThreadToken())) return false;
    held.unlock();
    DeliverQueuedCompletions();
    held.lock();
    return true;
}

// Blocks until a state change is notified or `pause` passes (forever without a pause).
void Block(std::unique_lock<std::mutex>& held, std::optional<std::chrono::nanoseconds> pause) {
    if (pause)
        TheDispatcher().changed.wait_for(held, *pause);
    else
        TheDispatcher().changed.wait(held);
}

struct TimeoutHook {
    std::mutex lock;
    std::shared_ptr<const std::function<void()>> hook;
};

TimeoutHook& TheTimeoutHook() {
    static TimeoutHook* hook = new TimeoutHook;  // never destroyed, see kernel_errors.cpp
    return *hook;
}

// Without the dispatcher lock: the hook, then what it completed for this thread.
void RunWaitTimeoutHook() {
    std::shared_ptr<const std::function<void()>> hook;
    {
        std::lock_guard guard(TheTimeoutHook().lock);
        hook = TheTimeoutHook().hook;
    }
    if (!hook) return;
    (*hook)();
    DeliverQueuedCompletions();
}

NTSTATUS WaitVirtual(std::unique_lock<std::mutex>& held, DISPATCHER_HEADER* header,
                     std::optional<LONGLONG> deadline, LONGLONG start) {
    Dispatcher& dispatcher = TheDispatcher();
    // A queued timer comes due by moving the clock to its due time, unless the wait's own
    // time-out comes first.
    if (IsTimer(header) && header->Inserted != 0) {
        LONGLONG due = AsTimer(header)->DueTime;
        if (!deadline || due <= *deadline) {
            AdvanceVirtualTimeTo(due);
            RecordDelay(DelayKind::TimerWait, due > start ? due - start : 0);
            TrySatisfy(header);
            dispatcher.changed.notify_all();
            held.unlock();
            PauseForBusyWork(due - start);
            return STATUS_SUCCESS;
        }
    }
    for (;;) {
        if (TrySatisfy(header)) return STATUS_SUCCESS;
        if (DeliverCompletions(held)) continue;
        // Work ready on a bus that lets its waiters serve it: this thread serves it instead of
        // blocking until a worker has. The object may be signalled while the lock is let go, and
        // nobody wakes a thread that does not wait yet: it looks again before it blocks.
        if (WaitersServeBus()) {
            held.unlock();
            const bool served = ServeOnWaitingThread();
            held.lock();
            if (served || TrySatisfy(header)) continue;
            if (DeliverCompletions(held)) continue;
        }
        if (!deadline) {
            Block(held, std::nullopt);
            continue;
        }
        // Timed wait: keep waiting while something may still signal the object; time out once
        // the emulation reports that no work is in progress (what was finished before the probe
        // answered has been delivered by then).
        // Bus events scheduled before the earliest deadline of all timed waits come first; the
        // waiter with that deadline times out only once none is left before it.
        const LONGLONG earliest = *dispatcher.deadlines.begin();
        const uint64_t seen = dispatcher.progress;
        held.unlock();
        const bool serving = WaitersServeBus();
        bool busy = WorkInProgress();
        const bool eventDue = !busy && BringNextEventDue(earliest);
        held.lock();
        if (TrySatisfy(header)) return STATUS_SUCCESS;
        if (DeliverCompletions(held)) continue;
        if (serving && eventDue) continue;  // what came due is ready now: serve it
        if (!busy && !eventDue && (*deadline <= earliest || NowTicks() >= *deadline)) {
            AdvanceVirtualTimeTo(*deadline);
            RecordDelay(DelayKind::WaitTimeout, *deadline - start);
            dispatcher.changed.notify_all();
            return STATUS_TIMEOUT;
        }
        // The bus reported progress since the probe looked: look again now.
        if (serving && dispatcher.progress != seen) continue;
        Block(held, kRecheckPeriod);
    }
}

NTSTATUS WaitReal(std::unique_lock<std::mutex>& held, DISPATCHER_HEADER* header,
                  std::optional<LONGLONG> deadline, LONGLONG start) {
    bool timerWait = IsTimer(header) && header->Inserted != 0;
    for (;;) {
        if (TrySatisfy(header)) {
            if (timerWait) RecordDelay(DelayKind::TimerWait, NowTicks() - start);
            return STATUS_SUCCESS;
        }
        if (DeliverCompletions(held)) continue;
        LONGLONG now = NowTicks();
        if (deadline && now >= *deadline) {
            RecordDelay(DelayKind::WaitTimeout, *deadline - start);
            return STATUS_TIMEOUT;
        }
        bool timerQueued = IsTimer(header) && header->Inserted != 0;
        if (!deadline && !timerQueued) {
            Block(held, std::nullopt);
            continue;
        }
        LONGLONG wake = deadline ? *deadline : std::numeric_limits<LONGLONG>::max();
        if (timerQueued) wake = std::min(wake, AsTimer(header)->DueTime);
        Block(held,
              std::min<std::chrono::nanoseconds>(TicksToDuration(wake - now), kRecheckPeriod * 10));
    }
}

NTSTATUS Wait(DISPATCHER_HEADER* header, PLARGE_INTEGER timeout) {
    static const ServiceRule& rule = RuleOf("KeWaitForSingleObject");
    CheckServiceIrql(rule);
    bool poll = timeout != nullptr && timeout->QuadPart == 0;
    if (!poll && KeGetCurrentIrql() > APC_LEVEL) {
        RecordIrqlViolation(Describe(timeout ? "KeWaitForSingleObject with a non-zero time-out "
                                               "above APC_LEVEL"
                                             : "KeWaitForSingleObject without time-out above "
                                               "APC_LEVEL",
                                     header) +
                            " [" + rule.documentation + "]");
        poll = true;  // never block at dispatch level: the waited-for work may need this thread
    }
    Dispatcher& dispatcher = TheDispatcher();
    std::unique_lock held(dispatcher.lock);
    if (!IsInitialised(header)) {
        RecordKernelError(
            Describe("KeWaitForSingleObject on an object that was never initialised", header));
        return STATUS_UNSUCCESSFUL;
    }
    if (!poll) DeliverCompletions(held);
    if (TrySatisfy(header)) return STATUS_SUCCESS;
    if (poll) return STATUS_TIMEOUT;
    LONGLONG start = NowTicks();
    std::optional<LONGLONG> deadline;
    if (timeout != nullptr) deadline = DeadlineOf(start, *timeout);
    if (IsTimer(header) && header->Inserted == 0 && !deadline) {
        // Nothing can ever signal it: the kernel would hang this thread for good.
        RecordKernelError(Describe("wait without time-out on a timer that is not set", header));
        return STATUS_TIMEOUT;
    }
    NTSTATUS result;
    if (GetClockMode() == ClockMode::Virtual) {
        std::multiset<LONGLONG>::iterator registered;
        if (deadline) registered = dispatcher.deadlines.insert(*deadline);
        result = WaitVirtual(held, header, deadline, start);
        if (deadline) {
            if (!held.owns_lock()) held.lock();
            dispatcher.deadlines.erase(registered);
            dispatcher.changed.notify_all();  // a later deadline may be the earliest now
        }
    } else {
        result = WaitReal(held, header, deadline, start);
    }
    if (result == STATUS_TIMEOUT) {
        if (held.owns_lock()) held.unlock();
        RunWaitTimeoutHook();
    }
    return result;
}

}  // namespace

std::optional<LONGLONG> EarliestTimedWaitDeadline() {
    Dispatcher& dispatcher = TheDispatcher();
    std::lock_guard guard(dispatcher.lock);
    if (dispatcher.deadlines.empty()) return std::nullopt;
    return *dispatcher.deadlines.begin();
}

void SetWaitTimeoutHook(std::function<void()> hook) {
    std::lock_guard guard(TheTimeoutHook().lock);
    TheTimeoutHook().hook =
        hook ? std::make_shared<const std::function<void()>>(std::move(hook)) : nullptr;
}

void NotifyWaiters() {
    std::lock_guard guard(TheDispatcher().lock);
    TheDispatcher().changed.notify_all();
}

void ReportBusProgress() {
    const bool wake = WaitersServeBus();
    std::lock_guard guard(TheDispatcher().lock);
    ++TheDispatcher().progress;
    if (wake) TheDispatcher().changed.notify_all();
}

uint64_t ProgressReports() {
    std::lock_guard guard(TheDispatcher().lock);
    return TheDispatcher().progress;
}

bool WaitForProgress(uint64_t seen, std::chrono::nanoseconds limit) {
    Dispatcher& dispatcher = TheDispatcher();
    std::unique_lock held(dispatcher.lock);
    return dispatcher.changed.wait_for(held, limit, [&] { return dispatcher.progress != seen; });
}

}  // namespace host

void KeInitializeMutex(PRKMUTEX mutex, ULONG) {
    static const host::ServiceRule& rule = host::RuleOf("KeInitializeMutex");
    host::CheckServiceIrql(rule);
    host::Initialise(&mutex->Header, host::kMutantObject, 1);
}

LONG KeReleaseMutex(PRKMUTEX mutex, BOOLEAN) {
    using namespace host;
    static const ServiceRule& rule = RuleOf("KeReleaseMutex");
    CheckServiceIrql(rule);
    std::lock_guard guard(TheDispatcher().lock);
    DISPATCHER_HEADER& header = mutex->Header;
    LONG previous = header.SignalState;
    if (header.SignalState > 0) {
        RecordKernelError(Describe("KeReleaseMutex of a mutex that is not held", mutex));
        return previous;
    }
    if (mutex->OwnerThread != CurrentThreadToken()) {
        RecordKernelError(
            Describe("KeReleaseMutex by a thread that does not own the mutex", mutex) + " [" +
            rule.documentation + "]");
        return previous;
    }
    --CurrentThreadState().mutexesHeld;
    header.SignalState += 1;
    if (header.SignalState == 1) {
        mutex->OwnerThread = nullptr;
        TheDispatcher().changed.notify_all();
    }
    return previous;
}

void KeInitializeEvent(PRKEVENT event, EVENT_TYPE type, BOOLEAN state) {
    static const host::ServiceRule& rule = host::RuleOf("KeInitializeEvent");
    host::CheckServiceIrql(rule);
    host::Initialise(&event->Header,
                     type == SynchronizationEvent ? host::kEventSynchronizationObject
                                                  : host::kEventNotificationObject,
                     state ? 1 : 0);
}

LONG KeSetEvent(PRKEVENT event, KPRIORITY, BOOLEAN) {
    using namespace host;
    static const ServiceRule& rule = RuleOf("KeSetEvent");
    CheckServiceIrql(rule);
    std::lock_guard guard(TheDispatcher().lock);
    if (!host::IsInitialised(&event->Header))
        RecordKernelError(Describe("KeSetEvent on an event that was never initialised", event));
    LONG previous = event->Header.SignalState;
    event->Header.SignalState = 1;
    TheDispatcher().changed.notify_all();
    return previous;
}

void KeClearEvent(PRKEVENT event) {
    static const host::ServiceRule& rule = host::RuleOf("KeClearEvent");
    host::CheckServiceIrql(rule);
    std::lock_guard guard(host::TheDispatcher().lock);
    event->Header.SignalState = 0;
}

LONG KeReadStateEvent(PRKEVENT event) {
    static const host::ServiceRule& rule = host::RuleOf("KeReadStateEvent");
    host::CheckServiceIrql(rule);
    std::lock_guard guard(host::TheDispatcher().lock);
    return event->Header.SignalState;
}

void KeInitializeTimerEx(PKTIMER timer, TIMER_TYPE type) {
    static const host::ServiceRule& rule = host::RuleOf("KeInitializeTimerEx");
    host::CheckServiceIrql(rule);
    host::Initialise(&timer->Header,
                     type == SynchronizationTimer ? host::kTimerSynchronizationObject
                                                  : host::kTimerNotificationObject,
                     0);
    std::lock_guard guard(host::TheDispatcher().lock);
    timer->DueTime = 0;
}

void KeInitializeTimer(PKTIMER timer) {
    KeInitializeTimerEx(timer, NotificationTimer);
}

BOOLEAN KeSetTimer(PKTIMER timer, LARGE_INTEGER dueTime, KDPC* dpc) {
    using namespace host;
    static const ServiceRule& rule = RuleOf("KeSetTimer");
    CheckServiceIrql(rule);
    if (dpc != nullptr)
        RecordKernelError(
            Describe("KeSetTimer with a DPC, which the emulation does not run", timer));
    std::lock_guard guard(TheDispatcher().lock);
    BOOLEAN wasQueued = timer->Header.Inserted != 0;
    timer->DueTime = DeadlineOf(NowTicks(), dueTime);
    timer->Header.SignalState = 0;
    timer->Header.Inserted = 1;
    TheDispatcher().changed.notify_all();
    return wasQueued;
}

BOOLEAN KeCancelTimer(PKTIMER timer) {
    static const host::ServiceRule& rule = host::RuleOf("KeCancelTimer");
    host::CheckServiceIrql(rule);
    std::lock_guard guard(host::TheDispatcher().lock);
    host::UpdateTimer(&timer->Header);
    BOOLEAN wasQueued = timer->Header.Inserted != 0;
    timer->Header.Inserted = 0;
    return wasQueued;
}

NTSTATUS KeWaitForSingleObject(PVOID object, KWAIT_REASON, KPROCESSOR_MODE, BOOLEAN,
                               PLARGE_INTEGER timeout) {
    return host::Wait(static_cast<DISPATCHER_HEADER*>(object), timeout);
}

NTSTATUS KeDelayExecutionThread(KPROCESSOR_MODE, BOOLEAN, PLARGE_INTEGER interval) {
    using namespace host;
    if (interval == nullptr) {
        RecordKernelError("KeDelayExecutionThread without an interval");
        return STATUS_INVALID_PARAMETER;
    }
    static const ServiceRule& rule = RuleOf("KeDelayExecutionThread");
    if (KeGetCurrentIrql() > rule.maxIrql) {
        CheckServiceIrql(rule);
        return STATUS_SUCCESS;  // captured: a sleep above APC_LEVEL does not sleep
    }
    DeliverQueuedCompletions();
    LONGLONG start = NowTicks();
    LONGLONG ticks = interval->QuadPart < 0 ? -interval->QuadPart
                                            : std::max<LONGLONG>(interval->QuadPart - start, 0);
    RecordDelay(DelayKind::Sleep, ticks);
    if (GetClockMode() == ClockMode::Real) {
        std::this_thread::sleep_for(TicksToDuration(ticks));
        return STATUS_SUCCESS;
    }
    AdvanceVirtualTime(ticks);
    NotifyWaiters();  // timed waiters on due timers re-check
    PauseForBusyWork(ticks);
    return STATUS_SUCCESS;
}

void KeQuerySystemTime(PLARGE_INTEGER currentTime) {
    currentTime->QuadPart = host::NowTicks();
}
