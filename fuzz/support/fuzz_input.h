#pragma once
// Reads a fuzz input as a stream of small decisions. Past the end every read yields zeros, so a
// short input is a complete, well-defined script.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstring>

namespace fuzz {

class InputReader {
  public:
    InputReader(const uint8_t* data, size_t size) : data_(data), size_(size) {}

    bool Empty() const { return at_ >= size_; }
    size_t Remaining() const { return size_ - at_; }

    uint8_t Byte() { return at_ < size_ ? data_[at_++] : 0; }
    uint16_t U16() {
        const uint16_t low = Byte();
        return static_cast<uint16_t>(low | (Byte() << 8));
    }
    bool Bit() { return (Byte() & 1) != 0; }

    // Copies up to `count` bytes into `out` and returns how many there were.
    size_t Take(uint8_t* out, size_t count) {
        const size_t n = std::min(count, Remaining());
        if (n != 0) std::memcpy(out, data_ + at_, n);
        at_ += n;
        return n;
    }

  private:
    const uint8_t* data_;
    size_t size_;
    size_t at_ = 0;
};

}  // namespace fuzz
