#pragma once
// A scripted demodulator for the lock-search tests: a plain register file that records every
// access and raises the detection flag and the lock status on the polls each attempt's script
// names. An attempt begins when a soft reset is released (register 0x02 bit 0 low, then high).
#include <cstdint>
#include <functional>
#include <mutex>
#include <optional>
#include <vector>

#include "sim/components.h"

namespace demod_test {

struct Access {
    bool write;
    uint8_t address;
    uint8_t registerNumber;
    uint8_t value;  // written value, or the value returned by a read
    bool ok;
};

struct AttemptScript {
    // 1-based poll of register 0x4B (0xA4) from which bit 7 (bits 1..0 = 01) shows; nullopt: never.
    std::optional<int> detectOnPoll;
    std::optional<int> lockOnPoll;
};

class ScriptedDemod : public sim::I2cDevice {
  public:
    // Attempts beyond the script behave like `fallback`.
    std::vector<AttemptScript> attempts;
    AttemptScript fallback;
    // Returns false to fail an access: it does not reach the register file, and `failTransfer`
    // makes the bridge's reply to the frame fail, which is how the driver sees a failed access.
    std::function<bool(const Access&)> accept;
    std::function<void()> failTransfer;

    bool Write(uint8_t address, const uint8_t* bytes, size_t count) override;
    bool Read(uint8_t address, uint8_t registerNumber, uint8_t* out, size_t count) override;

    std::vector<Access> Log() const;
    uint8_t Register(uint8_t address, uint8_t registerNumber) const;
    void SetRegister(uint8_t address, uint8_t registerNumber, uint8_t value);
    int AttemptsStarted() const;

  private:
    const AttemptScript& Current() const;
    bool Accepted(Access& access);

    mutable std::mutex mutex_;
    uint8_t low_[256] = {};
    uint8_t high_[256] = {};
    std::vector<Access> log_;
    bool resetLow_ = false;
    int attempt_ = 0;  // attempts started (soft resets released)
    int detectPolls_ = 0;
    int lockPolls_ = 0;
};

}  // namespace demod_test
