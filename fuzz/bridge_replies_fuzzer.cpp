// The bridge command channel against a stick whose writes fail or succeed, whose replies are
// empty, short, long or lost, and whose reply pipe resets succeed or fail, as the input says. The
// input is a script of channel operations with their arguments (counts beyond the frame limits
// included), each followed by the fates of the transfers it causes.
//
// Checked per operation: an operation that refuses its arguments sends nothing; a frame goes out
// only after every reply owed for earlier frames has been read off, and never after a failed
// reply pipe reset; a read hands back only reply data that really arrived (I2cRead: reply byte 1;
// I2cPassRead: reply bytes 1..count, nothing written past count); a failed read leaves the
// caller's buffer as it was; the result codes follow the fates of the write and of the reply;
// with no channel device nothing reaches the bus.
#include <array>
#include <cstdint>
#include <cstring>
#include <vector>

#include "bridge/bridge_channel.h"
#include "bridge/bridge_frames.h"
#include "support/fake_stick.h"
#include "support/fuzz_input.h"
#include "support/kernel_checks.h"

namespace {

constexpr const char* kTarget = "bridge_replies";
constexpr UCHAR kCanary = 0xC3;
constexpr size_t kOutBufferBytes = 96;

using fuzz::Expect;
namespace frame = bridge_frame;

struct Transfer {
    bool out = false;
    bool ok = false;
    bool drain = false;  // a reply read before the operation's frame: an owed reply read off
    bool reset = false;  // a reply pipe reset (counted with the read-offs)
    ULONG requested = 0;
    std::vector<UCHAR> bytes;  // written, or received
};

class Script {
  public:
    Script(const uint8_t* data, size_t size) : in_(data, size) {}

    void Run() {
        fuzz::FakeStick stick(kDeviceKindKvs1122);
        stick.InstallInterface(fuzz::kFakePipeCount, 8);
        stick.handler = [this](PURB urb) { return Answer(urb); };
        device_ = stick.Device();
        InitializeBridgeChannel();
        SetChannelDevice(device_);
        while (!in_.Empty()) Step();
        InitializeBridgeChannel();
        stick.DetachInterface();
    }

  private:
    NTSTATUS Answer(PURB urb) {
        auto& transfer = urb->UrbBulkOrInterruptTransfer;
        if (urb->UrbHeader.Function == URB_FUNCTION_SYNC_RESET_PIPE_AND_CLEAR_STALL) {
            // Only after a read off that found nothing, and only of the reply pipe: the stick
            // drops what it still holds or prepares, so nothing is owed any more.
            Expect(fuzz::PipePositionOf(urb->UrbPipeRequest.PipeHandle) == kPipeCommandReply,
                   kTarget, "reset of a pipe other than the reply pipe");
            Expect(resetDue_, kTarget, "reply pipe reset without an empty read off before it");
            resetDue_ = false;
            Transfer seen;
            seen.drain = true;
            seen.reset = true;
            // A reset may fail: the stick then keeps what it owes, and the frame must wait.
            seen.ok = in_.Byte() % 4 != 0;
            if (seen.ok) owed_ = 0;
            transfers_.push_back(seen);
            urb->UrbHeader.Status = seen.ok ? USBD_STATUS_SUCCESS : host::kUsbdStatusStallPid;
            return seen.ok ? STATUS_SUCCESS : STATUS_UNSUCCESSFUL;
        }
        Expect(urb->UrbHeader.Function == URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER, kTarget,
               "channel sent something other than a transfer");
        Expect(!resetDue_, kTarget, "transfer after an empty read off without a pipe reset");
        const size_t pipe = fuzz::PipePositionOf(transfer.PipeHandle);
        Expect(pipe == kPipeCommand || pipe == kPipeCommandReply, kTarget,
               "channel transfer on another pipe");
        const bool out = pipe == kPipeCommand;
        Expect(((transfer.TransferFlags & USBD_TRANSFER_DIRECTION_IN) == 0) == out, kTarget,
               "transfer direction disagrees with its pipe");

        Transfer seen;
        seen.out = out;
        seen.requested = transfer.TransferBufferLength;
        // A reply read follows its frame at once; any other read reads off an owed reply.
        seen.drain = !out && !awaitingReply_;
        Expect(!seen.drain || owed_ > 0, kTarget, "reply read before the frame with none owed");
        const UCHAR fate = in_.Byte();
        seen.ok = fate % 8 != 0;
        auto* buffer = static_cast<UCHAR*>(transfer.TransferBuffer);
        if (out) {
            Expect(seen.requested <= frame::kI2cWriteFrameCapacity || seen.requested == rawLength_,
                   kTarget, "frame longer than any frame the channel builds");
            seen.bytes.assign(buffer, buffer + seen.requested);
        } else if (seen.ok) {
            // A reply of any length, 0 included; the bus moves no more than was asked for.
            const size_t length = in_.Byte();
            seen.bytes.resize(length);
            seen.bytes.resize(in_.Take(seen.bytes.data(), length));
            seen.bytes.resize(std::min<size_t>(seen.bytes.size(), seen.requested));
            if (!seen.bytes.empty()) std::memcpy(buffer, seen.bytes.data(), seen.bytes.size());
            transfer.TransferBufferLength = static_cast<ULONG>(seen.bytes.size());
        }
        // Replies owed by the stick: one per frame that went out, one less per reply read. A
        // read off that times out finds nothing; the reply pipe is reset next.
        if (out && seen.ok) ++owed_;
        if (!out && seen.ok && owed_ > 0) --owed_;
        if (seen.drain && !seen.ok) resetDue_ = true;
        awaitingReply_ = out && seen.ok;
        transfers_.push_back(seen);
        // A lost reply stands for one the transport gave up on after its time-out.
        const NTSTATUS status = seen.ok ? STATUS_SUCCESS
                                : out   ? STATUS_UNSUCCESSFUL
                                        : STATUS_CANCELLED;
        urb->UrbHeader.Status = seen.ok ? USBD_STATUS_SUCCESS : host::kUsbdStatusStallPid;
        return status;
    }

