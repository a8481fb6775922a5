#pragma once
// What the stick sends from the air once its demodulator locks: the locked transmitter's
// transport stream on the stream pipe, and periodic status reports (0xBB) on the interrupt pipe
// that carry the lock flag, strength and quality of what the demodulator receives.
#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

#include "sim/components.h"
#include "sim/demod_chip.h"
#include "sim/ts_generator.h"

namespace sim {

class Stick;

// The stream of whatever transmitter the demodulator is locked to; nothing while unlocked. Each
// transmitter's stream begins where it was first read and goes on across retunes, until the
// bridge empties its buffer (Restart): the stream then begins again at its first packet.
class AirStreamSource : public TransportStreamSource {
  public:
    // `base` gives the rate and pacing (a transmitter may have a rate of its own); PIDs,
    // programme and its length come from each transmitter.
    AirStreamSource(const DemodChip& demod, TsGeneratorOptions base);
    size_t Read(uint8_t* out, size_t capacity) override;
    void Restart() override;
    // Paced when the locked transmitter's stream has a rate.
    bool Paced() const override;

  private:
    const DemodChip& demod_;
    const TsGeneratorOptions base_;
    std::mutex lock_;
    std::map<const Transmitter*, std::shared_ptr<TsGenerator>> generators_;
};

// The status report the stick sends for the demodulator's current state.
std::vector<uint8_t> StatusReportFor(const DemodChip& demod);

// Queues a status report on the stick every `periodMs` of wall-clock time while running, keeping
// at most a few unread reports queued.
class AirStatusReporter {
  public:
    AirStatusReporter(std::weak_ptr<Stick> stick, const DemodChip& demod, unsigned periodMs = 250);
    ~AirStatusReporter();
    void Start();
    void Stop();

  private:
    void Run();

    std::weak_ptr<Stick> stick_;
    const DemodChip& demod_;
    const unsigned periodMs_;
    std::mutex lock_;
    std::condition_variable wake_;
    bool running_ = false;
    std::thread thread_;
};

}  // namespace sim
