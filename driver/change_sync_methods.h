#pragma once
// Handlers of the BDA change-synchronisation methods on the filter: start, check and commit a
// set of changes, and report whether changes are pending. The commit is where a tune happens.
#include "platform/ks.h"

NTSTATUS StartChanges(PIRP irp, PKSMETHOD method, PVOID data);
NTSTATUS CheckChanges(PIRP irp, PKSMETHOD method, PVOID data);
NTSTATUS CommitChanges(PIRP irp, PKSMETHOD method, PVOID data);
NTSTATUS GetChangeState(PIRP irp, PKSMETHOD method, PVOID data);
