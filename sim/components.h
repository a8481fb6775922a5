#pragma once
// Extension points of the simulated stick: the parts of the stick that answer the driver plug
// into these. The stick itself (sim/stick.h) routes USB traffic to them.
#include <cstddef>
#include <cstdint>

namespace sim {

// A chip on the stick's I2C bus, addressed by 8-bit bus addresses (0xC6 tuner, 0x32/0x36
// demodulator, 0x50/0x51 message device). Returning false is a NAK.
class I2cDevice {
  public:
    virtual ~I2cDevice() = default;
    // A write transaction: `bytes[0]` is the register number, the rest data.
    virtual bool Write(uint8_t address, const uint8_t* bytes, size_t count) = 0;
    // A register read of `count` bytes starting at `registerNumber`.
    virtual bool Read(uint8_t address, uint8_t registerNumber, uint8_t* out, size_t count) = 0;
    // A read without a register phase: the chip sends what it has next. Chips that only have
    // registers NAK it.
    virtual bool ReadCurrent(uint8_t address, uint8_t* out, size_t count) {
        (void)address;
        (void)out;
        (void)count;
        return false;
    }
};

// The bridge firmware's side of the command pipes: a frame arrives on bulk OUT 0x01 and the
// answer is read from bulk IN 0x81. Called with the stick's lock held, one frame at a time.
class CommandProcessor {
  public:
    virtual ~CommandProcessor() = default;
    virtual void OnCommandFrame(const uint8_t* frame, size_t length) = 0;
    // Copies up to `capacity` reply bytes into `out` and returns how many; 0 is an empty reply.
    // kNoReply leaves the read unanswered until it is cancelled (the driver's time-out runs);
    // kReplyNotReady parks it until the reply is ready (it is offered again as time passes).
    static constexpr long kNoReply = -1;
    static constexpr long kReplyNotReady = -2;
    virtual long TakeReply(uint8_t* out, size_t capacity) = 0;
    // After kReplyNotReady: the host clock moment (100 ns ticks) the reply will be ready.
    virtual long long ReplyReadyAt() { return 0; }
    // The host reset the reply endpoint (CLEAR_FEATURE(ENDPOINT_HALT) on bulk IN 0x81).
    virtual void ResetReplyEndpoint() {}
};

// Source of the transport stream the stick sends on its stream pipe.
class TransportStreamSource {
  public:
    virtual ~TransportStreamSource() = default;
    // Fills up to `capacity` bytes; returns how many (0 when nothing is available now).
    virtual size_t Read(uint8_t* out, size_t capacity) = 0;
    // True when the source produces at a rate on the host clock, so that Read hands out what has
    // arrived by now; false when its data is there whenever it is read.
    virtual bool Paced() const { return false; }
    // The bridge emptied its stream buffer: what is read next starts the stream afresh.
    virtual void Restart() {}
};

}  // namespace sim
