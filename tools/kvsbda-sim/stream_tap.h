#pragma once
// Counts what the stick delivers on its stream pipe, as the bus completes each read to the
// driver, so the CLI can tell bytes the application received from bytes the driver dropped.
#include <atomic>
#include <cstdint>

#include "platform/host/usb_bus.h"

namespace kvssim {

class StreamTap : public host::UsbTrafficObserver {
  public:
    explicit StreamTap(UCHAR streamEndpoint) : endpoint_(streamEndpoint) {}

    void RequestSubmitted(const host::UsbTrafficRecord&) override {}
    void RequestCompleted(const host::UsbTrafficRecord& record) override;

    // Successful reads that carried bytes, and their bytes.
    uint64_t Reads() const { return reads_.load(); }
    uint64_t Bytes() const { return bytes_.load(); }
    // Bytes of the first two such reads: the reader drops them after a start.
    uint64_t LeadingBytes() const { return leadingBytes_.load(); }
    uint64_t LargestRead() const { return largest_.load(); }

  private:
    const UCHAR endpoint_;
    std::atomic<uint64_t> reads_{0};
    std::atomic<uint64_t> bytes_{0};
    std::atomic<uint64_t> leadingBytes_{0};
    std::atomic<uint64_t> largest_{0};
};

}  // namespace kvssim
