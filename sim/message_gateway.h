#pragma once
// The bridge firmware's side of the segmented message frames: it turns them into transactions
// on the stick's I2C bus, as its gateway does for the register commands.
//
//   F4 c addr bytes...   one whole write transaction of c - 1 bytes to addr
//   F1 c addr bytes...   opens a write transaction to addr with its first c - 1 bytes
//   F2 c bytes...        adds c bytes to the open transaction
//   F3 c bytes...        adds c bytes and closes it: the bytes go to the device as one write
//   E5 02 addr k         a read of k bytes without a register phase
//
// Byte 1 counts the bytes that follow it and counts for the bridge; the frame may be longer. A
// frame out of order (F2 or F3 with nothing open, F1 or F4 while a transaction is open), or one
// whose count runs past its end, is refused and recorded as a fault; an open transaction it cuts
// short is dropped. Write frames are answered like the I2C block write (4 bytes, 0x55 first when
// accepted and, for a closing frame, acknowledged; 0x00 otherwise); a read with 0x55 (0x00 on a
// NAK) and the k bytes read.
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "sim/i2c_bus.h"

namespace sim {

class MessageGateway {
  public:
    using Bytes = std::vector<uint8_t>;
    explicit MessageGateway(I2cBus& bus) : bus_(bus) {}

    static bool IsMessageCode(uint8_t code);
    // Handles one frame and returns the reply. Called with the firmware's lock held.
    Bytes OnFrame(const uint8_t* frame, size_t length);
    // Frames refused, in words (the last 256).
    std::vector<std::string> Faults() const { return faults_; }
    void ClearFaults() { faults_.clear(); }

  private:
    struct Transaction {
        uint8_t address = 0;
        Bytes bytes;
    };
    Bytes Refuse(std::string why);
    Bytes Close(bool acknowledged);

    I2cBus& bus_;
    std::optional<Transaction> open_;
    std::vector<std::string> faults_;
};

}  // namespace sim
