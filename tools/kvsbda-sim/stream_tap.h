#pragma once
// Counts what the stick delivers on its stream pipe, as the bus completes each read to the
// driver, so the CLI can tell bytes the application received from bytes the driver dropped.
// It sees the reader's starts on the wire (the first read after a time with none in flight), or,
// where the caller starts the stream itself, is told of the one start.
#include <atomic>
#include <cstdint>

#include "platform/host/usb_bus.h"

namespace kvssim {

class StreamTap : public host::UsbTrafficObserver {
  public:
    explicit StreamTap(UCHAR streamEndpoint) : endpoint_(streamEndpoint) {}

    // The stream starts now (before its first read is submitted) and is not restarted while the
    // tap watches: reads that complete before the next is submitted do not count as a restart.
    void StartsNow() {
        readsSinceStart_ = 0;
        startsKnown_ = true;
    }

    void RequestSubmitted(const host::UsbTrafficRecord& record) override;
    void RequestCompleted(const host::UsbTrafficRecord& record) override;

    // Successful reads that carried bytes, and their bytes.
    uint64_t Reads() const { return reads_.load(); }
    uint64_t Bytes() const { return bytes_.load(); }
    // Bytes of the reads the reader drops after each start (its first two).
    uint64_t LeadingBytes() const { return leadingBytes_.load(); }
    uint64_t LargestRead() const { return largest_.load(); }

  private:
    const UCHAR endpoint_;
    // Stream reads in flight. A read submitted while none is in flight begins a new start of the
    // reader (a stop lets every read end before the next start submits).
    std::atomic<uint64_t> inFlight_{0};
    std::atomic<bool> startsKnown_{false};
    std::atomic<uint64_t> readsSinceStart_{0};
    std::atomic<uint64_t> reads_{0};
    std::atomic<uint64_t> bytes_{0};
    std::atomic<uint64_t> leadingBytes_{0};
    std::atomic<uint64_t> largest_{0};
};

}  // namespace kvssim
