// The simulated demodulator: a register file whose detection and lock registers follow the air.
#include "sim/demod_chip.h"

#include "platform/host/clock.h"

namespace sim {

namespace {

constexpr uint8_t kAddressLow = 0x32;
constexpr uint8_t kAddressHigh = 0x36;
constexpr uint8_t kRegReset = 0x02;
constexpr uint8_t kRegSearchMode = 0x04;
constexpr uint8_t kRegDefaultsFirst = 0x09;
constexpr uint8_t kRegSearchOption = 0x37;
// The strength reading: a 13-bit AGC level, bits 7..0 in register 0x3E and bits 12..8 in bits
// 4..0 of register 0x3F (its upper bits read as 0), as demodulators of this kind split an
// AGC/RSSI reading wider than a byte over a register pair.
constexpr uint8_t kRegStrengthLow = 0x3E;
constexpr uint8_t kRegStrengthHigh = 0x3F;
constexpr uint8_t kRegDetect = 0x4B;
constexpr uint8_t kRegInversion = 0x7C;
constexpr uint8_t kRegLockValue = 0xA2;
constexpr uint8_t kRegLockStatus = 0xA4;
// The AGC level with nothing on the channel.
constexpr uint16_t kNoiseStrength = 0x05;

int64_t HostNowMs() {
    return host::NowTicks() / 10000;
}

}  // namespace

uint16_t StrengthReadingOf(const Transmitter* transmitter) {
    if (transmitter == nullptr) return kNoiseStrength;
    // The converter saturates at its full scale.
    return transmitter->strength > kStrengthFullScale ? kStrengthFullScale : transmitter->strength;
}

DemodChip::DemodChip(const Air& air, std::function<uint64_t()> tunedHz,
                     std::function<int64_t()> nowMs)
    : air_(air), tunedHz_(std::move(tunedHz)), nowMs_(nowMs ? std::move(nowMs) : HostNowMs) {
    // Power-on values of the registers the driver reads back and modifies.
    low_[0x00] = 0x01;
    low_[kRegReset] = 0x01;
    low_[0x03] = 0x01;
    low_[kRegSearchMode] = 0x00;
    low_[0x07] = 0x8F;
    low_[0x37] = 0x00;
    low_[kRegInversion] = 0x00;
    low_[0x7E] = 0x00;
    high_[0xC5] = 0x3F;
    acquireStartMs_ = nowMs_();
}

uint8_t& DemodChip::Cell(uint8_t address, uint8_t registerNumber) {
    return address == kAddressHigh ? high_[registerNumber] : low_[registerNumber];
}

uint8_t DemodChip::CellValue(uint8_t address, uint8_t registerNumber) const {
    return address == kAddressHigh ? high_[registerNumber] : low_[registerNumber];
}

void DemodChip::TrackTuner() const {
    const uint64_t hz = tunedHz_ ? tunedHz_() : 0;
    if (hz != lastTunedHz_) {
        lastTunedHz_ = hz;
        acquireStartMs_ = nowMs_();
    }
}

bool DemodChip::SettingsMatch(const Transmitter& t) const {
    return (low_[kRegSearchMode] & 0x03) == (t.mode.searchModeBits & 0x03) &&
           ((low_[kRegSearchOption] & 0x80) != 0) == t.mode.searchOption &&
           ((low_[kRegInversion] & 0x80) != 0) == t.mode.inversion;
}

const Transmitter* DemodChip::TunedTransmitter() const {
    std::lock_guard<std::mutex> guard(mutex_);
    TrackTuner();
    return air_.Find(lastTunedHz_);
}

bool DemodChip::Detected() const {
    TrackTuner();
    const Transmitter* t = air_.Find(lastTunedHz_);
    return t != nullptr && nowMs_() - acquireStartMs_ >= int64_t{t->detectMs};
}

bool DemodChip::Locked() const {
    if (!Detected()) return false;
    const Transmitter* t = air_.Find(lastTunedHz_);
    return SettingsMatch(*t) && nowMs_() - acquireStartMs_ >= int64_t{t->detectMs} + t->lockMs;
}

const Transmitter* DemodChip::LockedTransmitter() const {
    std::lock_guard<std::mutex> guard(mutex_);
    return Locked() ? air_.Find(lastTunedHz_) : nullptr;
}

uint8_t DemodChip::ReadLocked(uint8_t address, uint8_t registerNumber) {
    const uint8_t stored = CellValue(address, registerNumber);
    if (address != kAddressLow) return stored;
    switch (registerNumber) {
        case kRegDetect: {
            if (attemptPending_) {
                attemptPending_ = false;
                ++observations_.searchAttempts;
                const int step =
                    StepOfSettings(low_[kRegSearchMode], (low_[kRegSearchOption] & 0x80) != 0);
                attemptInStep_ = step == lastStep_ ? attemptInStep_ + 1 : 1;
                lastStep_ = step;
            }
            return static_cast<uint8_t>((stored & 0x7F) | (Detected() ? 0x80 : 0x00));
        }
        case kRegLockStatus: {
            const bool locked = Locked();
            if (locked && !observations_.lock) {
                LockObservation lock;
                lock.step = lastStep_;
                lock.attemptInStep = attemptInStep_;
                lock.attemptsInSearch = observations_.searchAttempts;
                lock.inversion = (low_[kRegInversion] & 0x80) != 0;
                observations_.lock = lock;
            }
            return static_cast<uint8_t>((stored & 0xFC) | (locked ? 0x01 : 0x00));
        }
        case kRegLockValue: {
            const Transmitter* t = Locked() ? air_.Find(lastTunedHz_) : nullptr;
            return t != nullptr ? t->lockValue : stored;
        }
        case kRegStrengthLow:
        case kRegStrengthHigh: {
            TrackTuner();
            const uint16_t level = StrengthReadingOf(air_.Find(lastTunedHz_));
            return registerNumber == kRegStrengthLow ? static_cast<uint8_t>(level & 0xFF)
                                                     : static_cast<uint8_t>(level >> 8);
        }
        default:
            return stored;
    }
}

void DemodChip::WriteLocked(uint8_t address, uint8_t registerNumber, uint8_t value) {
    uint8_t& cell = Cell(address, registerNumber);
    if (address == kAddressLow) {
        if (registerNumber == kRegReset) {
            if ((value & 0x01) == 0) {
                resetLow_ = true;
            } else if (resetLow_) {
                // Reset released: acquisition starts over with the current settings.
                resetLow_ = false;
                acquireStartMs_ = nowMs_();
                attemptPending_ = true;
                ++observations_.softResets;
            }
        } else if (registerNumber == kRegDefaultsFirst) {
            // The defaults block is written once per tune, before the lock search.
            observations_ = Observations{};
            observations_.searchTunedHz = tunedHz_ ? tunedHz_() : 0;
            attemptPending_ = false;
            lastStep_ = -2;
            attemptInStep_ = 0;
        } else if (registerNumber == kRegInversion && ((cell ^ value) & 0x80) != 0) {
            ++observations_.inversionFlips;
        }
    }
    cell = value;
}

bool DemodChip::Write(uint8_t address, const uint8_t* bytes, size_t count) {
    if ((address != kAddressLow && address != kAddressHigh) || bytes == nullptr || count < 2) {
        return false;
    }
    std::lock_guard<std::mutex> guard(mutex_);
    uint8_t registerNumber = bytes[0];
    for (size_t i = 1; i < count; ++i) WriteLocked(address, registerNumber++, bytes[i]);
    return true;
}

bool DemodChip::Read(uint8_t address, uint8_t registerNumber, uint8_t* out, size_t count) {
    if ((address != kAddressLow && address != kAddressHigh) || out == nullptr) return false;
    std::lock_guard<std::mutex> guard(mutex_);
    for (size_t i = 0; i < count; ++i) out[i] = ReadLocked(address, registerNumber++);
    return true;
}

DemodChip::Observations DemodChip::GetObservations() const {
    std::lock_guard<std::mutex> guard(mutex_);
    return observations_;
}

void DemodChip::ResetObservations() {
    std::lock_guard<std::mutex> guard(mutex_);
    observations_ = Observations{};
    attemptPending_ = false;
    lastStep_ = -2;
    attemptInStep_ = 0;
}

uint8_t DemodChip::Register(uint8_t address, uint8_t registerNumber) const {
    std::lock_guard<std::mutex> guard(mutex_);
    return CellValue(address, registerNumber);
}

void DemodChip::SetRegister(uint8_t address, uint8_t registerNumber, uint8_t value) {
    std::lock_guard<std::mutex> guard(mutex_);
    Cell(address, registerNumber) = value;
}

}  // namespace sim
