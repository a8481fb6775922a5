#include "sim/i2c_bus.h"

#include <utility>

namespace sim {

namespace {
constexpr size_t kLogLimit = 1 << 16;
}  // namespace

void I2cBus::Attach(uint8_t address, I2cDevice* device) {
    std::lock_guard lock(mutex_);
    devices_[address] = device;
}

void I2cBus::Detach(uint8_t address) {
    std::lock_guard lock(mutex_);
    devices_.erase(address);
}

void I2cBus::NakNext(uint8_t address, int count) {
    std::lock_guard lock(mutex_);
    pendingNaks_[address] += count;
}

I2cDevice* I2cBus::Target(uint8_t address) {
    auto nak = pendingNaks_.find(address);
    if (nak != pendingNaks_.end() && nak->second > 0) {
        if (--nak->second == 0) pendingNaks_.erase(nak);
        return nullptr;
    }
    auto device = devices_.find(address);
    return device != devices_.end() ? device->second : nullptr;
}

bool I2cBus::Write(uint8_t address, const uint8_t* bytes, size_t count) {
    std::lock_guard lock(mutex_);
    Access access;
    access.write = true;
    access.address = address;
    if (count > 0) {
        access.registerNumber = bytes[0];
        access.data.assign(bytes + 1, bytes + count);
    }
    I2cDevice* device = Target(address);
    access.acknowledged = device != nullptr && count > 0 && device->Write(address, bytes, count);
    const bool acknowledged = access.acknowledged;
    Record(std::move(access));
    return acknowledged;
}

bool I2cBus::Read(uint8_t address, uint8_t registerNumber, uint8_t* out, size_t count) {
    std::lock_guard lock(mutex_);
    Access access;
    access.address = address;
    access.registerNumber = registerNumber;
    I2cDevice* device = Target(address);
    access.acknowledged = device != nullptr && device->Read(address, registerNumber, out, count);
    if (access.acknowledged) access.data.assign(out, out + count);
    const bool acknowledged = access.acknowledged;
    Record(std::move(access));
    return acknowledged;
}

bool I2cBus::ReadCurrent(uint8_t address, uint8_t* out, size_t count) {
    std::lock_guard lock(mutex_);
    Access access;
    access.address = address;
    I2cDevice* device = Target(address);
    access.acknowledged = device != nullptr && device->ReadCurrent(address, out, count);
    if (access.acknowledged) access.data.assign(out, out + count);
    const bool acknowledged = access.acknowledged;
    Record(std::move(access));
    return acknowledged;
}

std::vector<I2cBus::Access> I2cBus::Log() const {
    std::lock_guard lock(mutex_);
    return {log_.begin(), log_.end()};
}

void I2cBus::Record(Access access) {
    if (log_.size() == kLogLimit) log_.pop_front();
    log_.push_back(std::move(access));
}

void I2cBus::ClearLog() {
    std::lock_guard lock(mutex_);
    log_.clear();
}

}  // namespace sim
