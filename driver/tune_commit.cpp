// The commit's tune and the stream restart after it.
//
// Lock order (the driver's one order): device I/O mutex -> tune and tuner locks -> bridge
// exchange lock -> request mutex -> spin locks. A commit holds the device I/O mutex for its whole
// tune and restart, so commits on two filters, a commit and a private tune, or a commit and a
// stream start never interleave their steps; the tune sequence takes the tune lock inside it.
#include "driver/tune_commit.h"

#include "bridge/bridge_channel.h"
#include "bridge/signal_status.h"
#include "demod/demod_control.h"
#include "driver/device_context.h"
#include "driver/device_io_lock.h"
#include "driver/stream_control.h"
#include "usb/cqzusb.h"

namespace {

constexpr UCHAR kDefaultPidTable[] = {0xFF, 0x1F};  // PID 0x1FFF, low byte first
constexpr ULONG kDefaultPidCount = 1;
constexpr ULONG kDefaultPidMode = 2;
constexpr ULONG kExtendedTunePidMode = 1;  // with no entries: the default table

// Module-wide, as the driver serves one stick; written only under the device I/O mutex.
ULONG gLastTunedFrequency;
ULONG gLastTunedBandwidth;

ULONG LoadField(const ULONG* field) {
    return static_cast<ULONG>(ReadLongAcquire(reinterpret_cast<LONG const volatile*>(field)));
}

void ParkAndClearLock() {
    (void)ParkTuner();
    (void)SetLockFlag(0);
}

}  // namespace

void InitializeTuneCommit() {
    gLastTunedFrequency = 0;
    gLastTunedBandwidth = 0;
}

ULONG LastTunedFrequencyKHz() {
    return gLastTunedFrequency;
}

ULONG TuneFrequencyKHz(ULONG requestedKHz) {
    if (requestedKHz <= kTuneRoundingThresholdKHz) return requestedKHz;
    return (requestedKHz + kTuneRoundingStepKHz / 2) / kTuneRoundingStepKHz * kTuneRoundingStepKHz;
}

void TuneCurrentFrequency(PKSDEVICE device) {
    DeviceContext* context = GetDeviceContext(device);
    if (context == nullptr) return;
    DeviceIoLock lock(context);
    const ULONG frequency = TuneFrequencyKHz(LoadField(&context->frequency));
    StopStream(device);

    if (IsDeviceActive(context) == 0 || frequency < kTuneLowestKHz || frequency > kTuneHighestKHz) {
        context->tuneLocked = 0;
        (void)SetLockFlag(0);
        (void)ParkTuner();
        return;
    }

    if (frequency == gLastTunedFrequency && gLastTunedBandwidth == kTuneBandwidthMHz &&
        GetLockFlag() == 1) {
        // Already locked on this channel: the chips are left as they are.
        context->tuneLocked = 1;
    } else {
        context->tuneLocked = 0;
        (void)SetLockFlag(0);
        context->tuneLocked = DemodTune(device, frequency, kTuneBandwidthMHz) ? 1 : 0;
    }
    (void)SetLockFlag(context->tuneLocked);
    gLastTunedFrequency = frequency;
    gLastTunedBandwidth = kTuneBandwidthMHz;

    if (context->tuneLocked == 0 || IsDeviceActive(context) == 0) ParkAndClearLock();
}

void ExtendedTune(PKSDEVICE device) {
    DeviceContext* context = GetDeviceContext(device);
    if (context == nullptr) return;
    DeviceIoLock lock(context);
    const ULONG frequency = LoadField(&context->frequency);
    const ULONG offset = LoadField(&context->offsetFrequency);
    const ULONG bandwidth = LoadField(&context->bandwidth);
    const ULONG tuned = frequency > offset ? frequency - offset : offset - frequency;
    StopStream(device);
    context->tuneLocked = 0;
    (void)SetLockFlag(0);
    // A stopped stick is not tuned: its transport refuses requests anyway.
    if (tuned != 0 && bandwidth != 0 && IsDeviceActive(context) == 1) {
        context->tuneLocked = DemodTune(device, tuned, bandwidth) ? 1 : 0;
        // The chips are on this channel now: a later commit may skip the chips only for it.
        gLastTunedFrequency = tuned;
        gLastTunedBandwidth = bandwidth;
    }
    (void)SetLockFlag(context->tuneLocked);
    RestartStreamWithPidTable(device, kExtendedTunePidMode, nullptr, 0);
}

void RestartStreamWithPidTable(PKSDEVICE device, ULONG mode, const UCHAR* entries, ULONG count) {
    DeviceContext* context = GetDeviceContext(device);
    if (context == nullptr) return;
    DeviceIoLock lock(context);
    if (IsDeviceActive(context) == 0) return;
    if (count != 0 && entries != nullptr) {
        (void)LoadPidTable(device, entries, count, mode);
    } else {
        (void)LoadPidTable(device, kDefaultPidTable, kDefaultPidCount, kDefaultPidMode);
    }
    StartStreamLocked(device);
}

void CommitPendingTune(PKSDEVICE device) {
    DeviceContext* context = GetDeviceContext(device);
    if (context == nullptr) return;
    DeviceIoLock lock(context);
    // Taken and cleared in one step: a check that arrives during this tune is for the next commit.
    if (InterlockedExchange(reinterpret_cast<LONG volatile*>(&context->changesPending), 0) == 1) {
        TuneCurrentFrequency(device);
        if (context->tuneLocked == 1) RestartStreamWithPidTable(device, 1, nullptr, 0);
    }
}
