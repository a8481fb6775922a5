// Every item of the receiver's private property set, get and set, with request and data sizes
// around each item's bounds and contents shaped like its layout or taken raw, through the host's
// kernel-streaming services into a started filter with the simulated stick behind it; between
// the requests, presses on the remote, answers of the message device and tunes by commit. The
// input is a script run on a virtual clock.
//
// After every request: a get never reports more bytes than its buffer holds, and nothing reached
// the stick that a bound forbids - a pass-through frame beyond 60 data bytes or 63 read bytes, a
// PID table beyond sixteen entries, a message frame other than 12 bytes, a raw frame that is not
// the caller's bytes within its buffer, anything at all for a request the driver had to refuse.
// Unless the script itself wrote to the message device or sent raw frames, the device and the
// bridge's message gateway saw only well-formed messages. At the end nothing may be left: no
// kernel error, IRQL violation or assertion, and the pool back to what the started receiver
// holds. One started receiver serves every input of a run, put back between inputs
// (fuzz/support/started_receiver.h).
#include <algorithm>
#include <cstring>
#include <vector>

#include "driver/device_context.h"
#include "driver/receiver_guids.h"
#include "platform/host/bda_receiver_application.h"
#include "platform/host/ks_services.h"
#include "platform/host/receiver_private_properties.h"
#include "support/default_flags.h"
#include "support/fuzz_input.h"
#include "support/kernel_checks.h"
#include "support/started_receiver.h"

namespace {

using Bytes = std::vector<uint8_t>;
using fuzz::Expect;

constexpr const char* kTarget = "private_properties";
constexpr size_t kMaxSteps = 96;
constexpr ULONG kMaxData = 17000;
constexpr ULONG kItems = 18;  // the seventeen, and one that does not exist

// Bounds the frames on the bridge channel must keep.
constexpr size_t kPassFrameBytes = 64;
constexpr uint8_t kPassWriteMaxCount = 62;  // 60 data bytes after address and register
constexpr uint8_t kPassReadMaxCount = 63;
constexpr size_t kPidFrameMaxBytes = 68;
constexpr size_t kMessageFrameBytes = 12;

// Values around the bounds, for fields of structured contents.
constexpr ULONG kLengths[] = {0,  1,  7,  8,   15,  16,   17,   59,   60,        61,
                              62, 63, 64, 255, 256, 1023, 1024, 1025, 0xFFFFFFFF};
constexpr size_t kLengthCount = sizeof(kLengths) / sizeof(kLengths[0]);
constexpr ULONG kFrequencies[] = {0, 449999, 474000, 474400, 530000, 880500, 0xFFFFFFFF};
constexpr size_t kFrequencyCount = sizeof(kFrequencies) / sizeof(kFrequencies[0]);

void PutWord(Bytes& data, size_t offset, ULONG value) {
    if (data.size() >= offset + 4) std::memcpy(data.data() + offset, &value, 4);
}

ULONG WordAt(const Bytes& data, size_t offset) {
    ULONG value = 0;
    if (data.size() >= offset + 4) std::memcpy(&value, data.data() + offset, 4);
    return value;
}

bool IsMessageCode(uint8_t code) {
    return (code >= 0xF1 && code <= 0xF4) || code == 0xE5;
}

class Script {
  public:
    Script(const uint8_t* data, size_t size) : in_(data, size) {}

    void Run() {
        fuzz::StartedReceiver& receiver = fuzz::StartedReceiver::Shared();
        Expect(receiver.Started(), kTarget, "the stick did not start");
        receiver.BeginInput();
        receiver_ = &receiver;
        app_ = &receiver.Application();
        for (size_t step = 0; step < kMaxSteps && !in_.Empty() && !receiver.BusBudgetSpent();
             ++step)
            Step();
        receiver.Settle();
        if (!wroteToMessages_) {
            Expect(receiver.Firmware().MessageFaults().empty(), kTarget,
                   "the bridge saw a malformed message");
            Expect(receiver.Messages().Faults().empty(), kTarget,
                   "the message device refused a message");
        }
    }

  private:
    ULONG Value(const ULONG* table, size_t count) {
        const uint8_t choice = in_.Byte();
        return choice < 0xC0 ? table[choice % count]
                             : static_cast<ULONG>(in_.U16()) << (choice & 7);
    }

