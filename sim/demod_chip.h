#pragma once
// The simulated demodulator on the stick's I2C bus (addresses 0x32 and 0x36): a register file
// with the soft reset, the first-stage flag, the lock status, the lock copy and the strength
// registers, driven by the air and the tuner's programmed frequency.
#include <cstdint>
#include <functional>
#include <mutex>
#include <optional>

#include "sim/air.h"
#include "sim/components.h"

namespace sim {

// The demodulator's strength reading (AGC level) is 13 bits wide.
constexpr uint16_t kStrengthFullScale = 0x1FFF;
// What the chip reads for a transmitter on its channel (its strength, saturated at full scale),
// or, with none, the noise floor.
uint16_t StrengthReadingOf(const Transmitter* transmitter);

class DemodChip : public I2cDevice {
  public:
    // `tunedHz` gives the frequency the tuner's registers select (0 when none); `nowMs` a
    // monotonic time in milliseconds (by default the host clock, virtual or real).
    DemodChip(const Air& air, std::function<uint64_t()> tunedHz,
              std::function<int64_t()> nowMs = {});

    bool Write(uint8_t address, const uint8_t* bytes, size_t count) override;
    bool Read(uint8_t address, uint8_t registerNumber, uint8_t* out, size_t count) override;

    // What the chip saw of the driver's latest lock search: a new one begins with the write of
    // the defaults block (register 0x09) or with ResetObservations.
    struct LockObservation {
        int step = -1;             // row of the search table whose settings locked
        int attemptInStep = 0;     // 1-based attempt under those settings
        int attemptsInSearch = 0;  // attempts of all steps up to and including this one
        bool inversion = false;    // register 0x7C bit 7 at lock
    };
    struct Observations {
        int softResets = 0;
        int searchAttempts = 0;  // soft resets followed by first-stage polls
        int inversionFlips = 0;  // writes that changed register 0x7C bit 7
        // What the tuner received when the search began (the defaults block was written).
        uint64_t searchTunedHz = 0;
        std::optional<LockObservation> lock;
    };
    Observations GetObservations() const;
    void ResetObservations();

    // The transmitter the chip is locked to now (tuned, settings matching, time elapsed), or
    // null. The stream and the status reports of the stick follow this.
    const Transmitter* LockedTransmitter() const;
    // Transmitter on the tuned channel, locked or not.
    const Transmitter* TunedTransmitter() const;

    // Direct register file access for tests.
    uint8_t Register(uint8_t address, uint8_t registerNumber) const;
    void SetRegister(uint8_t address, uint8_t registerNumber, uint8_t value);

  private:
    uint8_t& Cell(uint8_t address, uint8_t registerNumber);
    uint8_t CellValue(uint8_t address, uint8_t registerNumber) const;
    // Follows the tuner: a new frequency restarts acquisition. Called with the lock held.
    void TrackTuner() const;
    bool Detected() const;
    bool Locked() const;
    bool SettingsMatch(const Transmitter& t) const;
    uint8_t ReadLocked(uint8_t address, uint8_t registerNumber);
    void WriteLocked(uint8_t address, uint8_t registerNumber, uint8_t value);

    const Air& air_;
    std::function<uint64_t()> tunedHz_;
    std::function<int64_t()> nowMs_;
    mutable std::mutex mutex_;
    uint8_t low_[256] = {};
    uint8_t high_[256] = {};
    bool resetLow_ = false;
    mutable uint64_t lastTunedHz_ = 0;
    mutable int64_t acquireStartMs_ = 0;

    Observations observations_;
    bool attemptPending_ = false;
    int lastStep_ = -2;
    int attemptInStep_ = 0;
};

}  // namespace sim
