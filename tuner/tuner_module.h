#pragma once
// The tuner module's single model, register lists and the mutex that serialises every operation
// on them (tunes and register-9 writes). The model and lists may only be touched while a
// TunerModuleLock is held. The lock comes after the tune lock and before the bridge exchange lock
// in the driver's lock order (usb/cqzusb.h).
#include "tuner/tuner_program.h"

// Holds the tuner mutex for its lifetime. Passive level only; the mutex is owner-recursive.
class TunerModuleLock {
  public:
    TunerModuleLock();
    ~TunerModuleLock();
    TunerModuleLock(const TunerModuleLock&) = delete;
    TunerModuleLock& operator=(const TunerModuleLock&) = delete;
};

TunerState& TunerModuleState();
TunerRegisterLists& TunerModuleLists();
