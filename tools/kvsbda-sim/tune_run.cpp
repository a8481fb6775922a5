#include "tune_run.h"

#include <thread>

#include "driver/device_context.h"
#include "platform/host/clock.h"

namespace kvssim {

namespace {

constexpr uint32_t kRequestedChannelKHz = 500;
constexpr auto kLockPoll = std::chrono::milliseconds(10);

ULONG ReadLocked(host::BdaReceiverApplication& app) {
    ULONG locked = 0;
    (void)app.OutputPinHandle()->GetULong(KSPROPSETID_BdaSignalStats, KSPROPERTY_BDA_SIGNAL_LOCKED,
                                          &locked, app.DemodulatorNode());
    return locked;
}

}  // namespace

std::optional<uint32_t> ParseFrequencyKHz(const std::string& text, const char* option,
                                          std::string* error) {
    const std::string name = option;
    if (text.empty()) {
        *error = name + " wants a frequency in kHz, e.g. " + name + " 474000";
        return std::nullopt;
    }
    uint64_t value = 0;
    for (char c : text) {
        if (c < '0' || c > '9') {
            *error = name + " wants a whole number of kHz, got \"" + text + "\"";
            return std::nullopt;
        }
        value = value * 10 + static_cast<uint64_t>(c - '0');
        if (value > UINT32_MAX) {
            *error = name + " " + text + " kHz does not fit the frequency property (32 bits)";
            return std::nullopt;
        }
    }
    if (value == 0) {
        *error = name + " must not be 0";
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

bool OpenApplication(host::BdaReceiverApplication& app, std::string* error) {
    const NTSTATUS status = app.Open();
    if (NT_SUCCESS(status)) return true;
    *error = "the receiver filter could not be opened with its pins (" + StatusText(status) + ")";
    return false;
}

TuneOutcome TuneThroughApplication(Session& session, host::BdaReceiverApplication& app,
                                   uint32_t requestedKHz, unsigned bandwidthMHz, unsigned settleMs,
                                   const std::function<void()>& afterCommit) {
    TuneOutcome outcome;
    outcome.requestedKHz = requestedKHz;
    session.Demod().ResetObservations();
    const size_t delaysBefore = host::RecordedDelays().size();

    const host::BdaTuneResult result = app.Tune(requestedKHz, bandwidthMHz);
    if (afterCommit) afterCommit();
    outcome.status = result.Status();
    outcome.commitStart = result.commitStart;
    outcome.commitMs =
        std::chrono::duration<double, std::milli>(result.commitEnd - result.commitStart).count();
    const std::vector<host::RecordedDelay> delays = host::RecordedDelays();
    for (size_t i = delaysBefore; i < delays.size(); ++i) {
        if (delays[i].kind != host::DelayKind::Sleep) continue;
        outcome.mandatedDelayMs += delays[i].Milliseconds();
        ++outcome.delayCount;
    }

    // The lock first (reading it consumes nothing); the figures after the reports have come.
    const ULONG locked = NT_SUCCESS(outcome.status) ? AwaitLock(app, &outcome.lockSeenMs) : 0;
    if (locked != 0 && settleMs != 0) {
        std::this_thread::sleep_for(std::chrono::milliseconds(settleMs));
        outcome.settledMs = settleMs;
    }
    outcome.signal = app.ReadSignal();
    outcome.locked = outcome.signal.locked != 0;
    ULONG bandwidth = 0;
    if (NT_SUCCESS(app.InputPin()->GetULong(KSPROPSETID_BdaFrequencyFilter,
                                            KSPROPERTY_BDA_RF_TUNER_BANDWIDTH, &bandwidth,
                                            app.TunerNode())))
        outcome.bandwidthMHz = bandwidth;

    const sim::DemodChip::Observations seen = session.Demod().GetObservations();
    outcome.searchAttempts = seen.searchAttempts;
    outcome.inversionFlips = seen.inversionFlips;
    outcome.searchHz = seen.searchTunedHz;
    if (seen.lock) {
        outcome.lockStep = seen.lock->step;
        outcome.lockAttemptInStep = seen.lock->attemptInStep;
        outcome.lockAttemptsInSearch = seen.lock->attemptsInSearch;
        outcome.lockInversion = seen.lock->inversion;
    }
    outcome.tunerHz = session.Tuner().TunedFrequencyHz();
    if (const sim::Transmitter* on = session.Air().Find(outcome.tunerHz))
        outcome.transmitterName = on->name;
    for (const sim::Transmitter& t : session.Air().transmitters) {
        const uint32_t distance = t.frequencyKHz > requestedKHz ? t.frequencyKHz - requestedKHz
                                                                : requestedKHz - t.frequencyKHz;
        if (distance <= kRequestedChannelKHz) outcome.requestedName = t.name;
    }
    return outcome;
}

ULONG AwaitLock(host::BdaReceiverApplication& app, unsigned* waitedMs) {
    const auto start = std::chrono::steady_clock::now();
    const auto limit = start + std::chrono::milliseconds(kLockWaitMs);
    ULONG locked = ReadLocked(app);
    while (locked == 0 && std::chrono::steady_clock::now() < limit) {
        std::this_thread::sleep_for(kLockPoll);
        locked = ReadLocked(app);
    }
    *waitedMs = static_cast<unsigned>(std::chrono::duration_cast<std::chrono::milliseconds>(
                                          std::chrono::steady_clock::now() - start)
                                          .count());
    return locked;
}

uint32_t TunerKHz(const TuneOutcome& outcome) {
    return static_cast<uint32_t>((outcome.tunerHz + 500) / 1000);
}

uint32_t SearchKHz(const TuneOutcome& outcome) {
    return static_cast<uint32_t>((outcome.searchHz + 500) / 1000);
}

}  // namespace kvssim
