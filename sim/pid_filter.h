#pragma once
// The bridge's PID filter registers 0x00-0x20 as the running firmware keeps them. Register pairs
// (2i, 2i+1) hold entry i, low byte first; register 0x20 is the filter control. The stream path
// asks Accept(pid) for each packet.
//
// Control: bit 7 enables the filter; bit 0 set (the driver's mode 2) passes the whole stream;
// otherwise only the entries 0..n-1 pass, where bits 1-4 hold n-1. What bit 5 (set by the
// driver's modes other than 0 and 2) selects in the firmware is not known: the model ignores it,
// so such a control passes entry 0 alone. A filter that was never loaded passes everything.
#include <array>
#include <cstdint>
#include <mutex>

namespace sim {

class PidFilter {
  public:
    static constexpr uint8_t kControlRegister = 0x20;
    static constexpr size_t kRegisterCount = kControlRegister + 1;

    void Write(uint8_t registerNumber, uint8_t value);
    uint8_t Register(uint8_t registerNumber) const;
    bool Accept(uint16_t pid) const;
    // Number of entries a loaded mode-0 filter passes; 0 when the whole stream passes.
    size_t ActiveEntries() const;

  private:
    size_t ActiveEntriesLocked() const;

    mutable std::mutex mutex_;
    std::array<uint8_t, kRegisterCount> registers_{};
};

}  // namespace sim