    ULONG DataSize(ULONG minimum) {
        switch (in_.Byte() % 6) {
            case 0:
                return minimum - 1;
            case 1:
                return 0;
            case 2:
                return minimum + in_.U16() % 600;
            case 3:
                return in_.U16() % kMaxData;
            default:
                return minimum;
        }
    }

    // Contents shaped like the item's layout, with fields around their bounds.
    void Shape(ULONG id, Bytes& data) {
        switch (id) {
            case 2:
                PutWord(data, 0, in_.Bit() ? 40 : in_.Byte());
                PutWord(data, 4, in_.Byte() % 4);
                if (data.size() > 8) data[8] = static_cast<uint8_t>(Value(kLengths, kLengthCount));
                break;
            case 4:
                PutWord(data, 0, in_.Bit() ? 272 : in_.U16());
                PutWord(data, 4, in_.Byte() % 3);
                PutWord(data, 8, in_.Bit() ? 0x32 : 0x50);
                PutWord(data, 12, in_.Byte());
                PutWord(data, 16, Value(kLengths, kLengthCount));
                break;
            case 5:
            case 6:
            case 7:
            case 8:
                PutWord(data, 0, in_.Byte() % 8);
                if (data.size() > 4) data[4] = in_.Byte();
                break;
            case 9:
                PutWord(data, 0, in_.Bit() ? 24 : in_.Byte());
                PutWord(data, 4, Value(kFrequencies, kFrequencyCount));
                PutWord(data, 8, in_.Byte() % 10);
                PutWord(data, 12, Value(kFrequencies, kFrequencyCount));
                break;
            case 11:
            case 14:
                PutWord(data, 0, in_.Bit() ? 0x90 : in_.Byte() % 4);
                PutWord(data, 4, Value(kLengths, kLengthCount));
                break;
            case 12:
                PutWord(data, 0, Value(kLengths, kLengthCount));
                if (data.size() > 4) data[4] = in_.Bit() ? 0x06 : in_.Byte();
                break;
            case 13:
                PutWord(data, 0, in_.Byte());
                PutWord(data, 8, Value(kFrequencies, kFrequencyCount));
                PutWord(data, 12, in_.Byte() % 10);
                break;
            default:
                break;
        }
    }

    void Request() {
        const ULONG id = in_.Byte() % kItems;
        const bool set = in_.Bit();
        const ULONG minimum = host::ReceiverPrivateProperties::MinimumBytes(id);
        const ULONG size = DataSize(minimum);
        Bytes data(size, 0);
        if (in_.Bit()) {
            Shape(id, data);
        } else {
            in_.Take(data.data(), std::min<size_t>(size, 48));
        }
        // The request itself: usually the item's minimum, sometimes cut short.
        host::KsRequestHeader header;
        header.set = PrivatePropertySet;
        header.id = id;
        header.flags = set ? KSPROPERTY_TYPE_SET : KSPROPERTY_TYPE_GET;
        const ULONG requestBytes = in_.Byte() < 0xF0 ? minimum : in_.U16() % minimum;
        header.instance.assign(
            requestBytes > sizeof(KSPROPERTY) ? requestBytes - sizeof(KSPROPERTY) : 0, 0);
        // Raw frames and pass-through writes reach the message device as the script makes them.
        if (set &&
            (id == 12 || (id == 4 && WordAt(data, 4) == 1 &&
                          ((WordAt(data, 8) & 0xFF) == 0x50 || (WordAt(data, 8) & 0xFF) == 0x51))))
            wroteToMessages_ = true;

        receiver_->Firmware().ClearFrames();
        ULONG returned = 0;
        const NTSTATUS status =
            app_->Filter()->Property(header, data.empty() ? nullptr : data.data(), size, &returned);
        if (NT_SUCCESS(status))
            Expect(returned <= size, kTarget, "a get reported more than its buffer");
        CheckFrames(id, set, status, data, size);
    }

