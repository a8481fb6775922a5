// The private items that read or store small things: the version record (id 0), the remote-control
// key queue (id 1), the four private settings (ids 5 to 8), the status (id 10), the items that
// accept a set and do nothing (ids 0, 3 and 10) and the two mutex items (ids 15 and 16).
#include "bridge/bridge_channel.h"
#include "bridge/record_words.h"
#include "bridge/signal_figures.h"
#include "bridge/signal_status.h"
#include "driver/device_io_lock.h"
#include "driver/private_property_handlers.h"
#include "driver/private_request.h"
#include "driver/stream_control.h"
#include "usb/interrupt_reader.h"

namespace {

// Id 0: word 0 the length of what follows, word 1 the version, then zeros.
constexpr ULONG kVersionFollowingBytes = 100;
constexpr ULONG kVersion = 2;
constexpr ULONG kVersionRecordBytes = sizeof(ULONG) + kVersionFollowingBytes;  // 104

// Id 1: word 0 is 4, then key-report bytes 2 to 5.
constexpr ULONG kKeyBytes = 4;
constexpr ULONG kKeyFirstReportByte = 2;
constexpr ULONG kKeyRecordBytes = sizeof(ULONG) + kKeyBytes;

// Ids 5 to 8: a check word, then the value byte.
constexpr ULONG kSettingValueOffset = 4;
constexpr ULONG kSettingRecordBytes = kSettingValueOffset + 1;
constexpr ULONG kSetting5Limit = 6;  // the check word of id 5 must be below this
constexpr ULONG kSettingCheck = 1;   // the check word of ids 6 to 8
constexpr LONG kSetting5WaitMs = 8;

// Id 10: word 0 is 3, then lock, strength and quality bytes.
constexpr ULONG kStatusFollowingBytes = 3;
constexpr ULONG kStatusLockOffset = 4;
constexpr ULONG kStatusStrengthOffset = 5;
constexpr ULONG kStatusQualityOffset = 6;
constexpr ULONG kStatusItemBytes = 7;

void StoreSetting(ULONG* field, ULONG value) {
    WriteLongRelease(reinterpret_cast<LONG volatile*>(field), static_cast<LONG>(value));
}

// The interrupt reader may rest after reads that kept failing or that it could not allocate; a
// key request is where someone wants the remote, so a resting reader tries again here. The
// device I/O mutex keeps the transport and its state as they are meanwhile; it is taken only
// when the reader rests, so that polling for keys does not wait behind a tune.
void ResumeRestingRemote(DeviceContext* context) {
    CQZUSB* hint = context->transport;
    if (hint == nullptr || !hint->InterruptReaderResting()) return;
    DeviceIoLock lock(context);
    if (IsDeviceActive(context) == 1 && context->transport != nullptr)
        context->transport->ResumeInterruptReader();
}

}  // namespace

NTSTATUS PrivateAcceptSet(PIRP irp, PKSIDENTIFIER property, PVOID data) {
    return CheckPrivateRequest(irp, property, data, 0);
}

NTSTATUS PrivateVersionGet(PIRP irp, PKSIDENTIFIER property, PVOID data) {
    const NTSTATUS status = CheckPrivateRequest(irp, property, data, kVersionRecordBytes);
    if (!NT_SUCCESS(status)) return status;
    RtlZeroMemory(data, kVersionRecordBytes);
    WriteRecordWord(data, 0, kVersionFollowingBytes);
    WriteRecordWord(data, sizeof(ULONG), kVersion);
    return ReturnPrivateBytes(irp, kVersionRecordBytes);
}

