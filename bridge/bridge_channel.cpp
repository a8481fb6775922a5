// The bridge command channel: exchanges of one frame and its reply over the channel device's
// transport, the transfer primitives, and the driver-wide current-device references.
//
// Locks (the driver's lock order is written down in usb/cqzusb.h): an exchange holds the
// transport's exchange mutex from its first transfer to its last, which keeps every frame
// together with its reply whichever thread sends it; the transfers inside take the request mutex.
// The channel binding spin lock covers the step from the channel reference to a transport, so a
// transport is only ever reached while it is counted in its channelUsers.
#include "bridge/bridge_channel.h"

#include "bridge/bridge_frames.h"
#include "driver/device_context.h"
#include "platform/debug_print.h"
#include "usb/cqzusb.h"

namespace {

// Property handlers, tuning and start set these from different threads; they are written under
// the binding lock and read under it (or as single pointer-sized interlocked reads).
PVOID volatile channelDevice = nullptr;
PVOID volatile demodDevice = nullptr;
PVOID volatile tunerDevice = nullptr;
KSPIN_LOCK bindingLock;

// The wait of a transport's release for exchanges that still hold it.
constexpr LONGLONG kChannelUsersPoll100ns = -100000;  // relative: 10 ms

void StoreReference(PVOID volatile* reference, PKSDEVICE device) {
    KIRQL previous;
    KeAcquireSpinLock(&bindingLock, &previous);
    InterlockedExchangePointer(reference, device);
    KeReleaseSpinLock(&bindingLock, previous);
}

PKSDEVICE LoadReference(PVOID const volatile* reference) {
    return static_cast<PKSDEVICE>(ReadPointerAcquire(reference));
}

// The transport of the channel device, counted in its channelUsers, or null when there is none
// to talk to. Every AcquireChannelTransport that returns a transport is paired with
// ReleaseChannelTransport.
CQZUSB* AcquireChannelTransport() {
    KIRQL previous;
    KeAcquireSpinLock(&bindingLock, &previous);
    DeviceContext* context = GetDeviceContext(LoadReference(&channelDevice));
    CQZUSB* transport = context != nullptr ? context->transport : nullptr;
    if (transport != nullptr) InterlockedIncrement(&transport->channelUsers);
    KeReleaseSpinLock(&bindingLock, previous);
    return transport;
}

void ReleaseChannelTransport(CQZUSB* transport) {
    InterlockedDecrement(&transport->channelUsers);
}

void ReportWriteError(NTSTATUS status) {
    DbgPrint("%s %s IIC Write Error (status= 0x%02x).", kDebugPrefix, kErrorMarker,
             static_cast<unsigned>(status));
}

void ReportReadError(NTSTATUS status) {
    DbgPrint("%s %s IIC Read Error (status= 0x%02x).", kDebugPrefix, kErrorMarker,
             static_cast<unsigned>(status));
}

// One frame on the command pipe. A write that moved fewer bytes than the frame failed, but the
// stick has seen part of it and may answer: a reply is owed in both cases.
bool WriteFrame(CQZUSB* transport, const UCHAR* frame, ULONG length) {
    ULONG moved = 0;
    const NTSTATUS status = transport->BulkWrite(frame, length, &moved);
    if (!NT_SUCCESS(status)) {
        ReportWriteError(status);
        return false;
    }
    ++transport->Context()->repliesOwed;
    if (moved < length) {
        ReportWriteError(STATUS_UNSUCCESSFUL);
        return false;
    }
    return true;
}

// One read on the reply pipe; the count received, or a failed status (reported).
NTSTATUS ReadReply(CQZUSB* transport, UCHAR* buffer, ULONG length, ULONG* received) {
    *received = 0;
    const NTSTATUS status = transport->BulkRead(buffer, length, received);
    if (!NT_SUCCESS(status)) {
        ReportReadError(status);
        return status;
    }
    ULONG& owed = transport->Context()->repliesOwed;
    if (owed > 0) --owed;
    // The bus never reports more than was asked for; keep the count within the buffer anyway.
    if (*received > length) *received = length;
    return status;
}

// Reads off the replies the stick still owes for earlier frames, so that the next reply read is
// the answer to the next frame. A read that waits out its time-out finds the endpoint empty, but
// the stick may still be preparing a reply and hand it to whatever read comes next: the reply
// pipe is reset then, which empties the stick's endpoint for good, and nothing is owed any more.
// False when a reply could not be read off or the pipe not reset; the frame must not go out then
// (the count stays, so the next exchange tries again).
bool Resynchronise(CQZUSB* transport) {
    ULONG& owed = transport->Context()->repliesOwed;
    while (owed > 0) {
        UCHAR stale[bridge_frame::kReplyCapacity];
        ULONG received = 0;
        const NTSTATUS status = transport->BulkRead(stale, sizeof(stale), &received);
        if (status == STATUS_CANCELLED) {
            const NTSTATUS reset = transport->ResetReplyPipe();
            if (!NT_SUCCESS(reset)) {
                ReportReadError(reset);
                return false;
            }
            owed = 0;
        } else if (NT_SUCCESS(status)) {
            --owed;
        } else {
            ReportReadError(status);
            return false;
        }
    }
    return true;
}

}  // namespace

