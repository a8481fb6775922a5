// The bridge command channel: transfer primitives over the channel device's transport and the
// driver-wide current-device references.
#include "bridge/bridge_channel.h"

#include "bridge/bridge_frames.h"
#include "driver/device_context.h"
#include "platform/debug_print.h"
#include "usb/cqzusb.h"

namespace {

// Property handlers, tuning and start set these from different threads without a common lock,
// so every read and write is a single pointer-sized interlocked access.
PVOID volatile channelDevice = nullptr;
PVOID volatile demodDevice = nullptr;
PVOID volatile tunerDevice = nullptr;

void StoreReference(PVOID volatile* reference, PKSDEVICE device) {
    InterlockedExchangePointer(reference, device);
}

PKSDEVICE LoadReference(PVOID const volatile* reference) {
    return static_cast<PKSDEVICE>(ReadPointerAcquire(reference));
}

void ClearReferenceTo(PVOID volatile* reference, PKSDEVICE device) {
    InterlockedCompareExchangePointer(reference, nullptr, device);
}

// The transport of the channel device, or null when there is none to talk to.
CQZUSB* ChannelTransport() {
    DeviceContext* context = GetDeviceContext(LoadReference(&channelDevice));
    return context != nullptr ? context->transport : nullptr;
}

// Reads a reply of `length` bytes into `reply`; 0 when it failed or came back empty.
ULONG ReadReply(UCHAR* reply, ULONG length) {
    return BridgeRead(nullptr, kBridgeEndpointIn, reply, length);
}

// Writes a frame and reads its reply: 1 acknowledged, 0xFF reply lost, 0 write failed.
UCHAR WriteWithAcknowledge(const UCHAR* frame, ULONG length, ULONG replyLength, ULONG* written) {
    if (BridgeWrite(nullptr, kBridgeEndpointOut, frame, length) == 0) return 0;
    if (written != nullptr) *written = length - 1;
    UCHAR reply[bridge_frame::kReplyCapacity];
    return ReadReply(reply, replyLength) != 0 ? 1 : 0xFF;
}

}  // namespace

void InitializeBridgeChannel() {
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
    ClearReferenceTo(&channelDevice, device);
    ClearReferenceTo(&demodDevice, device);
    ClearReferenceTo(&tunerDevice, device);
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

ULONG BridgeWrite(PKSDEVICE, UCHAR, const UCHAR* frame, ULONG length) {
    CQZUSB* transport = ChannelTransport();
    if (transport == nullptr) return 0;
    ULONG moved = 0;
    const NTSTATUS status = transport->BulkWrite(frame, length, &moved);
    if (!NT_SUCCESS(status)) {
        DbgPrint("%s %s IIC Write Error (status= 0x%02x).", kDebugPrefix, kErrorMarker,
                 static_cast<unsigned>(status));
        return 0;
    }
    return length;
}

ULONG BridgeRead(PKSDEVICE, UCHAR, UCHAR* buffer, ULONG length) {
    CQZUSB* transport = ChannelTransport();
    if (transport == nullptr) return 0;
    ULONG received = 0;
    const NTSTATUS status = transport->BulkRead(buffer, length, &received);
    if (!NT_SUCCESS(status)) {
        DbgPrint("%s %s IIC Read Error (status= 0x%02x).", kDebugPrefix, kErrorMarker,
                 static_cast<unsigned>(status));
        return 0;
    }
    // The bus never reports more than was asked for; keep the count within the buffer anyway.
    return received <= length ? received : length;
}

bool BridgeCommand(const UCHAR* frame, ULONG length) {
    if (frame == nullptr || length == 0) return false;
    if (BridgeWrite(nullptr, kBridgeEndpointOut, frame, length) == 0) return false;
    UCHAR reply[bridge_frame::kCommandReplyBytes];
    return ReadReply(reply, sizeof(reply)) != 0;
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
    if (BridgeWrite(nullptr, kBridgeEndpointOut, frame, length) == 0) return false;
    UCHAR reply[bridge_frame::kReplyCapacity];
    // A reply without the data byte has nothing to give back; the value stays as it was.
    if (ReadReply(reply, count + 1) <= bridge_frame::kReplyDataOffset) return false;
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
    if (BridgeWrite(nullptr, kBridgeEndpointOut, frame, sizeof(frame)) == 0) return false;
    UCHAR reply[bridge_frame::kReplyCapacity];
    // Only a reply that carries every requested byte is handed on; a short one would otherwise
    // pass stale stack bytes to the application.
    if (ReadReply(reply, count + 1) < count + 1) return false;
    if (count != 0) RtlCopyMemory(out, reply + bridge_frame::kReplyDataOffset, count);
    return true;
}
