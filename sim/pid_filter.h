#pragma once
// The bridge's PID filter registers 0x00-0x20 as the running firmware keeps them. Register pairs
// (2i, 2i+1) hold entry i, low byte first; register 0x20 is the filter control. The stream path
// asks Accept(pid) for each packet.
//
// Control: bit 7 with bit 0 clear (mode 0) passes only the entries 0..n-1, where bits 1-4 hold
// n-1; bit 0 set (mode 2) or any other value passes the whole stream, as does a filter that was
// never loaded.
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