    // Starts an operation: returns where its transfers begin.
    size_t Begin() {
        owedAtStart_ = owed_;
        return transfers_.size();
    }
    // Past the reads that read off owed replies: where the operation's own exchange begins.
    size_t ExchangeStart(size_t first) const {
        while (first < transfers_.size() && transfers_[first].drain) ++first;
        return first;
    }
    // The transfers of the operation that started at `first`: none, a write, or a write and its
    // reply read, after any owed replies read off.
    const Transfer* WriteOf(size_t first) const {
        first = ExchangeStart(first);
        return transfers_.size() > first ? &transfers_[first] : nullptr;
    }
    const Transfer* ReplyOf(size_t first) const {
        first = ExchangeStart(first);
        return transfers_.size() > first + 1 ? &transfers_[first + 1] : nullptr;
    }
    bool ReplyArrived(size_t first) const {
        const Transfer* reply = ReplyOf(first);
        return reply != nullptr && reply->ok && !reply->bytes.empty();
    }
    // False when the operation ended at a failed reply pipe reset, before its frame: then
    // nothing else went out.
    bool ExpectOneExchange(size_t first, const char* what) const {
        // A frame goes out only once nothing is owed: a reply read before it was the answer to
        // an earlier frame.
        Expect(owedAtStart_ == 0 || ExchangeStart(first) > first, kTarget,
               "frame sent while a reply was owed");
        const size_t start = ExchangeStart(first);
        if (start > first && transfers_[start - 1].reset && !transfers_[start - 1].ok) {
            Expect(transfers_.size() == start, kTarget, "frame sent after a failed reply reset");
            return false;
        }
        const Transfer* write = WriteOf(first);
        Expect(write != nullptr && write->out, kTarget, what);
        const size_t expected = ExchangeStart(first) + (write->ok ? 2 : 1);
        Expect(transfers_.size() == expected, kTarget, "write and reply count wrong");
        if (write->ok) Expect(!ReplyOf(first)->out, kTarget, "second transfer is not the reply");
        return true;
    }

    // A count: mostly small, sometimes anything a caller could pass.
    ULONG Count() {
        const UCHAR shape = in_.Byte();
        if (shape < 0xF0) return shape;
        const ULONG high = in_.U16();
        return high << 16 | in_.U16();
    }

    void Read() {
        const UCHAR address = in_.Byte();
        const UCHAR registerNumber = in_.Byte();
        const ULONG count = Count();
        UCHAR value = registerNumber;
        const size_t first = Begin();
        const bool ok = I2cRead(device_, address, &value, count);
        if (count == 0 || count > frame::kI2cReadMaxCount) {
            Expect(!ok && transfers_.size() == first && value == registerNumber, kTarget,
                   "I2cRead with a count beyond the reply buffer went out");
            return;
        }
        if (!ExpectOneExchange(first, "I2cRead sent no frame")) {
            Expect(!ok && value == registerNumber, kTarget, "I2cRead without its frame");
            return;
        }
        const std::array<UCHAR, 5> expected = {frame::kI2cRead, 3, address, registerNumber,
                                               static_cast<UCHAR>(count)};
        Expect(WriteOf(first)->bytes == std::vector<UCHAR>(expected.begin(), expected.end()),
               kTarget, "I2cRead frame is wrong");
        if (!ok) {
            Expect(value == registerNumber, kTarget, "failed I2cRead changed the value");
            return;
        }
        const Transfer* reply = ReplyOf(first);
        Expect(reply != nullptr && reply->ok && reply->requested == count + 1, kTarget,
               "I2cRead succeeded without its reply read");
        Expect(reply->bytes.size() >= 2, kTarget, "I2cRead succeeded on a reply without data");
        Expect(value == reply->bytes[1], kTarget, "I2cRead value is not reply byte 1");
    }

