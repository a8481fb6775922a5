// Module-wide serialisation of the tune sequence (passive level only; callers may sleep).
#include "demod/demod_tune_lock.h"

#include "demod/demod_control.h"

namespace {
KMUTEX tuneMutex;
}

void InitializeDemodControl() {
    KeInitializeMutex(&tuneMutex, 0);
}

void AcquireTuneLock() {
    (void)KeWaitForSingleObject(&tuneMutex, Executive, KernelMode, FALSE, nullptr);
}

void ReleaseTuneLock() {
    (void)KeReleaseMutex(&tuneMutex, FALSE);
}
