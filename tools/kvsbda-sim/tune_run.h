#pragma once
// A tune as a BDA application makes it, for the commands that tune: argument checks, the filter
// opened and its pins created through the host's kernel streaming, the frequency (and bandwidth)
// put on the tuner node and committed, the signal statistics read back, and next to them what
// the simulated chips and the clock saw.
#include <chrono>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>

#include "options.h"
#include "platform/host/bda_receiver_application.h"
#include "platform/ks.h"
#include "session.h"

namespace kvssim {

// How long an application waits after a locked commit before it reads the signal statistics:
// the stick's status reports carry strength and quality, and the first two after the stream's
// restart are passed over.
constexpr unsigned kDefaultSettleMs = 1000;
// How long an application watches the lock after a commit before it takes the channel as not
// locked. The first two status reports after the stream's restart are passed over, so a lock
// flag that a report cleared comes back with the third, up to three report periods later.
constexpr unsigned kLockWaitMs = 1500;

// Parses --frequency (decimal kHz). nullopt with `error` set for an empty, non-numeric, zero or
// out-of-range (above 32 bits) value. The receiver's window is the driver's business.
std::optional<uint32_t> ParseFrequencyKHz(const std::string& text, const char* option,
                                          std::string* error);
// 6, 7 or 8 MHz; anything else sets `error`.
bool CheckBandwidthMHz(unsigned bandwidthMHz, std::string* error);

struct TuneOutcome {
    uint32_t requestedKHz = 0;
    unsigned bandwidthMHz = 8;         // as stored by the bandwidth property
    NTSTATUS status = STATUS_SUCCESS;  // the first failed step of the tune, if any
    // What the application reads from the signal-statistics properties.
    host::BdaSignalReading signal;
    bool locked = false;      // the signal-locked property
    unsigned lockSeenMs = 0;  // wait after the commit until the lock was read (or given up)
    unsigned settledMs = 0;   // further wait before the statistics were read
    double commitMs = 0;      // the commit method, wall time
    std::chrono::steady_clock::time_point commitStart;
    // The simulator's view.
    int lockStep = -1;
    int lockAttemptInStep = 0;
    int lockAttemptsInSearch = 0;
    bool lockInversion = false;
    int searchAttempts = 0;
    int inversionFlips = 0;
    uint64_t searchHz = 0;  // what the tuner received while the lock search ran (0: no search)
    long long mandatedDelayMs = 0;  // sleeps the driver asked for during the commit
    size_t delayCount = 0;
    uint64_t tunerHz = 0;         // what the tuner receives afterwards (0 asleep)
    std::string transmitterName;  // transmitter on the tuner's channel, empty when none
    std::string requestedName;    // transmitter within half a megahertz of the request
};

// Plugs the stick of `options` and returns its started device, or null with `error` set.
PKSDEVICE PlugStartedStick(Session& session, const GlobalOptions& options, std::string* error);

// Opens the application on the device (filter and both pins); false with `error` on failure.
bool OpenApplication(host::BdaReceiverApplication& app, std::string* error);

// Tunes through the application: start changes, frequency and bandwidth on the tuner node,
// check, commit. `afterCommit` (if any) runs as soon as the commit has returned, before anything
// else is asked of the driver. The lock is watched for up to kLockWaitMs; a locked tune then waits
// `settleMs` before the statistics are read.
TuneOutcome TuneThroughApplication(Session& session, host::BdaReceiverApplication& app,
                                   uint32_t requestedKHz, unsigned bandwidthMHz, unsigned settleMs,
                                   const std::function<void()>& afterCommit = {});

// Watches the signal-locked property after a tune, as a television application does, until it
// reads locked or kLockWaitMs have passed; returns the last value read and the wait. One read is
// not an answer: the driver's lock flag follows the stick's status reports too, and a report sent
// while the demodulator re-acquires after the tune's closing soft reset reads as no lock until a
// later report says otherwise.
ULONG AwaitLock(host::BdaReceiverApplication& app, unsigned* waitedMs);

// The tuner's frequency in kHz, rounded; and the frequency the lock search ran on.
uint32_t TunerKHz(const TuneOutcome& outcome);
uint32_t SearchKHz(const TuneOutcome& outcome);

}  // namespace kvssim
