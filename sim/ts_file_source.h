#pragma once
// A transport-stream file as the simulated stick's stream: read in whole packets where the
// caller's room allows, looping back to the start or ending at the end of the file.
#include <cstdint>
#include <fstream>
#include <mutex>
#include <string>

#include "sim/components.h"
#include "sim/ts_pacer.h"

namespace sim {

struct TsFileSourceOptions {
    bool loop = true;
    uint64_t bitsPerSecond = 0;  // 0: as fast as it is read
    bool realTime = false;
};

class TsFileSource : public TransportStreamSource {
  public:
    TsFileSource(const std::string& path, TsFileSourceOptions options = {});

    // False when the file could not be opened or is empty.
    bool IsOpen() const { return size_ != 0; }
    // True once a non-looping source has handed out the whole file.
    bool Ended() const;

    size_t Read(uint8_t* out, size_t capacity) override;
    bool Paced() const override { return pacer_.Paced(); }

  private:
    const TsFileSourceOptions options_;
    mutable std::mutex lock_;
    std::ifstream file_;
    uint64_t size_ = 0;
    uint64_t position_ = 0;
    TsPacer pacer_;
};

}  // namespace sim
