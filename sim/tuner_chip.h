#pragma once
// The simulated MXL5003s tuner on the stick's I2C bus (8-bit address 0xC6). It keeps the
// register file the driver writes, whether the tuner is powered, and decodes from its RF
// synthesiser registers the frequency the tuner is set to. It is write-only, as the driver uses
// it: reads are NAKed.
//
// Write transactions: two bytes (register, value), or three bytes (register, value, 0xFE) - the
// form the driver uses for registers 9 and 25. Anything else is NAKed and changes nothing.
//
// Power model: register 9 is the power/operation control. The tuner comes up asleep; a write of
// 0x00 to register 9 puts it to sleep and any other value (the driver uses 0xB1, 0xF3 and 0xF0)
// wakes it. A sleeping tuner passes no signal, so TunedFrequencyHz() is 0 while asleep.
//
// Frequency model (16 MHz crystal, reference divided by 2): the RF LO runs at
//   (integer + fraction / 2^18) * 64 MHz / N
// with the integer in register 14 bits 0..6, the 18-bit fraction in register 15 (bits 17..10),
// register 16 (bits 9..2) and register 17 bits 7..6 (bits 1..0), and the VCO divider N selected
// by register 111 bits 4 and 5, register 110 bits 0..1 and register 69 bits 2..4.
#include <cstdint>
#include <deque>
#include <mutex>
#include <vector>

#include "sim/components.h"

namespace sim {

class TunerChip : public I2cDevice {
  public:
    static constexpr uint8_t kAddress = 0xC6;
    static constexpr uint32_t kCrystalHz = 16000000;
    static constexpr uint32_t kReferenceDivider = 2;
    static constexpr uint32_t kFractionBits = 18;

    struct WriteRecord {
        uint8_t address = 0;
        std::vector<uint8_t> bytes;
        bool acknowledged = false;
    };

    bool Write(uint8_t address, const uint8_t* bytes, size_t count) override;
    bool Read(uint8_t address, uint8_t registerNumber, uint8_t* out, size_t count) override;

    // The frequency the tuner receives: the decoded synthesiser frequency while awake, else 0.
    uint64_t TunedFrequencyHz() const;
    // What the synthesiser registers select, awake or not; 0 until they have all been written
    // or when the divider selection is not one the chip has.
    uint64_t SynthesizerFrequencyHz() const;
    // The divider N the registers select, 0 when none.
    uint32_t Divider() const;
    // Frequency step of the fractional synthesiser at the selected divider, in Hz.
    double ResolutionHz() const;
    // Channel filter bandwidth from register 53 bits 3..4 (6, 7 or 8 MHz), 0 when unknown.
    uint32_t BandwidthMHz() const;
    bool Awake() const;

    uint8_t Register(uint8_t registerNumber) const;
    bool Written(uint8_t registerNumber) const;
    // The latest write transactions addressed to the chip (up to 65,536), acknowledged or NAKed,
    // in order.
    std::vector<WriteRecord> Writes() const;
    void ClearWrites();

  private:
    uint64_t SynthesizerLocked() const;
    uint32_t DividerLocked() const;

    mutable std::mutex mutex_;
    uint8_t registers_[256] = {};
    bool written_[256] = {};
    bool awake_ = false;
    std::deque<WriteRecord> writes_;  // bounded: a long run tunes thousands of times
};

}  // namespace sim
