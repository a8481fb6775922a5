#pragma once
// The tune behind a change commit: the frequency window and rounding, the tune sequence with its
// shortcut for a channel that is already locked, parking the tuner when nothing locks, and the
// stream restart with a PID table. Private properties reuse TuneCurrentFrequency and
// RestartStreamWithPidTable.
#include "platform/ks.h"

// The receiver's window and the commit's rounding, in kHz; the bandwidth every tune uses, MHz.
constexpr ULONG kTuneLowestKHz = 450000;
constexpr ULONG kTuneHighestKHz = 880000;
constexpr ULONG kTuneRoundingThresholdKHz = 474000;
constexpr ULONG kTuneRoundingStepKHz = 1000;
constexpr ULONG kTuneBandwidthMHz = 8;

// Module-wide: the last tune that reached the chips is forgotten; called once at driver entry.
void InitializeTuneCommit();

// The frequency a tune uses for the requested one: above 474000 kHz rounded to the nearest
// 1000 kHz, halves upward, in unsigned 32-bit arithmetic; at or below it unchanged.
ULONG TuneFrequencyKHz(ULONG requestedKHz);

// Tunes the device's `frequency`; the outcome is left in tuneLocked and the lock flag. The stream
// is stopped and stays stopped.
void TuneCurrentFrequency(PKSDEVICE device);

// Loads a PID table (`count` entries of two bytes, low byte first; none: the default entry
// 0x1FFF with mode 2) and restarts the stream reader, unless the stick has stopped.
void RestartStreamWithPidTable(PKSDEVICE device, ULONG mode, const UCHAR* entries, ULONG count);

// The private extended tune: tunes |frequency - offsetFrequency| of the device with its stored
// bandwidth (no window, no rounding, no shortcut; nothing when either is 0 or the stick has
// stopped), leaves the outcome in tuneLocked and the lock flag, and restarts the stream with the
// default PID table whatever the outcome. Holds the device I/O mutex throughout.
void ExtendedTune(PKSDEVICE device);

// The commit's tune: when changes are pending, tunes and, on lock, restarts the stream with the
// default PID table; the pending mark is cleared. Runs under the device I/O mutex, so that two
// commits (or a commit and a private tune) never interleave their steps.
void CommitPendingTune(PKSDEVICE device);

// The last tune that reached the chips (0 before any).
ULONG LastTunedFrequencyKHz();
