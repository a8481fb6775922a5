#pragma once
// Arguments and output shared by the commands of the private property set: numbers and lists of
// numbers (decimal or 0x-hex), hex byte strings, what the bridge channel carried during a
// command, and whether the driver restarted its stream reads.
#include <atomic>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "platform/host/usb_bus.h"

namespace kvssim {

using Bytes = std::vector<uint8_t>;

// "474000", "0x1FF": a number up to `max`; nullopt with `error` naming `option` otherwise.
std::optional<uint64_t> ParseNumber(const std::string& text, uint64_t max, const char* option,
                                    std::string* error);
// "0x100,0x101": a comma-separated list of such numbers (an empty text is an empty list).
std::optional<std::vector<uint64_t>> ParseNumberList(const std::string& text, uint64_t max,
                                                     const char* option, std::string* error);
// "0102ab", "01 02 AB", "01:02:ab": bytes in hex.
std::optional<Bytes> ParseHexBytes(const std::string& text, const char* option, std::string* error);
// "01 02 AB" (spaced) or "0102AB" (packed).
std::string HexText(const Bytes& bytes, bool spaced = true);
std::string Hex16(uint32_t value);  // 0x0100
std::string StatusName(long status);

// Counts the stream reads the driver submits while it is attached: a stream start submits its
// reads afresh, a stopped stream submits none.
class StreamReadProbe : public host::UsbTrafficObserver {
  public:
    StreamReadProbe(host::UsbBus& bus, UCHAR endpoint);
    ~StreamReadProbe() override;
    void RequestSubmitted(const host::UsbTrafficRecord& record) override;
    void RequestCompleted(const host::UsbTrafficRecord&) override {}
    uint64_t Submitted() const { return submitted_.load(); }

  private:
    host::UsbBus& bus_;
    const UCHAR endpoint_;
    std::atomic<uint64_t> submitted_{0};
};

}  // namespace kvssim