    void PassRead() {
        const UCHAR address = in_.Byte();
        const UCHAR registerNumber = in_.Byte();
        const ULONG count = Count();
        std::array<UCHAR, kOutBufferBytes> out;
        out.fill(kCanary);
        const size_t first = Begin();
        const bool ok = I2cPassRead(device_, address, registerNumber, count, out.data());
        const bool allUntouched =
            std::all_of(out.begin(), out.end(), [](UCHAR b) { return b == kCanary; });
        if (count > frame::kPassReadMaxCount) {
            Expect(!ok && transfers_.size() == first && allUntouched, kTarget,
                   "I2cPassRead with a count beyond its buffer went out");
            return;
        }
        if (!ExpectOneExchange(first, "I2cPassRead sent no frame")) {
            Expect(!ok && allUntouched, kTarget, "I2cPassRead without its frame");
            return;
        }
        const Transfer* write = WriteOf(first);
        Expect(write->bytes.size() == frame::kPassFrameBytes &&
                   write->bytes[0] == frame::kI2cRead && write->bytes[2] == address &&
                   write->bytes[3] == registerNumber &&
                   write->bytes[4] == static_cast<UCHAR>(count),
               kTarget, "I2cPassRead frame is wrong");
        if (!ok) {
            Expect(allUntouched, kTarget, "failed I2cPassRead wrote to the caller's buffer");
            return;
        }
        const Transfer* reply = ReplyOf(first);
        Expect(reply != nullptr && reply->ok && reply->bytes.size() >= count + 1, kTarget,
               "I2cPassRead succeeded on a short reply");
        Expect(std::equal(out.begin(), out.begin() + count, reply->bytes.begin() + 1), kTarget,
               "I2cPassRead data is not reply bytes 1..count");
        Expect(std::all_of(out.begin() + count, out.end(), [](UCHAR b) { return b == kCanary; }),
               kTarget, "I2cPassRead wrote past count");
    }

    // I2cWrite and I2cPassWrite: 1 acknowledged, 0xFF reply lost, 0 write failed, refused or
    // not sent. False when no frame went out.
    bool ExpectAcknowledge(size_t first, UCHAR result, bool refused, const char* name) {
        if (refused) {
            Expect(result == 0 && transfers_.size() == first, kTarget, name);
            return false;
        }
        if (!ExpectOneExchange(first, name)) {
            Expect(result == 0, kTarget, "acknowledge code for a frame that was not sent");
            return false;
        }
        const UCHAR expected = !WriteOf(first)->ok ? 0 : ReplyArrived(first) ? 1 : 0xFF;
        Expect(result == expected, kTarget, "acknowledge code disagrees with the transfers");
        return true;
    }

    void Write() {
        const UCHAR address = in_.Byte();
        const ULONG count = Count();
        std::vector<UCHAR> bytes(std::min<ULONG>(count, 200));
        in_.Take(bytes.data(), bytes.size());
        const bool refused = count > frame::kI2cWriteMaxPayload;
        ULONG written = 0xFFFFFFFF;
        const size_t first = Begin();
        const UCHAR result =
            I2cWrite(device_, address, refused ? nullptr : bytes.data(), count, &written);
        if (!ExpectAcknowledge(first, result, refused, "I2cWrite beyond its frame went out")) {
            Expect(written == 0xFFFFFFFF, kTarget, "I2cWrite reported a length without a frame");
            return;
        }
        const Transfer* write = WriteOf(first);
        Expect(write->bytes.size() == count + 3 && write->bytes[0] == frame::kI2cBlockWrite &&
                   write->bytes[1] == count + 1 && write->bytes[2] == address &&
                   std::equal(bytes.begin(), bytes.begin() + count, write->bytes.begin() + 3),
               kTarget, "I2cWrite frame is wrong");
        Expect(write->ok ? written == count + 2 : written == 0xFFFFFFFF, kTarget,
               "I2cWrite written length is wrong");
    }

