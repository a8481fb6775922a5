#pragma once
// The message device on the stick's I2C bus, at 0x50 (write) and 0x51 (read): a mailbox that
// takes whole messages and offers one answer at a time.
//
// A message arrives as one write transaction: [length, type, body...], the length byte counting
// the bytes after it modulo 256 (messages may be longer than 255 bytes). Type 0x02 is a data
// message: the device keeps it and prepares its answer. Type 0x03 alone is the control message:
// it withdraws any answer not yet read. Anything else, or a length byte that does not match,
// is refused (NAK) and recorded as a fault.
//
// The answer is [L - 1, 0x02, body...], L bytes in all (at most 255, so the body is at most 253
// bytes): by default the body echoes the message's body (cut to 253 bytes); SetAnswer gives a
// body of its own. It is read without a register phase: while the answer waits unread, a one-byte
// read is the length poll and returns L; a longer read starts the answer from its first byte, and
// later reads continue it (a one-byte read too) until all L bytes have gone, which consumes it.
// With no answer waiting, reads return zeros (length 0). These choices follow what small I2C
// mailbox devices do; our documents fix only the frames the driver sends.
#include <cstddef>
#include <cstdint>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "sim/components.h"

namespace sim {

class MessageDevice : public I2cDevice {
  public:
    using Bytes = std::vector<uint8_t>;
    static constexpr uint8_t kWriteAddress = 0x50;
    static constexpr uint8_t kReadAddress = 0x51;
    static constexpr uint8_t kDataType = 0x02;
    static constexpr uint8_t kControlType = 0x03;
    static constexpr size_t kMaxAnswerBytes = 255;
    static constexpr size_t kAnswerHeaderBytes = 2;

    bool Write(uint8_t address, const uint8_t* bytes, size_t count) override;
    bool Read(uint8_t address, uint8_t registerNumber, uint8_t* out, size_t count) override;
    bool ReadCurrent(uint8_t address, uint8_t* out, size_t count) override;

    // The body of every later answer (nullopt: echo the message). Bodies above 253 bytes are cut.
    void SetAnswer(std::optional<Bytes> body);

    // Bodies of the data messages taken, in order (the last 256 kept).
    std::vector<Bytes> Messages() const;
    // Control messages taken.
    size_t ControlMessages() const;
    // Writes refused, in words.
    std::vector<std::string> Faults() const;
    // The answer waiting, whole (empty when none).
    Bytes PendingAnswer() const;
    // Length polls and answer reads served (reads of zero bytes included).
    size_t LengthPolls() const;
    std::vector<size_t> AnswerReads() const;
    void ClearLog();

  private:
    void Fault(std::string what);

    mutable std::mutex mutex_;
    std::optional<Bytes> answerBody_;
    Bytes answer_;
    size_t answerRead_ = 0;
    bool answerStarted_ = false;
    std::vector<Bytes> messages_;
    size_t controls_ = 0;
    std::vector<std::string> faults_;
    size_t polls_ = 0;
    std::vector<size_t> answerReads_;
};

}  // namespace sim
