// Register file, power state and synthesiser decoding of the simulated tuner.
#include "sim/tuner_chip.h"

namespace sim {

namespace {

constexpr size_t kWriteLogLimit = 1 << 16;

constexpr uint8_t kPowerRegister = 9;
constexpr uint8_t kWriteTrailer = 0xFE;

// Registers that hold the RF synthesiser's integer, fraction and divider selection.
constexpr uint8_t kSynthesizerRegisters[] = {14, 15, 16, 17, 69, 110, 111};

// Divider selections of the RF VCO: register 111 bit 4, register 111 bit 5, register 110
// bits 0..1 and register 69 bits 2..4.
struct DividerSelection {
    uint8_t bit111_4;
    uint8_t bit111_5;
    uint8_t bits110;
    uint8_t bits69;
    uint32_t divider;
};
constexpr DividerSelection kDividers[] = {
    {1, 0, 1, 1, 64}, {0, 0, 1, 1, 32}, {0, 0, 1, 2, 16}, {0, 0, 1, 4, 8},
    {1, 0, 1, 0, 8},  {1, 0, 2, 0, 8},  {0, 1, 1, 0, 4},
};

}  // namespace

bool TunerChip::Write(uint8_t address, const uint8_t* bytes, size_t count) {
    std::lock_guard<std::mutex> lock(mutex_);
    WriteRecord record;
    record.address = address;
    record.bytes.assign(bytes, bytes + count);
    const bool wellFormed =
        address == kAddress && (count == 2 || (count == 3 && bytes[2] == kWriteTrailer));
    record.acknowledged = wellFormed;
    if (writes_.size() == kWriteLogLimit) writes_.pop_front();
    writes_.push_back(std::move(record));
    if (!wellFormed) return false;

    registers_[bytes[0]] = bytes[1];
    written_[bytes[0]] = true;
    if (bytes[0] == kPowerRegister) awake_ = bytes[1] != 0x00;
    return true;
}

bool TunerChip::Read(uint8_t, uint8_t, uint8_t*, size_t) {
    return false;
}

uint32_t TunerChip::DividerLocked() const {
    const uint8_t r111 = registers_[111];
    const uint8_t sel4 = (r111 >> 4) & 1;
    const uint8_t sel5 = (r111 >> 5) & 1;
    const uint8_t sel110 = registers_[110] & 0x03;
    const uint8_t sel69 = (registers_[69] >> 2) & 0x07;
    for (const DividerSelection& d : kDividers) {
        if (d.bit111_4 == sel4 && d.bit111_5 == sel5 && d.bits110 == sel110 && d.bits69 == sel69) {
            return d.divider;
        }
    }
    return 0;
}

uint64_t TunerChip::SynthesizerLocked() const {
    for (uint8_t r : kSynthesizerRegisters) {
        if (!written_[r]) return 0;
    }
    const uint32_t divider = DividerLocked();
    if (divider == 0) return 0;
    const uint64_t integer = registers_[14] & 0x7F;
    const uint64_t fraction = (static_cast<uint64_t>(registers_[15]) << 10) |
                              (static_cast<uint64_t>(registers_[16]) << 2) |
                              ((registers_[17] >> 6) & 0x03);
    const uint64_t reference = 2ull * kReferenceDivider * kCrystalHz;
    const uint64_t scaled = (integer << kFractionBits) + fraction;
    const uint64_t denominator = static_cast<uint64_t>(divider) << kFractionBits;
    return (scaled * reference + denominator / 2) / denominator;
}

uint64_t TunerChip::TunedFrequencyHz() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return awake_ ? SynthesizerLocked() : 0;
}

uint64_t TunerChip::SynthesizerFrequencyHz() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return SynthesizerLocked();
}

uint32_t TunerChip::Divider() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return DividerLocked();
}

double TunerChip::ResolutionHz() const {
    const uint32_t divider = Divider();
    if (divider == 0) return 0.0;
    return 2.0 * kReferenceDivider * kCrystalHz / divider /
           static_cast<double>(1u << kFractionBits);
}

uint32_t TunerChip::BandwidthMHz() const {
    std::lock_guard<std::mutex> lock(mutex_);
    if (!written_[53]) return 0;
    switch ((registers_[53] >> 3) & 0x03) {
        case 0:
            return 8;
        case 2:
            return 7;
        case 3:
            return 6;
        default:
            return 0;
    }
}

bool TunerChip::Awake() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return awake_;
}

uint8_t TunerChip::Register(uint8_t registerNumber) const {
    std::lock_guard<std::mutex> lock(mutex_);
    return registers_[registerNumber];
}

bool TunerChip::Written(uint8_t registerNumber) const {
    std::lock_guard<std::mutex> lock(mutex_);
    return written_[registerNumber];
}

std::vector<TunerChip::WriteRecord> TunerChip::Writes() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return {writes_.begin(), writes_.end()};
}

void TunerChip::ClearWrites() {
    std::lock_guard<std::mutex> lock(mutex_);
    writes_.clear();
}

}  // namespace sim
