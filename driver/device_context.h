#pragma once
// The per-stick record, allocated zeroed at add and reached from the kernel-streaming device's
// Context slot. Field order is part of the driver's contract.
#include "platform/ks.h"

class CQZUSB;
struct StreamRing;

constexpr ULONG kKeyQueueEntries = 256;
constexpr ULONG kKeyEntryBytes = 6;

struct DeviceContext {
    StreamRing* ring;
    ULONG frequency;            // kHz
    ULONG frequencyMultiplier;  // never written
    ULONG bandwidth;            // MHz
    ULONG symbolRate;
    ULONG privateSetting8;
    ULONG privateSetting6;
    ULONG privateSetting5;
    ULONG privateSetting7;
    ULONG offsetFrequency;  // kHz
    ULONG tuningExtra1;
    ULONG tuningExtra2;
    LONG modulationType;
    LONG innerFecRate;
    LONG outerFecRate;
    LONG guardInterval;
    LONG transmissionMode;
    LONG spectralInversion;
    UCHAR tuneLocked;
    ULONG changesPending;
    ULONG interfaceEnabled;
    UNICODE_STRING interfaceLinkName;
    UCHAR deviceKind;
    CQZUSB* transport;
    PKSPIN outputPin;
    ULONG antennaPinState;
    ULONG deviceActive;
    LONG keyCount;
    UCHAR keyWriteIndex;
    UCHAR keyReadIndex;
    UCHAR keyEntries[kKeyQueueEntries][kKeyEntryBytes];
    LONG statusReportCount;

    // Guards the key queue between the interrupt completion and the property handlers that reset
    // it or take keys from it (a spin lock of the driver's lock order, usb/cqzusb.h).
    KSPIN_LOCK keyQueueLock;
    // 1 from a start that succeeded until stop: plug and play may send another start without a
    // stop in between, which must not tear down what runs.
    ULONG started;
    // Replies the stick owes for command frames that went out and whose reply was never read
    // (lost to a time-out, a failed read or a short write): they wait in the stick's reply
    // endpoint, whatever becomes of the transport, and are read off before the next frame goes
    // out. Guarded by the transport's exchange mutex.
    ULONG repliesOwed;
};

// deviceActive is written at passive level by add, start and stop and read by completion
// routines on other processors; these keep each access whole and ordered. The write is a full
// barrier: stop clears the flag and then reads the transport's request count, while a request
// raises that count and then reads the flag, and neither may see the other's old value.
inline ULONG IsDeviceActive(const DeviceContext* context) {
    return static_cast<ULONG>(
        ReadLongAcquire(reinterpret_cast<LONG const volatile*>(&context->deviceActive)));
}
inline void SetDeviceActive(DeviceContext* context, ULONG active) {
    InterlockedExchange(reinterpret_cast<LONG volatile*>(&context->deviceActive),
                        static_cast<LONG>(active));
}

inline DeviceContext* GetDeviceContext(PKSDEVICE device) {
    return device != nullptr ? static_cast<DeviceContext*>(device->Context) : nullptr;
}
