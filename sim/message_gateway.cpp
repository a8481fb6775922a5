#include "sim/message_gateway.h"

#include <algorithm>

namespace sim {

namespace {
constexpr uint8_t kOnly = 0xF4, kFirst = 0xF1, kMiddle = 0xF2, kLast = 0xF3, kRead = 0xE5;
constexpr size_t kWriteReplyBytes = 4;
constexpr uint8_t kAccepted = 0x55;
constexpr size_t kMaxReadCount = 63;  // one 64-byte packet with the leading byte
constexpr size_t kFaultLimit = 256;
}  // namespace

bool MessageGateway::IsMessageCode(uint8_t code) {
    return code == kOnly || code == kFirst || code == kMiddle || code == kLast || code == kRead;
}

MessageGateway::Bytes MessageGateway::Refuse(std::string why) {
    if (faults_.size() < kFaultLimit) faults_.push_back(std::move(why));
    return Bytes(kWriteReplyBytes, 0);
}

MessageGateway::Bytes MessageGateway::Close(bool acknowledged) {
    Bytes reply(kWriteReplyBytes, 0);
    if (acknowledged) reply[0] = kAccepted;
    return reply;
}

MessageGateway::Bytes MessageGateway::OnFrame(const uint8_t* frame, size_t length) {
    if (length < 2) return Refuse("frame of " + std::to_string(length) + " bytes");
    const uint8_t code = frame[0];
    const size_t count = frame[1];
    if (count + 2 > length)
        return Refuse("code " + std::to_string(code) + " counts " + std::to_string(count) +
                      " bytes in a frame of " + std::to_string(length));
    const uint8_t* operands = frame + 2;

    if (code == kRead) {
        if (count < 2) return Refuse("read request with " + std::to_string(count) + " operands");
        const size_t asked = std::min<size_t>(operands[1], kMaxReadCount);
        Bytes reply(asked + 1, 0);
        if (bus_.ReadCurrent(operands[0], reply.data() + 1, asked))
            reply[0] = kAccepted;
        else
            std::fill(reply.begin(), reply.end(), 0);
        return reply;
    }
    if (code == kOnly || code == kFirst) {
        if (open_) {
            open_.reset();
            return Refuse("a new message began while one was open");
        }
        if (count < 1) return Refuse("first frame without an address");
        Transaction transaction{operands[0], Bytes(operands + 1, operands + count)};
        if (code == kFirst) {
            open_ = std::move(transaction);
            return Close(true);
        }
        return Close(
            bus_.Write(transaction.address, transaction.bytes.data(), transaction.bytes.size()));
    }
    // kMiddle or kLast.
    if (!open_) return Refuse("continuation without a first frame");
    open_->bytes.insert(open_->bytes.end(), operands, operands + count);
    if (code == kMiddle) return Close(true);
    Transaction transaction = std::move(*open_);
    open_.reset();
    return Close(
        bus_.Write(transaction.address, transaction.bytes.data(), transaction.bytes.size()));
}

}  // namespace sim