void InitializeBridgeChannel() {
    KeInitializeSpinLock(&bindingLock);
    StoreReference(&channelDevice, nullptr);
    StoreReference(&demodDevice, nullptr);
    StoreReference(&tunerDevice, nullptr);
}

bool BindChipDevices(PKSDEVICE device) {
    if (device == nullptr) return false;
    SetChannelDevice(device);
    SetDemodDevice(device);
    SetTunerDevice(device);
    return true;
}

void SetChannelDevice(PKSDEVICE device) {
    StoreReference(&channelDevice, device);
}
void SetDemodDevice(PKSDEVICE device) {
    StoreReference(&demodDevice, device);
}
void SetTunerDevice(PKSDEVICE device) {
    StoreReference(&tunerDevice, device);
}

void UnbindChipDevices(PKSDEVICE device) {
    if (device == nullptr) return;
    KIRQL previous;
    KeAcquireSpinLock(&bindingLock, &previous);
    InterlockedCompareExchangePointer(&channelDevice, nullptr, device);
    InterlockedCompareExchangePointer(&demodDevice, nullptr, device);
    InterlockedCompareExchangePointer(&tunerDevice, nullptr, device);
    KeReleaseSpinLock(&bindingLock, previous);
}

PKSDEVICE ChannelDevice() {
    return LoadReference(&channelDevice);
}
PKSDEVICE DemodDevice() {
    return LoadReference(&demodDevice);
}
PKSDEVICE TunerDevice() {
    return LoadReference(&tunerDevice);
}

void PublishTransport(DeviceContext* context, CQZUSB* transport) {
    KIRQL previous;
    KeAcquireSpinLock(&bindingLock, &previous);
    context->transport = transport;
    KeReleaseSpinLock(&bindingLock, previous);
}

CQZUSB* WithdrawTransport(DeviceContext* context) {
    KIRQL previous;
    KeAcquireSpinLock(&bindingLock, &previous);
    CQZUSB* transport = context->transport;
    context->transport = nullptr;
    KeReleaseSpinLock(&bindingLock, previous);
    if (transport == nullptr) return nullptr;
    // Exchanges that took the transport before it was withdrawn still run (their requests are
    // refused by now, so they end soon).
    while (ReadLongAcquire(&transport->channelUsers) > 0) {
        LARGE_INTEGER interval;
        interval.QuadPart = kChannelUsersPoll100ns;
        KeDelayExecutionThread(KernelMode, FALSE, &interval);
    }
    return transport;
}

BridgeExchangeResult BridgeExchange(const UCHAR* frame, ULONG length, UCHAR* reply,
                                    ULONG replyLength, ULONG* received) {
    if (received != nullptr) *received = 0;
    CQZUSB* transport = AcquireChannelTransport();
    if (transport == nullptr) return BridgeExchangeResult::NotSent;
    KeWaitForSingleObject(&transport->exchangeMutex, Executive, KernelMode, FALSE, nullptr);
    BridgeExchangeResult result = BridgeExchangeResult::NotSent;
    if (Resynchronise(transport) && WriteFrame(transport, frame, length)) {
        ULONG count = 0;
        if (NT_SUCCESS(ReadReply(transport, reply, replyLength, &count))) {
            result = BridgeExchangeResult::Answered;
            if (received != nullptr) *received = count;
        } else {
            result = BridgeExchangeResult::ReplyLost;
        }
    }
    KeReleaseMutex(&transport->exchangeMutex, FALSE);
    ReleaseChannelTransport(transport);
    return result;
}

ULONG BridgeWrite(PKSDEVICE, UCHAR, const UCHAR* frame, ULONG length) {
    CQZUSB* transport = AcquireChannelTransport();
    if (transport == nullptr) return 0;
    KeWaitForSingleObject(&transport->exchangeMutex, Executive, KernelMode, FALSE, nullptr);
    const bool written = WriteFrame(transport, frame, length);
    KeReleaseMutex(&transport->exchangeMutex, FALSE);
    ReleaseChannelTransport(transport);
    return written ? length : 0;
}

ULONG BridgeRead(PKSDEVICE, UCHAR, UCHAR* buffer, ULONG length) {
    CQZUSB* transport = AcquireChannelTransport();
    if (transport == nullptr) return 0;
    KeWaitForSingleObject(&transport->exchangeMutex, Executive, KernelMode, FALSE, nullptr);
    ULONG received = 0;
    ReadReply(transport, buffer, length, &received);
    KeReleaseMutex(&transport->exchangeMutex, FALSE);
    ReleaseChannelTransport(transport);
    return received;
}

