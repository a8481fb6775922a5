#pragma once
// The tune an application's change commit runs, driven from the CLI: argument checks, the
// frequency rounding and window of the commit, the tune sequence on the started device, and
// what the simulated chips and the clock saw of it.
#include <cstdint>
#include <optional>
#include <string>

#include "options.h"
#include "platform/ks.h"
#include "session.h"

namespace kvssim {

// The receiver's tuning window and the commit's rounding, in kHz.
constexpr uint32_t kLowestFrequencyKHz = 450000;
constexpr uint32_t kHighestFrequencyKHz = 880000;
constexpr uint32_t kRoundingThresholdKHz = 474000;
constexpr uint32_t kRoundingStepKHz = 1000;

// A frequency in kHz as the commit tunes it: above 474000 rounded to 1000, halves upward.
uint32_t CommitFrequencyKHz(uint32_t requestedKHz);
// Parses --frequency (decimal kHz). nullopt with `error` set for an empty, non-numeric, zero or
// out-of-window value.
std::optional<uint32_t> ParseFrequencyKHz(const std::string& text, std::string* error);
// 6, 7 or 8 MHz; anything else sets `error`.
bool CheckBandwidthMHz(unsigned bandwidthMHz, std::string* error);

struct TuneOutcome {
    uint32_t requestedKHz = 0;
    uint32_t tunedKHz = 0;  // after the commit's rounding
    unsigned bandwidthMHz = 8;
    bool locked = false;
    // The demodulator's view of the lock search (step and attempt that locked, 1-based attempt).
    int lockStep = -1;
    int lockAttemptInStep = 0;
    int lockAttemptsInSearch = 0;
    bool lockInversion = false;
    int searchAttempts = 0;
    int inversionFlips = 0;
    double elapsedMs = 0;           // wall time of the whole tune
    long long mandatedDelayMs = 0;  // sleeps the driver asked for during it
    size_t delayCount = 0;
    uint64_t tunerHz = 0;         // what the tuner receives afterwards (0 asleep)
    std::string transmitterName;  // transmitter on the tuned channel, empty when none
};

// Plugs the stick of `options` and returns its started device, or null with `error` set.
PKSDEVICE PlugStartedStick(Session& session, const GlobalOptions& options, std::string* error);

// Runs the commit's tune on `device`: stop the stream, clear the lock flag, tune, store the lock
// flag, and park the tuner when nothing locked.
TuneOutcome RunCommitTune(Session& session, PKSDEVICE device, uint32_t requestedKHz,
                          unsigned bandwidthMHz);

}  // namespace kvssim
