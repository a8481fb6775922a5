#pragma once
// The stick's I2C bus behind the bridge's gateway: routes each access to the chip attached at
// its 8-bit address, and can be told to NAK accesses (fault injection).
#include <cstdint>
#include <deque>
#include <map>
#include <mutex>
#include <vector>

#include "sim/components.h"

namespace sim {

class I2cBus {
  public:
    struct Access {
        bool write = false;
        uint8_t address = 0;
        uint8_t registerNumber = 0;
        std::vector<uint8_t> data;  // written data (after the register) or data read
        bool acknowledged = false;
    };

    // The bus does not own its chips; one chip may answer several addresses.
    void Attach(uint8_t address, I2cDevice* device);
    void Detach(uint8_t address);

    // A write of `bytes` (register first). False is a NAK: nobody at the address, the chip
    // refused, or an injected fault.
    bool Write(uint8_t address, const uint8_t* bytes, size_t count);
    bool Read(uint8_t address, uint8_t registerNumber, uint8_t* out, size_t count);
    // A read without a register phase (logged with register 0).
    bool ReadCurrent(uint8_t address, uint8_t* out, size_t count);

    // The next `count` accesses to `address` are NAKed without reaching the chip.
    void NakNext(uint8_t address, int count = 1);

    std::vector<Access> Log() const;
    void ClearLog();

  private:
    // Called with the lock held: the chip at the address unless a NAK is due.
    I2cDevice* Target(uint8_t address);
    void Record(Access access);

    mutable std::mutex mutex_;
    std::map<uint8_t, I2cDevice*> devices_;
    std::map<uint8_t, int> pendingNaks_;
    std::deque<Access> log_;  // the latest accesses, bounded
};

}  // namespace sim