    void PassWrite() {
        const UCHAR address = in_.Byte();
        const UCHAR registerNumber = in_.Byte();
        const ULONG count = Count();
        const bool refused = count > frame::kPassWriteMaxData;
        // Exactly `count` bytes, so that a read past them is caught.
        std::vector<UCHAR> data(refused ? 1 : count);
        in_.Take(data.data(), data.size());
        const size_t first = Begin();
        const UCHAR result = I2cPassWrite(device_, address, registerNumber, count,
                                          data.empty() ? nullptr : data.data());
        ExpectAcknowledge(first, result, refused, "I2cPassWrite beyond its frame went out");
    }

    void RegisterWrite() {
        std::array<UCHAR, 2> bytes = {in_.Byte(), in_.Byte()};
        ULONG written = 0;
        const size_t first = Begin();
        const bool ok = I2cWriteRegister(device_, in_.Byte(), bytes.data(), 2, &written);
        if (!ExpectOneExchange(first, "I2cWriteRegister sent no frame")) {
            Expect(!ok, kTarget, "I2cWriteRegister succeeded without its frame");
            return;
        }
        Expect(ok == (WriteOf(first)->ok && ReplyArrived(first)), kTarget,
               "I2cWriteRegister result disagrees with the transfers");
    }

    void Raw() {
        rawLength_ = Count();
        if (rawLength_ > 4096) rawLength_ = 4096;
        std::vector<UCHAR> bytes(rawLength_);
        in_.Take(bytes.data(), bytes.size());
        const size_t first = Begin();
        const bool ok = BridgeCommand(bytes.empty() ? nullptr : bytes.data(), rawLength_);
        if (rawLength_ == 0) {
            Expect(!ok && transfers_.size() == first, kTarget, "empty raw frame went out");
            return;
        }
        if (!ExpectOneExchange(first, "raw frame not sent")) {
            Expect(!ok, kTarget, "BridgeCommand succeeded without its frame");
            rawLength_ = 0;
            return;
        }
        Expect(WriteOf(first)->bytes == bytes, kTarget, "raw frame changed on the way");
        Expect(ok == (WriteOf(first)->ok && ReplyArrived(first)), kTarget,
               "BridgeCommand result disagrees with the transfers");
        rawLength_ = 0;
    }

    void Pids() {
        const ULONG entries = in_.Byte() % 20;
        std::vector<UCHAR> pids(2 * entries);
        in_.Take(pids.data(), pids.size());
        const size_t first = Begin();
        LoadPidTable(device_, pids.empty() ? nullptr : pids.data(), entries, in_.Byte() % 4);
        if (entries > frame::kPidTableMaxEntries) {
            Expect(transfers_.size() == first, kTarget, "oversized PID table went out");
        }
    }

    void Detached() {
        // With no channel device nothing reaches the bus.
        SetChannelDevice(nullptr);
        const size_t first = Begin();
        UCHAR value = 0x04;
        std::array<UCHAR, 8> out;
        out.fill(kCanary);
        Expect(!I2cRead(device_, 0x32, &value, 1) && value == 0x04, kTarget,
               "I2cRead without a channel device");
        Expect(!I2cPassRead(device_, 0x32, 0x04, 4, out.data()) && out[0] == kCanary, kTarget,
               "I2cPassRead without a channel device");
        Expect(!SendCommand06(device_), kTarget, "command without a channel device");
        Expect(transfers_.size() == first, kTarget, "transfer without a channel device");
        SetChannelDevice(device_);
    }

    void Step() {
        switch (in_.Byte() % 9) {
            case 0:
                Read();
                break;
            case 1:
                PassRead();
                break;
            case 2:
                Write();
                break;
            case 3:
                PassWrite();
                break;
            case 4:
                RegisterWrite();
                break;
            case 5:
                Raw();
                break;
            case 6:
                Pids();
                break;
            case 7:
                StartFirmware();
                break;
            case 8:
                Detached();
                break;
        }
    }

    fuzz::InputReader in_;
    PKSDEVICE device_ = nullptr;
    std::vector<Transfer> transfers_;
    ULONG rawLength_ = 0;
    size_t owed_ = 0;             // replies the stick owes, as the transfers so far tell
    size_t owedAtStart_ = 0;      // ... when the current operation began
    bool awaitingReply_ = false;  // the last transfer was a frame that went out
    bool resetDue_ = false;       // a read off found nothing: the reply pipe reset comes next
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    fuzz::BeginInput();
    Script(data, size).Run();
    fuzz::EndInput(kTarget);
    return 0;
}
