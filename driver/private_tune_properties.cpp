// The private items that retune or restart the stream: the PID filter (id 2), the extended tune
// (id 9) and the tuning parameters (id 13). Each holds the device I/O mutex for its whole
// sequence, as the commit does, so that none of them interleaves with a commit, a stream start or
// another of them.
#include "bridge/bridge_frames.h"
#include "bridge/record_words.h"
#include "driver/device_io_lock.h"
#include "driver/private_property_handlers.h"
#include "driver/private_request.h"
#include "driver/stream_control.h"
#include "driver/tune_commit.h"

namespace {

// Id 2: word 0 is 40, word 1 the mode, byte 8 the entry count, entries of two bytes from 10.
constexpr ULONG kPidCheck = 40;
constexpr ULONG kPidModeOffset = 4;
constexpr ULONG kPidCountOffset = 8;
constexpr ULONG kPidEntriesOffset = 10;
constexpr ULONG kPidEntryBytes = 2;

// Id 9: word 0 is 24, then frequency, bandwidth and offset.
constexpr ULONG kTuneCheck = 24;
constexpr ULONG kTuneFrequencyOffset = 4;
constexpr ULONG kTuneBandwidthOffset = 8;
constexpr ULONG kTuneOffsetOffset = 12;
constexpr ULONG kTuneRecordBytes = 16;

// Id 13: word 0 non-zero, word 1 not used, then six words.
constexpr ULONG kParamsFrequencyOffset = 8;
constexpr ULONG kParamsBandwidthOffset = 12;
constexpr ULONG kParamsSymbolRateOffset = 16;
constexpr ULONG kParamsOffsetOffset = 20;
constexpr ULONG kParamsExtra1Offset = 24;
constexpr ULONG kParamsExtra2Offset = 28;
constexpr ULONG kParamsRecordBytes = 32;

void StoreField(ULONG* field, ULONG value) {
    WriteLongRelease(reinterpret_cast<LONG volatile*>(field), static_cast<LONG>(value));
}

}  // namespace

NTSTATUS PrivatePidFilterSet(PIRP irp, PKSIDENTIFIER property, PVOID data) {
    NTSTATUS status = CheckPrivateRequest(irp, property, data, kPidEntriesOffset);
    if (!NT_SUCCESS(status)) return status;
    if (ReadRecordWord(data, 0) != kPidCheck) return STATUS_UNSUCCESSFUL;
    const ULONG mode = ReadRecordWord(data, kPidModeOffset);
    const ULONG count = static_cast<const UCHAR*>(data)[kPidCountOffset];
    // A table must lie within the buffer; one of more than sixteen entries is not loaded (the
    // stream still restarts), and its entries are never read, so it may be cut off.
    if (count <= bridge_frame::kPidTableMaxEntries) {
        status =
            CheckPrivateRequest(irp, property, data, kPidEntriesOffset + count * kPidEntryBytes);
        if (!NT_SUCCESS(status)) return status;
    }
    PKSDEVICE device = DeviceOfPrivateRequest(irp);
    DeviceContext* context = GetDeviceContext(device);
    if (context == nullptr) return STATUS_DEVICE_NOT_CONNECTED;
    DeviceIoLock lock(context);
    StopStream(device);
    RestartStreamWithPidTable(device, mode, static_cast<const UCHAR*>(data) + kPidEntriesOffset,
                              count);
    return STATUS_SUCCESS;
}

NTSTATUS PrivateTuneSet(PIRP irp, PKSIDENTIFIER property, PVOID data) {
    const NTSTATUS status = CheckPrivateRequest(irp, property, data, kTuneRecordBytes);
    if (!NT_SUCCESS(status)) return status;
    if (ReadRecordWord(data, 0) != kTuneCheck) return STATUS_UNSUCCESSFUL;
    PKSDEVICE device = DeviceOfPrivateRequest(irp);
    DeviceContext* context = GetDeviceContext(device);
    if (context == nullptr) return STATUS_DEVICE_NOT_CONNECTED;
    const ULONG bandwidth = ReadRecordWord(data, kTuneBandwidthOffset);
    DeviceIoLock lock(context);
    StoreField(&context->frequency, ReadRecordWord(data, kTuneFrequencyOffset));
    StoreField(&context->bandwidth, bandwidth);
    StoreField(&context->symbolRate, bandwidth);
    StoreField(&context->offsetFrequency, ReadRecordWord(data, kTuneOffsetOffset));
    StoreField(&context->tuningExtra1, 0);
    StoreField(&context->tuningExtra2, 0);
    ExtendedTune(device);
    return STATUS_SUCCESS;
}

NTSTATUS PrivateTuneParamsSet(PIRP irp, PKSIDENTIFIER property, PVOID data) {
    const NTSTATUS status = CheckPrivateRequest(irp, property, data, kParamsRecordBytes);
    if (!NT_SUCCESS(status)) return status;
    if (ReadRecordWord(data, 0) == 0) return STATUS_UNSUCCESSFUL;
    PKSDEVICE device = DeviceOfPrivateRequest(irp);
    DeviceContext* context = GetDeviceContext(device);
    if (context == nullptr) return STATUS_DEVICE_NOT_CONNECTED;
    DeviceIoLock lock(context);
    StoreField(&context->frequency, ReadRecordWord(data, kParamsFrequencyOffset));
    StoreField(&context->bandwidth, ReadRecordWord(data, kParamsBandwidthOffset));
    StoreField(&context->symbolRate, ReadRecordWord(data, kParamsSymbolRateOffset));
    StoreField(&context->offsetFrequency, ReadRecordWord(data, kParamsOffsetOffset));
    StoreField(&context->tuningExtra1, ReadRecordWord(data, kParamsExtra1Offset));
    StoreField(&context->tuningExtra2, ReadRecordWord(data, kParamsExtra2Offset));
    // The commit's tune without its restart: the stream stays stopped, locked or not.
    TuneCurrentFrequency(device);
    return STATUS_SUCCESS;
}
