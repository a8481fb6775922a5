#pragma once
// A wire capture of the bus in pcap format with the USBPcap pseudo-header (link type 249), which
// Wireshark and tshark decode: every request when it is submitted and again when it completes.
//
// Descriptor requests appear as control transfers with their setup packet (GET_DESCRIPTOR,
// wValue = type << 8 | index, wLength = the requested length), select configuration as a control
// SET_CONFIGURATION, bulk and interrupt transfers with their data (OUT data on submission, IN data
// on completion), isochronous transfers with their packet table, pipe aborts as bare request
// records. Time stamps come from the kernel clock, so virtual-time captures are reproducible.
#include <cstdint>
#include <cstdio>
#include <mutex>
#include <string>
#include <vector>

#include "platform/host/usb_bus.h"

namespace sim {

constexpr uint32_t kLinkTypeUsbPcap = 249;

class PcapWriter : public host::UsbTrafficObserver {
  public:
    // Creates (truncates) the file; IsOpen() tells whether that worked.
    explicit PcapWriter(const std::string& path);
    ~PcapWriter() override;
    PcapWriter(const PcapWriter&) = delete;
    PcapWriter& operator=(const PcapWriter&) = delete;

    bool IsOpen() const { return file_ != nullptr; }
    size_t RecordsWritten() const;
    void Flush();

    void RequestSubmitted(const host::UsbTrafficRecord& record) override;
    void RequestCompleted(const host::UsbTrafficRecord& record) override;

  private:
    void WriteRecord(const host::UsbTrafficRecord& record, bool completed);
    void WritePacket(const std::vector<uint8_t>& packet);

    mutable std::mutex lock_;
    std::FILE* file_ = nullptr;
    size_t records_ = 0;
};

}  // namespace sim
