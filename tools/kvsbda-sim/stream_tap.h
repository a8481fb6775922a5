#pragma once
// Counts what the stick delivers on its stream pipe, as the bus completes each read to the
// driver, so the CLI can tell bytes the application received from bytes the driver dropped.
// What becomes of each read is asked of a probe right before the driver's completion routine
// runs (one pipe's completions run one at a time and in order, so it sees the state that
// routine will see).
#include <atomic>
#include <cstdint>
#include <functional>

#include "platform/host/usb_bus.h"

namespace kvssim {

enum class ReadFate {
    Delivered,          // its bytes go on towards the pin
    DroppedAfterStart,  // one of the reads the reader drops after each start
    AfterStop,          // it ended after its stream had stopped
};

class StreamTap : public host::UsbTrafficObserver {
  public:
    using ReadProbe = std::function<ReadFate(const host::UsbTrafficRecord& record)>;

    StreamTap(UCHAR streamEndpoint, ReadProbe probe)
        : endpoint_(streamEndpoint), probe_(std::move(probe)) {}

    void RequestSubmitted(const host::UsbTrafficRecord&) override {}
    void RequestCompleted(const host::UsbTrafficRecord& record) override;

    // Successful reads that carried bytes, and their bytes.
    uint64_t Reads() const { return reads_.load(); }
    uint64_t Bytes() const { return bytes_.load(); }
    // Bytes of the reads the reader drops after each start (its first two).
    uint64_t LeadingBytes() const { return leadingBytes_.load(); }
    // Bytes of reads that ended after their stream had stopped.
    uint64_t AfterStopBytes() const { return afterStopBytes_.load(); }
    uint64_t LargestRead() const { return largest_.load(); }

  private:
    const UCHAR endpoint_;
    const ReadProbe probe_;
    std::atomic<uint64_t> reads_{0};
    std::atomic<uint64_t> bytes_{0};
    std::atomic<uint64_t> leadingBytes_{0};
    std::atomic<uint64_t> afterStopBytes_{0};
    std::atomic<uint64_t> largest_{0};
};

}  // namespace kvssim
