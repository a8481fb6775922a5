#include "sim/pid_filter.h"

namespace sim {

namespace {
constexpr uint8_t kEnable = 0x80;
constexpr uint8_t kPassAll = 0x01;
constexpr uint16_t kPidMask = 0x1FFF;
}  // namespace

void PidFilter::Write(uint8_t registerNumber, uint8_t value) {
    if (registerNumber >= kRegisterCount) return;  // not a filter register
    std::lock_guard lock(mutex_);
    registers_[registerNumber] = value;
}

uint8_t PidFilter::Register(uint8_t registerNumber) const {
    std::lock_guard lock(mutex_);
    return registerNumber < kRegisterCount ? registers_[registerNumber] : 0;
}

size_t PidFilter::ActiveEntriesLocked() const {
    const uint8_t control = registers_[kControlRegister];
    if ((control & kEnable) == 0 || (control & kPassAll) != 0) return 0;
    return ((control >> 1) & 0x0F) + 1u;
}

size_t PidFilter::ActiveEntries() const {
    std::lock_guard lock(mutex_);
    return ActiveEntriesLocked();
}

bool PidFilter::Accept(uint16_t pid) const {
    std::lock_guard lock(mutex_);
    const size_t entries = ActiveEntriesLocked();
    if (entries == 0) return true;
    for (size_t i = 0; i < entries; ++i) {
        const uint16_t entry = registers_[2 * i] | (registers_[2 * i + 1] << 8);
        if ((entry & kPidMask) == (pid & kPidMask)) return true;
    }
    return false;
}

}  // namespace sim
