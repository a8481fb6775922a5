// Interrupt reports of any type and length through the interrupt reader's completion: the input
// is a script of completions (report bytes, status), key takes and resets, status-record reads
// and restarts of the reader, run against a fake stick whose interrupt pipe has the packet size
// the input gives (0 included).
//
// A model of the key queue (256 entries, newest overwriting oldest) and of the status record
// (decoded from the third 0xBB report on) is kept beside the driver and compared after every
// step; exactly one read must be pending while the reader runs, and every packet, request block
// and report buffer must be back in the pool at the end.
#include <array>
#include <cstdint>
#include <cstring>
#include <deque>
#include <vector>

#include "bridge/signal_status.h"
#include "support/fake_stick.h"
#include "support/fuzz_input.h"
#include "support/kernel_checks.h"
#include "usb/interrupt_reader.h"

namespace {

constexpr const char* kTarget = "interrupt_reports";
constexpr size_t kShortestReportBuffer = 8;

using fuzz::Expect;
using Entry = std::array<UCHAR, kKeyEntryBytes>;

// Failed reads in a row after which the reader rests until it is started again.
constexpr int kFailuresBeforeRest = 8;

struct Model {
    std::deque<Entry> keys;
    LONG statusReports = 0;
    std::array<UCHAR, kStatusRecordBytes> record{};
    bool reading = false;
    int failuresInARow = 0;

    void Report(const std::vector<UCHAR>& buffer) {
        if (buffer[0] == kStatusReportType) {
            if (statusReports++ > 1) {
                record.fill(0);
                for (size_t i = 1; i < kStatusRecordBytes; ++i) record[i] = buffer[i + 1];
            }
        } else if (buffer[0] == kKeyReportType) {
            Entry entry{};
            entry[0] = kKeyReportType;
            for (size_t i = 1; i < kKeyEntryBytes; ++i) entry[i] = buffer[i];
            if (keys.size() == kKeyQueueEntries) keys.pop_front();
            keys.push_back(entry);
        }
    }
};

class Script {
  public:
    Script(const uint8_t* data, size_t size) : in_(data, size) {}

    void Run() {
        const UCHAR kind = in_.Byte() & 3;
        const size_t pipes = in_.Byte() % 9;
        packetSize_ = in_.U16();
        fuzz::FakeStick stick(kind);
        stick.InstallInterface(pipes, packetSize_);
        stick.handler = [this](PURB urb) { return Accept(urb); };
        stick_ = &stick;

        Start();
        while (!in_.Empty()) Step();
        // Unplug ends the reader: everything it holds goes back to the pool.
        if (PIRP irp = stick.TakeParked()) {
            fuzz::FakeStick::Complete(irp, STATUS_DEVICE_NOT_CONNECTED);
            model_.reading = false;
        }
        Expect(stick.Transport().interruptIrp == nullptr, kTarget, "read left after unplug");
        stick.DetachInterface();
    }

  private:
    NTSTATUS Accept(PURB urb) {
        const auto& transfer = urb->UrbBulkOrInterruptTransfer;
        Expect(urb->UrbHeader.Function == URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER, kTarget,
               "interrupt reader sent something other than a transfer");
        Expect(fuzz::PipePositionOf(transfer.PipeHandle) == kPipeInterrupt, kTarget,
               "interrupt read on another pipe");
        Expect(transfer.TransferFlags == (USBD_TRANSFER_DIRECTION_IN | USBD_SHORT_TRANSFER_OK),
               kTarget, "interrupt read with wrong flags");
        Expect(transfer.TransferBufferLength == packetSize_, kTarget,
               "interrupt read not sized by the pipe's packet size");
        Expect(transfer.TransferBuffer != nullptr, kTarget, "interrupt read without a buffer");
        ++reads_;
        return STATUS_PENDING;
    }

    void Start() {
        const size_t before = reads_;
        stick_->Transport().SubmitInterruptRead();
        const bool canRead = stick_->Context().deviceKind != kDeviceKind6688 &&
                             stick_->Transport().InterruptPipe() != nullptr;
        model_.failuresInARow = 0;
        if (model_.reading) {
            Expect(reads_ == before, kTarget, "second read submitted while one is pending");
        } else {
            Expect(reads_ == before + (canRead ? 1 : 0), kTarget,
                   canRead ? "reader did not start" : "reader started without an interrupt pipe");
            model_.reading = canRead;
        }
    }

