// The private items that reach the stick's bus directly: I2C pass-through (id 4) with its
// driver-wide save area, and raw bridge frames (id 12).
#include "bridge/bridge_channel.h"
#include "bridge/bridge_frames.h"
#include "bridge/record_words.h"
#include "bridge/segmented_message.h"
#include "driver/private_property_handlers.h"
#include "driver/private_request.h"
#include "driver/stream_control.h"

namespace {

// Id 4: word 0 is 272, then the 272-byte pass-through record.
constexpr ULONG kPassRecordSize = 272;
constexpr ULONG kPassRecordOffset = 4;
constexpr ULONG kPassBufferBytes = kPassRecordOffset + kPassRecordSize;  // 276
// Positions inside the record.
constexpr ULONG kPassOperation = 0;
constexpr ULONG kPassAddress = 4;
constexpr ULONG kPassRegister = 8;
constexpr ULONG kPassLength = 12;
constexpr ULONG kPassData = 16;
constexpr ULONG kPassWriteOperation = 1;
constexpr LONG kPassWriteWaitMs = 20;

// Id 12: word 0 the frame length, then the frame.
constexpr ULONG kRawFrameOffset = 4;

// The record of the last pass-through read that completed, all zero at load. Handlers on several
// threads read and replace it; the spin lock keeps every copy whole.
UCHAR gSaveArea[kPassRecordSize];
KSPIN_LOCK gSaveAreaLock;

void CopySaveArea(UCHAR* to, const UCHAR* from) {
    KIRQL previous;
    KeAcquireSpinLock(&gSaveAreaLock, &previous);
    RtlCopyMemory(to, from, kPassRecordSize);
    KeReleaseSpinLock(&gSaveAreaLock, previous);
}

}  // namespace

void InitializePrivateProperties() {
    KeInitializeSpinLock(&gSaveAreaLock);
    RtlZeroMemory(gSaveArea, sizeof(gSaveArea));
    InitializeSegmentedMessages();
}

NTSTATUS PrivateI2cGet(PIRP irp, PKSIDENTIFIER property, PVOID data) {
    const NTSTATUS status = CheckPrivateRequest(irp, property, data, kPassBufferBytes);
    if (!NT_SUCCESS(status)) return status;
    WriteRecordWord(data, 0, kPassRecordSize);
    CopySaveArea(static_cast<UCHAR*>(data) + kPassRecordOffset, gSaveArea);
    return ReturnPrivateBytes(irp, kPassBufferBytes);
}

NTSTATUS PrivateI2cSet(PIRP irp, PKSIDENTIFIER property, PVOID data) {
    const NTSTATUS status = CheckPrivateRequest(irp, property, data, kPassBufferBytes);
    if (!NT_SUCCESS(status)) return status;
    if (ReadRecordWord(data, 0) != kPassRecordSize) return STATUS_UNSUCCESSFUL;
    PKSDEVICE device = DeviceOfPrivateRequest(irp);
    if (GetDeviceContext(device) == nullptr) return STATUS_DEVICE_NOT_CONNECTED;

    // The record is worked on in a copy, so that the save area only ever receives a whole record
    // of a read that completed.
    UCHAR record[kPassRecordSize];
    RtlCopyMemory(record, static_cast<const UCHAR*>(data) + kPassRecordOffset, kPassRecordSize);
    const bool write = ReadRecordWord(record, kPassOperation) == kPassWriteOperation;
    const UCHAR address = static_cast<UCHAR>(ReadRecordWord(record, kPassAddress));
    const UCHAR registerNumber = static_cast<UCHAR>(ReadRecordWord(record, kPassRegister));
    const ULONG length = ReadRecordWord(record, kPassLength);
    // Lengths beyond one gateway frame are refused before anything is sent.
    if (length > (write ? bridge_frame::kPassWriteMaxData : bridge_frame::kPassReadMaxCount))
        return STATUS_INVALID_PARAMETER;

    if (write) {
        // Only a frame that never went out is reported; an acknowledgement is not looked into.
        if (I2cPassWrite(device, address, registerNumber, length, record + kPassData) == 0)
            return STATUS_UNSUCCESSFUL;
        DelayMilliseconds(kPassWriteWaitMs);
        return STATUS_SUCCESS;
    }
    // A read that did not complete leaves the save area as it was, and says so.
    if (!I2cPassRead(device, address, registerNumber, length, record + kPassData))
        return STATUS_UNSUCCESSFUL;
    CopySaveArea(gSaveArea, record);
    return STATUS_SUCCESS;
}

NTSTATUS PrivateRawFrameSet(PIRP irp, PKSIDENTIFIER property, PVOID data) {
    const NTSTATUS status = CheckPrivateRequest(irp, property, data, kRawFrameOffset);
    if (!NT_SUCCESS(status)) return status;
    const ULONG length = ReadRecordWord(data, 0);
    if (length == 0) return STATUS_UNSUCCESSFUL;
    // The frame must lie within the buffer the caller gave.
    if (length > PrivateDataBytes(irp) - kRawFrameOffset) return STATUS_INVALID_PARAMETER;
    if (GetDeviceContext(DeviceOfPrivateRequest(irp)) == nullptr)
        return STATUS_DEVICE_NOT_CONNECTED;
    (void)BridgeCommand(static_cast<const UCHAR*>(data) + kRawFrameOffset, length);
    return STATUS_SUCCESS;
}