NTSTATUS PrivateRemoteKeyGet(PIRP irp, PKSIDENTIFIER property, PVOID data) {
    const NTSTATUS status = CheckPrivateRequest(irp, property, data, kKeyRecordBytes);
    if (!NT_SUCCESS(status)) return status;
    DeviceContext* context = GetDeviceContext(DeviceOfPrivateRequest(irp));
    if (context == nullptr) return STATUS_DEVICE_NOT_CONNECTED;
    UCHAR entry[kKeyEntryBytes] = {};
    // An empty queue answers four zero bytes.
    if (!KeyQueueTake(context, entry)) ResumeRestingRemote(context);
    WriteRecordWord(data, 0, kKeyBytes);
    RtlCopyMemory(static_cast<UCHAR*>(data) + sizeof(ULONG), entry + kKeyFirstReportByte,
                  kKeyBytes);
    return ReturnPrivateBytes(irp, kKeyRecordBytes);
}

NTSTATUS PrivateRemoteKeySet(PIRP irp, PKSIDENTIFIER property, PVOID data) {
    const NTSTATUS status = CheckPrivateRequest(irp, property, data, 0);
    if (!NT_SUCCESS(status)) return status;
    DeviceContext* context = GetDeviceContext(DeviceOfPrivateRequest(irp));
    if (context == nullptr) return STATUS_DEVICE_NOT_CONNECTED;
    KeyQueueReset(context);
    return STATUS_SUCCESS;
}

NTSTATUS PrivateSettingSet(PIRP irp, PKSIDENTIFIER property, PVOID data) {
    NTSTATUS status = CheckPrivateRequest(irp, property, data, kSettingRecordBytes);
    if (!NT_SUCCESS(status)) return status;
    PKSDEVICE device = DeviceOfPrivateRequest(irp);
    DeviceContext* context = GetDeviceContext(device);
    if (context == nullptr) return STATUS_DEVICE_NOT_CONNECTED;
    const ULONG check = ReadRecordWord(data, 0);
    const UCHAR value = static_cast<const UCHAR*>(data)[kSettingValueOffset];
    switch (property->Id) {
        case 5:
            DelayMilliseconds(kSetting5WaitMs);  // also when the check then fails
            if (check >= kSetting5Limit) return STATUS_UNSUCCESSFUL;
            StoreSetting(&context->privateSetting5, value);
            break;
        case 6:
            if (check != kSettingCheck) return STATUS_UNSUCCESSFUL;
            StoreSetting(&context->privateSetting6, value);
            break;
        case 7:
            if (check != kSettingCheck) return STATUS_UNSUCCESSFUL;
            StoreSetting(&context->privateSetting7, value);
            break;
        case 8:
            if (check != kSettingCheck) return STATUS_UNSUCCESSFUL;
            StoreSetting(&context->privateSetting8, value == 1 ? 0 : 1);
            break;
        default:
            return STATUS_NOT_FOUND;
    }
    SetChannelDevice(device);
    return STATUS_SUCCESS;
}

NTSTATUS PrivateStatusGet(PIRP irp, PKSIDENTIFIER property, PVOID data) {
    const NTSTATUS status = CheckPrivateRequest(irp, property, data, kStatusItemBytes);
    if (!NT_SUCCESS(status)) return status;
    PKSDEVICE device = DeviceOfPrivateRequest(irp);
    if (GetDeviceContext(device) == nullptr) return STATUS_DEVICE_NOT_CONNECTED;
    UCHAR* record = static_cast<UCHAR*>(data);
    WriteRecordWord(record, 0, kStatusFollowingBytes);
    record[kStatusLockOffset] = GetLockFlag();
    record[kStatusStrengthOffset] = GetSignalStrength(device);
    record[kStatusQualityOffset] = GetSignalQuality(device);
    return ReturnPrivateBytes(irp, kStatusItemBytes);
}

NTSTATUS PrivateSyncHandler(PIRP irp, PKSIDENTIFIER property, PVOID data) {
    const NTSTATUS status = CheckPrivateRequest(irp, property, data, 0);
    if (!NT_SUCCESS(status)) return status;
    DeviceContext* context = GetDeviceContext(DeviceOfPrivateRequest(irp));
    if (context == nullptr) return STATUS_DEVICE_NOT_CONNECTED;
    // Waits until no sequence that holds the device I/O mutex is running, and lets go at once.
    { DeviceIoLock lock(context); }
    return STATUS_SUCCESS;
}