    void Complete() {
        PIRP irp = stick_->TakeParked();
        if (irp == nullptr) return;
        auto* urb =
            static_cast<PURB>(IoGetCurrentIrpStackLocation(irp)->Parameters.Others.Argument1);
        auto& transfer = urb->UrbBulkOrInterruptTransfer;
        const UCHAR fate = in_.Byte();
        const size_t length = in_.Byte();
        std::vector<UCHAR> sent(length);
        sent.resize(in_.Take(sent.data(), length));
        const size_t written = std::min<size_t>(sent.size(), transfer.TransferBufferLength);
        if (written != 0) std::memcpy(transfer.TransferBuffer, sent.data(), written);
        transfer.TransferBufferLength = static_cast<ULONG>(written);

        NTSTATUS status = STATUS_SUCCESS;
        switch (fate % 8) {
            case 5:
                status = STATUS_UNSUCCESSFUL;
                break;
            case 6:
                status = STATUS_CANCELLED;
                break;
            case 7:
                status = STATUS_DEVICE_NOT_CONNECTED;
                break;
            default:
                break;
        }
        urb->UrbHeader.Status =
            NT_SUCCESS(status) ? USBD_STATUS_SUCCESS : host::kUsbdStatusStallPid;
        if (status == STATUS_SUCCESS) {
            // What the driver sees: the bytes that came, zeros behind them.
            std::vector<UCHAR> buffer(std::max<size_t>(packetSize_, kShortestReportBuffer), 0);
            std::copy(sent.begin(), sent.begin() + written, buffer.begin());
            model_.Report(buffer);
        }
        const size_t before = reads_;
        fuzz::FakeStick::Complete(irp, status);
        const bool ends = status == STATUS_CANCELLED || status == STATUS_DEVICE_NOT_CONNECTED;
        if (status == STATUS_SUCCESS) {
            model_.failuresInARow = 0;
        } else if (!ends) {
            ++model_.failuresInARow;
        }
        const bool rests = !ends && model_.failuresInARow >= kFailuresBeforeRest;
        Expect(reads_ == before + (ends || rests ? 0 : 1), kTarget,
               ends    ? "read resubmitted after the reader ended"
               : rests ? "reader went on after too many failed reads"
                       : "reader did not resubmit");
        model_.reading = !ends && !rests;
    }

    void TakeKey() {
        Entry entry{};
        const bool taken = KeyQueueTake(&stick_->Context(), entry.data());
        Expect(taken == !model_.keys.empty(), kTarget, "key take disagrees with the queue");
        if (!taken) return;
        Expect(entry == model_.keys.front(), kTarget, "key taken is not the oldest held");
        model_.keys.pop_front();
    }

    void ReadRecord() {
        std::array<UCHAR, kStatusRecordBytes> record{};
        ReadStatusRecord(record.data());
        Expect(record == model_.record, kTarget, "status record disagrees with the reports");
        const ULONG index = in_.Byte() % (kStatusRecordBytes + 2);
        const UCHAR expected = index < kStatusRecordBytes ? model_.record[index] : 0;
        Expect(ConsumeStatusByte(index) == expected, kTarget, "consumed status byte is wrong");
        if (index < kStatusRecordBytes) model_.record[index] = 0;
    }

    void Step() {
        switch (in_.Byte() % 8) {
            case 0:
            case 1:
            case 2:
            case 3:
                Complete();
                break;
            case 4:
                TakeKey();
                break;
            case 5:
                KeyQueueReset(&stick_->Context());
                model_.keys.clear();
                break;
            case 6:
                ReadRecord();
                break;
            case 7:
                // A stream start counts status reports afresh; power-up restarts the reader.
                stick_->Context().statusReportCount = 0;
                model_.statusReports = 0;
                Start();
                break;
        }
        const DeviceContext& context = stick_->Context();
        Expect(context.keyCount == static_cast<LONG>(model_.keys.size()), kTarget,
               "keyCount disagrees with the keys held");
        Expect(static_cast<UCHAR>(context.keyWriteIndex - context.keyReadIndex) ==
                   static_cast<UCHAR>(model_.keys.size()),
               kTarget, "queue indexes disagree with keyCount");
        Expect(context.statusReportCount == model_.statusReports, kTarget,
               "statusReportCount disagrees with the reports");
        Expect((stick_->Transport().interruptIrp != nullptr) == model_.reading, kTarget,
               "pending read disagrees with the reader's state");
    }

    fuzz::InputReader in_;
    fuzz::FakeStick* stick_ = nullptr;
    USHORT packetSize_ = 0;
    size_t reads_ = 0;
    Model model_;
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    fuzz::BeginInput();
    InitializeSignalStatus();
    Script(data, size).Run();
    fuzz::EndInput(kTarget);
    return 0;
}
