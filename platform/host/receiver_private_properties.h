#pragma once
// What an application that knows the receiver's private property set does with it through the
// kernel-streaming proxy: requests on the filter handle, each with a request and a data buffer of
// at least the item's minimum size (516 bytes; 1032 for the message items; 16396 for the mutex
// items), laid out as the items define them. Every call answers the status of its request.
#include <array>
#include <cstdint>
#include <vector>

#include "platform/host/ks_application.h"

namespace host {

// The record of an I2C pass-through (id 4): operation, address, register, length, 256 data bytes.
struct PassThroughRecord {
    ULONG operation = 0;
    ULONG address = 0;
    ULONG registerNumber = 0;
    ULONG length = 0;
    std::array<uint8_t, 256> data{};
};

struct PrivateStatus {
    uint8_t locked = 0;
    uint8_t strength = 0;
    uint8_t quality = 0;
};

struct ReceivedMessage {
    ULONG pending = 0;  // word 0
    ULONG length = 0;   // word 1
    std::vector<uint8_t> payload;
};

class ReceiverPrivateProperties {
  public:
    static constexpr ULONG kPassWrite = 1;
    static constexpr ULONG kPassRead = 0;

    explicit ReceiverPrivateProperties(KsHandle* filter) : filter_(filter) {}

    // The item's minimum request and data size.
    static ULONG MinimumBytes(ULONG id);

    // Raw requests: `data` is padded with zeros to the item's minimum when shorter (and sent at
    // `dataBytes` when that is given and larger). A get returns the bytes the driver produced.
    NTSTATUS Set(ULONG id, std::vector<uint8_t> data, ULONG dataBytes = 0);
    NTSTATUS Get(ULONG id, std::vector<uint8_t>* data, ULONG dataBytes = 0);

    // Id 0: the length word (100) and the version (2).
    NTSTATUS Version(ULONG* length, ULONG* version);
    // Id 1: takes the oldest key's four bytes (all zero when there was none); clears the queue.
    NTSTATUS TakeKey(std::array<uint8_t, 4>* key);
    NTSTATUS ClearKeys();
    // Id 2: a PID table of `pids` (each sent low byte first) with `mode`; `count` overrides the
    // entry count byte when given (to send counts that do not match the list).
    NTSTATUS LoadPids(ULONG mode, const std::vector<uint16_t>& pids, int count = -1);
    // Id 4.
    NTSTATUS PassThrough(const PassThroughRecord& record);
    NTSTATUS SavedPassThrough(PassThroughRecord* record);
    // Ids 5 to 8.
    NTSTATUS Setting(ULONG id, ULONG check, uint8_t value);
    // Id 9.
    NTSTATUS ExtendedTune(ULONG frequencyKHz, ULONG bandwidthMHz, ULONG offsetKHz);
    // Id 10.
    NTSTATUS Status(PrivateStatus* status);
    // Ids 11 and 14.
    NTSTATUS SendMessage(ULONG kind, const std::vector<uint8_t>& payload, ULONG item = 11);
    NTSTATUS ReceiveMessage(ReceivedMessage* message, ULONG item = 11);
    // Id 12.
    NTSTATUS RawFrame(const std::vector<uint8_t>& frame);
    // Id 13: frequency, bandwidth, symbol rate, offset and the two extra words.
    NTSTATUS TuneParameters(ULONG frequencyKHz, ULONG bandwidthMHz, ULONG symbolRate,
                            ULONG offsetKHz, ULONG extra1, ULONG extra2);
    // Ids 15 and 16.
    NTSTATUS Sync(ULONG id, bool set);

  private:
    KsRequestHeader Header(ULONG id, ULONG flags) const;

    KsHandle* filter_;
};

}  // namespace host
