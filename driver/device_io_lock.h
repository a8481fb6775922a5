#pragma once
// The device I/O mutex of a stick's transport, held for as long as the lock object lives, with
// normal kernel APCs disabled (a critical region) meanwhile. Kernel mutexes are recursive, so a
// sequence that holds it may call operations that take it again (the stream start).
//
// Lock order (the driver's one order): device I/O mutex -> tune and tuner locks -> bridge
// exchange lock -> request mutex -> spin locks.
#include "driver/device_context.h"
#include "usb/cqzusb.h"

class DeviceIoLock {
  public:
    explicit DeviceIoLock(DeviceContext* context)
        : transport_(context != nullptr ? context->transport : nullptr) {
        if (transport_ == nullptr) return;
        KeWaitForSingleObject(&transport_->ioMutex, Executive, KernelMode, FALSE, nullptr);
        KeEnterCriticalRegion();
    }
    ~DeviceIoLock() {
        if (transport_ == nullptr) return;
        KeLeaveCriticalRegion();
        KeReleaseMutex(&transport_->ioMutex, FALSE);
    }
    DeviceIoLock(const DeviceIoLock&) = delete;
    DeviceIoLock& operator=(const DeviceIoLock&) = delete;

  private:
    CQZUSB* transport_;
};
