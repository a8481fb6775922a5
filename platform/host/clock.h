#pragma once
// The clock behind KeQuerySystemTime, sleeps, timers and timed waits.
//
// Real mode: waits and sleeps really wait. Virtual mode (the default): sleeps and timer waits
// advance a virtual clock at once and are recorded, so tests can assert every mandated delay
// without spending it. A timed wait on an event or mutex in virtual mode returns as soon as the
// object is signalled; it times out (advancing virtual time by its timeout) only when the
// progress probe says that no work is in progress anywhere that could still signal it.
#include <functional>
#include <vector>

#include "platform/kernel.h"

namespace host {

enum class ClockMode { Real, Virtual };
void SetClockMode(ClockMode mode);
ClockMode GetClockMode();

// Current system time in 100 ns units since 1601-01-01 (what KeQuerySystemTime returns).
LONGLONG NowTicks();
// Virtual mode only: moves the virtual clock forward (no effect in real mode).
void AdvanceVirtualTime(LONGLONG ticks);

enum class DelayKind {
    Sleep,        // KeDelayExecutionThread
    TimerWait,    // a wait that ended because a timer became due
    WaitTimeout,  // a timed wait on another object that timed out
};
struct RecordedDelay {
    DelayKind kind;
    LONGLONG ticks;  // requested duration, 100 ns units
    LONGLONG Milliseconds() const { return ticks / 10000; }
};
// Delays recorded in both modes, in the order they began.
std::vector<RecordedDelay> RecordedDelays();
// The durations in milliseconds of the recorded delays of one kind.
std::vector<LONGLONG> RecordedDelayMilliseconds(DelayKind kind);
void ClearRecordedDelays();

// Registered by the USB bus emulation: returns true while work is in progress that may still
// signal a waiter (requests queued or being processed). Called without any kernel lock held, from
// any thread. An empty function means "no work in progress".
void SetProgressProbe(std::function<bool()> workInProgress);
void ClearProgressProbe();
bool WorkInProgress();

// Registered by the USB bus emulation (virtual mode): bus time is discrete. A device may park a
// request until a moment of the clock (a reply still being prepared, a bus frame still to
// pass); the source moves the virtual clock to the earliest such moment no later than `limit`,
// offers the requests due then again, and returns true; false when nothing is due by `limit`.
// A timed wait that finds no work in progress brings the next event due (limited by the
// earliest deadline of all timed waits) before it considers timing out.
void SetEventSource(std::function<bool(LONGLONG limit)> source);
bool BringNextEventDue(LONGLONG limit);

// Registered by a USB bus emulation that lets waiting threads serve it (virtual mode): serves one
// request that is ready on the bus on the calling thread, a thread about to block in a kernel wait
// at PASSIVE_LEVEL or APC_LEVEL, and returns whether it served one. The request is handled and
// completed as a bus worker would (completion at DISPATCH_LEVEL, in whatever thread context the
// bus completes in, as Windows allows); the waiter then re-checks what it waits for. This spares
// the hand-offs between the waiter and the bus's workers that cost real time on a loaded machine.
void SetWaiterService(std::function<bool()> serve);
void ClearWaiterService();
bool ServeOnWaitingThread();
// Whether a waiter service is registered (virtual mode). Without one, waiting threads keep the
// real pauses that let the bus's workers and the clock's keeper do their work before the clock
// moves on; with one, a waiting thread does that work itself, and looks again as soon as the bus
// reports progress instead of pausing.
bool WaitersServeBus();

// Test hook: runs on the waiting thread each time a timed wait has timed out, before the wait
// returns STATUS_TIMEOUT. What the hook brings about reaches the thread as the kernel delivers an
// APC that arrives just as a wait ends: the thread's queued packet completions run after the
// hook, still before the wait returns. So a test can place a completion exactly between a
// time-out and what the waiter does next. An empty function removes the hook.
void SetWaitTimeoutHook(std::function<void()> hook);

}  // namespace host
