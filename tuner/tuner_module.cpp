// Module-wide tuner model, register lists and their mutex.
#include "tuner/tuner_module.h"

#include "tuner/tuner_sequence.h"

namespace {

TunerState tunerState;
TunerRegisterLists tunerLists;
KMUTEX tunerMutex;

}  // namespace

void TunerInitialize() {
    RtlZeroMemory(&tunerState, sizeof(tunerState));
    RtlZeroMemory(&tunerLists, sizeof(tunerLists));
    KeInitializeMutex(&tunerMutex, 0);
}

TunerModuleLock::TunerModuleLock() {
    KeWaitForSingleObject(&tunerMutex, Executive, KernelMode, FALSE, nullptr);
}

TunerModuleLock::~TunerModuleLock() {
    KeReleaseMutex(&tunerMutex, FALSE);
}

TunerState& TunerModuleState() {
    return tunerState;
}

TunerRegisterLists& TunerModuleLists() {
    return tunerLists;
}
