#pragma once
// A synthetic transport stream for the simulated stick: PAT, PMT, a PCR PID and counting
// payload PIDs, each with its own continuity counter. Every packet that carries payload (tables
// aside) holds a per-PID sequence number and bytes derived from it, so the checker can tell
// exactly which packets arrived. Reads hand out whole 188-byte packets only.
#include <cstdint>
#include <mutex>

#include "sim/components.h"
#include "sim/ts_pacer.h"

namespace sim {

struct TsGeneratorOptions {
    // Bits per second. 0 means unlimited: every read is answered in full.
    uint64_t bitsPerSecond = 0;
    // Produce at bitsPerSecond on the host clock (the wall clock in real-time mode, the virtual
    // clock in tests); otherwise the generator always has data and the caller's clock decides how
    // fast it is read.
    bool realTime = false;
    uint16_t pmtPid = 0x0100;
    uint16_t pcrPid = 0x01FF;
    uint16_t firstPayloadPid = 0x0200;
    uint16_t payloadPids = 2;
    uint16_t programNumber = 1;
    // The stream ends after this many packets (0: endless).
    uint64_t packetLimit = 0;
};

// DMB-T's highest stream rate and the practical ceiling of a USB 2.0 high-speed bulk pipe.
constexpr uint64_t kDmbtMaxBitsPerSecond = 32'486'000;
constexpr uint64_t kUsbHighSpeedBitsPerSecond = 53'248'000 * 8;

class TsGenerator : public TransportStreamSource {
  public:
    explicit TsGenerator(TsGeneratorOptions options = {});

    size_t Read(uint8_t* out, size_t capacity) override;
    bool Paced() const override { return pacer_.Paced(); }

    // Writes packet number `index` of the stream (188 bytes). Packets depend only on their
    // index, so a stream can be rebuilt for comparison.
    void BuildPacket(uint64_t index, uint8_t* out) const;
    uint64_t PacketsProduced() const;
    const TsGeneratorOptions& Options() const { return options_; }

    // The stream's layout: which packet numbers carry which tables.
    static constexpr uint64_t kTableInterval = 512;  // PAT at 0, PMT at 1 of every interval
    static constexpr uint64_t kPcrInterval = 32;     // a PCR packet at 2 of every interval

  private:
    struct Slot {
        uint16_t pid;
        uint64_t sequence;  // per-PID packet number, which also gives the continuity counter
        enum Kind { kPat, kPmt, kPcr, kPayload } kind;
    };
    Slot SlotOf(uint64_t index) const;
    void BuildPat(const Slot& slot, uint8_t* out) const;
    void BuildPmt(const Slot& slot, uint8_t* out) const;
    void BuildCounting(const Slot& slot, uint64_t index, uint8_t* out) const;

    const TsGeneratorOptions options_;
    mutable std::mutex lock_;
    TsPacer pacer_;
    uint64_t next_ = 0;
};

}  // namespace sim
