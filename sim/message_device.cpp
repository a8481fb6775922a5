#include "sim/message_device.h"

#include <algorithm>
#include <cstring>

namespace sim {

namespace {
constexpr size_t kMessageLogLimit = 256;
constexpr size_t kFaultLogLimit = 256;
constexpr size_t kReadLogLimit = 4096;
constexpr size_t kMaxAnswerBody =
    MessageDevice::kMaxAnswerBytes - MessageDevice::kAnswerHeaderBytes;
}  // namespace

void MessageDevice::Fault(std::string what) {
    if (faults_.size() < kFaultLogLimit) faults_.push_back(std::move(what));
}

bool MessageDevice::Write(uint8_t address, const uint8_t* bytes, size_t count) {
    std::lock_guard lock(mutex_);
    if (address != kWriteAddress) {
        Fault("write to the read address");
        return false;
    }
    if (count < 2) {
        Fault("message of " + std::to_string(count) + " bytes");
        return false;
    }
    if (bytes[0] != static_cast<uint8_t>(count - 1)) {
        Fault("length byte " + std::to_string(bytes[0]) + " for " + std::to_string(count - 1) +
              " bytes");
        return false;
    }
    const uint8_t type = bytes[1];
    if (type == kControlType && count == 2) {
        ++controls_;
        answer_.clear();
        answerRead_ = 0;
        answerStarted_ = false;
        return true;
    }
    if (type != kDataType) {
        Fault("message type " + std::to_string(type));
        return false;
    }
    Bytes body(bytes + 2, bytes + count);
    if (messages_.size() == kMessageLogLimit) messages_.erase(messages_.begin());
    messages_.push_back(body);

    Bytes answerBody = answerBody_ ? *answerBody_ : body;
    if (answerBody.size() > kMaxAnswerBody) answerBody.resize(kMaxAnswerBody);
    answer_.assign({static_cast<uint8_t>(answerBody.size() + 1), kDataType});
    answer_.insert(answer_.end(), answerBody.begin(), answerBody.end());
    answerRead_ = 0;
    answerStarted_ = false;
    return true;
}

bool MessageDevice::Read(uint8_t, uint8_t, uint8_t*, size_t) {
    return false;  // no registers: only reads without a register phase
}

bool MessageDevice::ReadCurrent(uint8_t address, uint8_t* out, size_t count) {
    std::lock_guard lock(mutex_);
    if (address != kReadAddress) return false;
    std::memset(out, 0, count);
    if (answer_.empty()) {
        if (count == 1) ++polls_;
        return true;
    }
    if (!answerStarted_ && count == 1) {
        ++polls_;
        out[0] = static_cast<uint8_t>(answer_.size());
        return true;
    }
    answerStarted_ = true;
    if (answerReads_.size() < kReadLogLimit) answerReads_.push_back(count);
    const size_t taken = std::min(count, answer_.size() - answerRead_);
    std::memcpy(out, answer_.data() + answerRead_, taken);
    answerRead_ += taken;
    if (answerRead_ == answer_.size()) {
        answer_.clear();
        answerRead_ = 0;
        answerStarted_ = false;
    }
    return true;
}

void MessageDevice::SetAnswer(std::optional<Bytes> body) {
    std::lock_guard lock(mutex_);
    answerBody_ = std::move(body);
}

std::vector<MessageDevice::Bytes> MessageDevice::Messages() const {
    std::lock_guard lock(mutex_);
    return messages_;
}

size_t MessageDevice::ControlMessages() const {
    std::lock_guard lock(mutex_);
    return controls_;
}

std::vector<std::string> MessageDevice::Faults() const {
    std::lock_guard lock(mutex_);
    return faults_;
}

MessageDevice::Bytes MessageDevice::PendingAnswer() const {
    std::lock_guard lock(mutex_);
    return answer_;
}

size_t MessageDevice::LengthPolls() const {
    std::lock_guard lock(mutex_);
    return polls_;
}

std::vector<size_t> MessageDevice::AnswerReads() const {
    std::lock_guard lock(mutex_);
    return answerReads_;
}

void MessageDevice::ClearLog() {
    std::lock_guard lock(mutex_);
    messages_.clear();
    faults_.clear();
    controls_ = 0;
    polls_ = 0;
    answerReads_.clear();
}

}  // namespace sim
