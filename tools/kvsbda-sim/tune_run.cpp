#include "tune_run.h"

#include <chrono>
#include <cstdio>

#include "driver/device_context.h"
#include "platform/host/clock.h"
#include "platform/host/driver_call.h"

namespace kvssim {

uint32_t CommitFrequencyKHz(uint32_t requestedKHz) {
    if (requestedKHz <= kRoundingThresholdKHz) return requestedKHz;
    return (requestedKHz + kRoundingStepKHz / 2) / kRoundingStepKHz * kRoundingStepKHz;
}

std::optional<uint32_t> ParseFrequencyKHz(const std::string& text, std::string* error) {
    if (text.empty()) {
        *error = "--frequency wants a frequency in kHz, e.g. --frequency 474000";
        return std::nullopt;
    }
    uint64_t value = 0;
    for (char c : text) {
        if (c < '0' || c > '9') {
            *error = "--frequency wants a whole number of kHz, got \"" + text + "\"";
            return std::nullopt;
        }
        value = value * 10 + static_cast<uint64_t>(c - '0');
        if (value > UINT32_MAX) break;
    }
    if (value == 0) {
        *error = "--frequency must not be 0";
        return std::nullopt;
    }
    const uint64_t tuned =
        value > UINT32_MAX ? value : CommitFrequencyKHz(static_cast<uint32_t>(value));
    if (tuned < kLowestFrequencyKHz || tuned > kHighestFrequencyKHz) {
        *error = "--frequency " + text + " kHz is outside the receiver's window of " +
                 std::to_string(kLowestFrequencyKHz) + " to " +
                 std::to_string(kHighestFrequencyKHz) + " kHz";
        return std::nullopt;
    }
    return static_cast<uint32_t>(value);
}

bool CheckBandwidthMHz(unsigned bandwidthMHz, std::string* error) {
    if (bandwidthMHz >= 6 && bandwidthMHz <= 8) return true;
    *error = "--bandwidth must be 6, 7 or 8 (MHz), got " + std::to_string(bandwidthMHz);
    return false;
}

PKSDEVICE PlugStartedStick(Session& session, const GlobalOptions& options, std::string* error) {
    std::optional<StickId> id = ParseStickId(options.stick);
    if (!id) {
        *error = "--stick wants VID:PID in hex, e.g. 3344:1120 (got \"" + options.stick + "\")";
        return nullptr;
    }
    std::string missing;
    if (session.Calls(&missing) == nullptr) {
        *error = "with --image this command is pending: the image has no " + missing +
                 " to tune with until the driver offers tuning through its filter";
        return nullptr;
    }
    session.Plug(*id, options.boot);
    SessionDevice* device = session.Current();
    if (device == nullptr || device->startStatus != STATUS_SUCCESS) {
        *error = "the driver did not start the stick " + FormatStickId(*id) +
                 (device != nullptr ? " (start: " + StatusText(device->startStatus) + ")" : "");
        return nullptr;
    }
    DeviceContext* context = GetDeviceContext(device->ks->Device());
    if (context == nullptr || context->transport == nullptr) {
        *error = "the started stick has no transport";
        return nullptr;
    }
    return device->ks->Device();
}

TuneOutcome RunCommitTune(Session& session, PKSDEVICE device, uint32_t requestedKHz,
                          unsigned bandwidthMHz) {
    TuneOutcome outcome;
    outcome.requestedKHz = requestedKHz;
    outcome.tunedKHz = CommitFrequencyKHz(requestedKHz);
    outcome.bandwidthMHz = bandwidthMHz;
    session.Demod().ResetObservations();
    const size_t delaysBefore = host::RecordedDelays().size();
    const auto start = std::chrono::steady_clock::now();

    std::string missing;
    const DriverCalls& calls = *session.Calls(&missing);
    host::CallDriver(calls.StopStream, device);
    host::CallDriver(calls.SetLockFlag, UCHAR{0});
    outcome.locked =
        host::CallDriver(calls.DemodTune, device, ULONG{outcome.tunedKHz}, ULONG{bandwidthMHz});
    host::CallDriver(calls.SetLockFlag, static_cast<UCHAR>(outcome.locked ? 1 : 0));
    if (!outcome.locked) {
        (void)host::CallDriver(calls.ParkTuner);
        host::CallDriver(calls.SetLockFlag, UCHAR{0});
    }

    outcome.elapsedMs =
        std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start).count();
    const std::vector<host::RecordedDelay> delays = host::RecordedDelays();
    for (size_t i = delaysBefore; i < delays.size(); ++i) {
        if (delays[i].kind != host::DelayKind::Sleep) continue;
        outcome.mandatedDelayMs += delays[i].Milliseconds();
        ++outcome.delayCount;
    }
    const sim::DemodChip::Observations seen = session.Demod().GetObservations();
    outcome.searchAttempts = seen.searchAttempts;
    outcome.inversionFlips = seen.inversionFlips;
    if (seen.lock) {
        outcome.lockStep = seen.lock->step;
        outcome.lockAttemptInStep = seen.lock->attemptInStep;
        outcome.lockAttemptsInSearch = seen.lock->attemptsInSearch;
        outcome.lockInversion = seen.lock->inversion;
    }
    outcome.tunerHz = session.Tuner().TunedFrequencyHz();
    if (const sim::Transmitter* on = session.Air().Find(uint64_t{outcome.tunedKHz} * 1000))
        outcome.transmitterName = on->name;
    return outcome;
}

}  // namespace kvssim
