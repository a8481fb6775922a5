#pragma once
// Who moves a read on once it has completed: its completion routine, or the code that submitted
// it.
//
// A driver below may complete a read inside the very call that submits it (a filter that has the
// data at hand does). A completion routine that then resubmitted would nest the next submission
// inside that call, and so on for as long as reads complete that way: the stack would grow
// without bound. So the submitter marks the read as under submission while its call to the
// driver below runs; a completion that finds that mark does its own work (the read's data) but
// leaves the next step (resubmit or release) to the submitter, which takes it once the call has
// returned and loops instead of nesting. A completion that comes after the call has returned
// moves the read on itself. The mark lives in one of the packet's driver-context slots; the two
// sides settle who won with one exchange each.
#include "platform/kernel.h"

namespace handover {

inline PVOID Mark(ULONG_PTR value) {
    return reinterpret_cast<PVOID>(value);
}
constexpr ULONG_PTR kSubmitting = 1;       // the submitter is inside its call to the driver below
constexpr ULONG_PTR kReturned = 2;         // the call returned first: the completion moves on
constexpr ULONG_PTR kCompletedInCall = 3;  // completed first: the submitter moves on

// Before the call that passes the packet down.
inline void BeginSubmission(PIRP irp, int slot) {
    irp->Tail.Overlay.DriverContext[slot] = Mark(kSubmitting);
}

// In the completion routine: true when the submitter has not returned from its call yet and
// will move the read on; the routine must then neither resubmit nor release it.
inline bool CompletionLeavesItToSubmitter(PIRP irp, int slot) {
    return InterlockedCompareExchangePointer(&irp->Tail.Overlay.DriverContext[slot],
                                             Mark(kCompletedInCall),
                                             Mark(kSubmitting)) == Mark(kSubmitting);
}

// In the submitter, right after its call: true when the read completed meanwhile and the
// submitter must move it on; false when its completion will (the packet may be gone already).
inline bool SubmitterMovesOn(PIRP irp, int slot) {
    return InterlockedCompareExchangePointer(&irp->Tail.Overlay.DriverContext[slot],
                                             Mark(kReturned),
                                             Mark(kSubmitting)) != Mark(kSubmitting);
}

}  // namespace handover
