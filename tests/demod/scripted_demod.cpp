#include "scripted_demod.h"

namespace demod_test {

const AttemptScript& ScriptedDemod::Current() const {
    const int index = attempt_ - 1;
    return index >= 0 && index < static_cast<int>(attempts.size()) ? attempts[index] : fallback;
}

bool ScriptedDemod::Accepted(Access& access) {
    access.ok = !accept || accept(access);
    log_.push_back(access);
    if (!access.ok && failTransfer) failTransfer();
    return access.ok;
}

bool ScriptedDemod::Write(uint8_t address, const uint8_t* bytes, size_t count) {
    std::lock_guard<std::mutex> guard(mutex_);
    if (count < 2) return false;
    Access access{true, address, bytes[0], bytes[1], true};
    if (!Accepted(access)) return true;
    uint8_t* file = address == 0x36 ? high_ : low_;
    if (address == 0x32 && bytes[0] == 0x02) {
        if ((bytes[1] & 1) == 0) {
            resetLow_ = true;
        } else if (resetLow_) {
            resetLow_ = false;
            ++attempt_;
            detectPolls_ = 0;
            lockPolls_ = 0;
        }
    }
    file[bytes[0]] = bytes[1];
    return true;
}

bool ScriptedDemod::Read(uint8_t address, uint8_t registerNumber, uint8_t* out, size_t count) {
    std::lock_guard<std::mutex> guard(mutex_);
    if (count < 1) return false;
    const uint8_t* file = address == 0x36 ? high_ : low_;
    uint8_t value = file[registerNumber];
    if (address == 0x32 && registerNumber == 0x4B) {
        const auto on = Current().detectOnPoll;
        ++detectPolls_;
        value = static_cast<uint8_t>((value & 0x7F) | (on && detectPolls_ >= *on ? 0x80 : 0));
    } else if (address == 0x32 && registerNumber == 0xA4) {
        const auto on = Current().lockOnPoll;
        ++lockPolls_;
        value = static_cast<uint8_t>((value & 0xFC) | (on && lockPolls_ >= *on ? 0x01 : 0x02));
    }
    Access access{false, address, registerNumber, value, true};
    if (!Accepted(access)) return true;
    out[0] = value;
    for (size_t i = 1; i < count; ++i) out[i] = file[static_cast<uint8_t>(registerNumber + i)];
    return true;
}

std::vector<Access> ScriptedDemod::Log() const {
    std::lock_guard<std::mutex> guard(mutex_);
    return log_;
}

uint8_t ScriptedDemod::Register(uint8_t address, uint8_t registerNumber) const {
    std::lock_guard<std::mutex> guard(mutex_);
    return address == 0x36 ? high_[registerNumber] : low_[registerNumber];
}

void ScriptedDemod::SetRegister(uint8_t address, uint8_t registerNumber, uint8_t value) {
    std::lock_guard<std::mutex> guard(mutex_);
    (address == 0x36 ? high_ : low_)[registerNumber] = value;
}

int ScriptedDemod::AttemptsStarted() const {
    std::lock_guard<std::mutex> guard(mutex_);
    return attempt_;
}

}  // namespace demod_test