    // What reached the bridge during one request.
    void CheckFrames(ULONG id, bool set, NTSTATUS status, const Bytes& data, ULONG size) {
        const std::vector<Bytes> frames = receiver_->Firmware().Frames();
        // A raw frame (item 12) is the caller's bytes, whatever command they start with: it is
        // checked below against what the caller gave, not against the bounds of the commands the
        // driver builds.
        for (const Bytes& frame : frames) {
            if (frame.empty() || id == 12) continue;
            const uint8_t code = frame[0];
            if (code == 0x03)
                Expect(frame.size() <= kPidFrameMaxBytes, kTarget, "a PID table beyond 16 entries");
            if (frame.size() == kPassFrameBytes && code == 0x04)
                Expect(frame[1] <= kPassWriteMaxCount, kTarget, "a pass-through write beyond 60");
            if (frame.size() == kPassFrameBytes && code == 0x84)
                Expect(frame[4] <= kPassReadMaxCount, kTarget, "a pass-through read beyond 63");
            if (IsMessageCode(code))
                Expect(frame.size() == kMessageFrameBytes, kTarget, "a message frame not 12 bytes");
        }
        // Refusals send nothing (a pass-through read that did not complete is a failure, not a
        // refusal: it answers STATUS_UNSUCCESSFUL, as a wrong check word does).
        if (!NT_SUCCESS(status) && status != STATUS_UNSUCCESSFUL)
            Expect(frames.empty(), kTarget, "a refused request reached the stick");
        if (!set || !NT_SUCCESS(status)) return;
        switch (id) {
            case 12: {
                const ULONG length = WordAt(data, 0);
                Expect(length != 0 && size >= 4 && length <= size - 4, kTarget,
                       "a raw frame past its buffer was accepted");
                Expect(frames.size() == 1 &&
                           frames[0] == Bytes(data.begin() + 4, data.begin() + 4 + length),
                       kTarget, "the raw frame did not go out as given");
                break;
            }
            case 4: {
                const ULONG length = WordAt(data, 16);
                Expect(length <= (WordAt(data, 4) == 1 ? 60u : 63u), kTarget,
                       "a pass-through length beyond one frame was accepted");
                break;
            }
            case 11:
            case 14: {
                const ULONG kind = WordAt(data, 0);
                if (kind != 0 && kind != 0x90)
                    Expect(WordAt(data, 4) <= 1024 && WordAt(data, 4) <= size - 8, kTarget,
                           "a message past 1024 bytes or its record was accepted");
                break;
            }
            case 2:
                if (data.size() > 8 && data[8] > 16)
                    for (const Bytes& frame : frames)
                        Expect(frame.empty() || frame[0] != 0x03, kTarget,
                               "a PID table above 16 entries was sent");
                break;
            default:
                break;
        }
    }

    // Requests of the private set make up most steps; a press on the remote, an answer of the
    // message device and a tune by commit each take the top sixteenth of the step byte's values
    // in turn.
    void Step() {
        const uint8_t kind = in_.Byte();
        if (kind < 0xD0) {
            Request();
        } else if (kind < 0xE0) {
            (void)receiver_->Remote().Press(in_.Byte());
            receiver_->Settle();
        } else if (kind < 0xF0) {
            const uint8_t length = in_.Byte();
            if (length == 0) {
                receiver_->Messages().SetAnswer(std::nullopt);
            } else {
                receiver_->Messages().SetAnswer(Bytes(length, in_.Byte()));
            }
        } else {
            // Two of the air's channels, or sometimes a frequency above one, where no lock comes.
            const uint8_t choice = in_.Byte();
            (void)app_->Tune(choice < 0x70 ? 474000 : choice < 0xE0 ? 530000 : 530000 + in_.U16());
        }
    }

    fuzz::InputReader in_;
    fuzz::StartedReceiver* receiver_ = nullptr;
    host::BdaReceiverApplication* app_ = nullptr;
    bool wroteToMessages_ = false;
};

}  // namespace

extern "C" int LLVMFuzzerInitialize(int* argc, char*** argv) {
    fuzz::UseStartedReceiverFlags(argc, argv);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    fuzz::StartedReceiver& receiver = fuzz::StartedReceiver::Shared();
    fuzz::BeginInputOnRunningSystem();
    Script(data, size).Run();
    // The receiver's application holds the one filter and its BDA context.
    Expect(host::BdaFilterContextsAlive() == 1 && host::KsFiltersOpen() == 1, kTarget,
           "a filter or its BDA context was left");
    receiver.ResetForNextInput();
    fuzz::EndInputOnRunningSystem(kTarget, receiver.PoolAfterStart());
    return 0;
}