namespace {

// Writes a frame and reads its reply: 1 acknowledged, 0xFF reply lost, 0 write failed.
UCHAR WriteWithAcknowledge(const UCHAR* frame, ULONG length, ULONG replyLength, ULONG* written) {
    UCHAR reply[bridge_frame::kReplyCapacity];
    ULONG received = 0;
    const BridgeExchangeResult result =
        BridgeExchange(frame, length, reply, replyLength, &received);
    if (result == BridgeExchangeResult::NotSent) return 0;
    if (written != nullptr) *written = length - 1;
    return result == BridgeExchangeResult::Answered && received != 0 ? 1 : 0xFF;
}

}  // namespace

bool BridgeCommand(const UCHAR* frame, ULONG length) {
    if (frame == nullptr || length == 0) return false;
    UCHAR reply[bridge_frame::kCommandReplyBytes];
    ULONG received = 0;
    return BridgeExchange(frame, length, reply, sizeof(reply), &received) ==
               BridgeExchangeResult::Answered &&
           received != 0;
}

bool SendCommand06(PKSDEVICE) {
    static constexpr UCHAR frame[bridge_frame::kShortCommandBytes] = {bridge_frame::kCommand06, 0};
    return BridgeCommand(frame, sizeof(frame));
}

bool StartFirmware() {
    static constexpr UCHAR frame[bridge_frame::kShortCommandBytes] = {bridge_frame::kStartFirmware,
                                                                      0};
    return BridgeCommand(frame, sizeof(frame));
}

bool LoadPidTable(PKSDEVICE device, const UCHAR* pids, ULONG count, ULONG mode) {
    if (count > bridge_frame::kPidTableMaxEntries) return false;
    if (count > 0) {
        UCHAR frame[bridge_frame::kPidTableFrameCapacity];
        const ULONG length = BuildPidTableFrame(pids, count, mode, frame);
        if (length == 0) return false;  // entries missing
        BridgeCommand(frame, length);
    }
    return SendCommand06(device);
}

UCHAR I2cWrite(PKSDEVICE, UCHAR address, const UCHAR* bytes, ULONG count, ULONG* written) {
    UCHAR frame[bridge_frame::kI2cWriteFrameCapacity];
    const ULONG length = BuildI2cWriteFrame(address, bytes, count, frame);
    if (length == 0) return 0;
    return WriteWithAcknowledge(frame, length, bridge_frame::kI2cWriteReplyBytes, written);
}

bool I2cWriteRegister(PKSDEVICE, UCHAR address, const UCHAR* bytes, ULONG count, ULONG* written) {
    if (bytes == nullptr || count < 2) return false;  // register and value
    UCHAR frame[bridge_frame::kI2cRegisterWriteFrameBytes];
    const ULONG length = BuildI2cRegisterWriteFrame(address, bytes[0], bytes[1], frame);
    return WriteWithAcknowledge(frame, length, bridge_frame::kI2cWriteReplyBytes, written) == 1;
}

bool I2cRead(PKSDEVICE, UCHAR address, UCHAR* value, ULONG count) {
    if (value == nullptr) return false;
    UCHAR frame[bridge_frame::kI2cReadFrameBytes];
    const ULONG length = BuildI2cReadFrame(address, *value, count, frame);
    if (length == 0) return false;
    UCHAR reply[bridge_frame::kReplyCapacity];
    ULONG received = 0;
    // A reply without the data byte has nothing to give back; the value stays as it was.
    if (BridgeExchange(frame, length, reply, count + 1, &received) !=
            BridgeExchangeResult::Answered ||
        received <= bridge_frame::kReplyDataOffset)
        return false;
    *value = reply[bridge_frame::kReplyDataOffset];
    return true;
}

UCHAR I2cPassWrite(PKSDEVICE, UCHAR address, UCHAR registerNumber, ULONG count, const UCHAR* data) {
    UCHAR frame[bridge_frame::kPassFrameBytes];
    if (BuildPassWriteFrame(address, registerNumber, data, count, frame) == 0) return 0;
    return WriteWithAcknowledge(frame, sizeof(frame), bridge_frame::kI2cWriteReplyBytes, nullptr);
}

bool I2cPassRead(PKSDEVICE, UCHAR address, UCHAR registerNumber, ULONG count, UCHAR* out) {
    if (out == nullptr && count != 0) return false;
    UCHAR frame[bridge_frame::kPassFrameBytes];
    if (BuildPassReadFrame(address, registerNumber, count, frame) == 0) return false;
    UCHAR reply[bridge_frame::kReplyCapacity];
    ULONG received = 0;
    // Only a reply that carries every requested byte is handed on; a short one would otherwise
    // pass stale stack bytes to the application.
    if (BridgeExchange(frame, sizeof(frame), reply, count + 1, &received) !=
            BridgeExchangeResult::Answered ||
        received < count + 1)
        return false;
    if (count != 0) RtlCopyMemory(out, reply + bridge_frame::kReplyDataOffset, count);
    return true;
}
