// The private message items (ids 11 and 14): a send or a receive of the segmented message
// exchange, under the device I/O mutex and only while the stick is active.
#include "bridge/segmented_message.h"
#include "driver/device_io_lock.h"
#include "driver/private_property_handlers.h"
#include "driver/private_request.h"

NTSTATUS PrivateMessageGet(PIRP irp, PKSIDENTIFIER property, PVOID data) {
    const NTSTATUS status = CheckPrivateRequest(irp, property, data, kMessageRecordBytes);
    if (!NT_SUCCESS(status)) return status;
    DeviceContext* context = GetDeviceContext(DeviceOfPrivateRequest(irp));
    if (context == nullptr) return STATUS_DEVICE_NOT_CONNECTED;
    DeviceIoLock lock(context);
    if (IsDeviceActive(context) == 0) return STATUS_SUCCESS;
    const ULONG filled = ReceiveMessage(static_cast<UCHAR*>(data), PrivateDataBytes(irp));
    return ReturnPrivateBytes(irp, filled);
}

NTSTATUS PrivateMessageSet(PIRP irp, PKSIDENTIFIER property, PVOID data) {
    const NTSTATUS status = CheckPrivateRequest(irp, property, data, kMessageRecordBytes);
    if (!NT_SUCCESS(status)) return status;
    DeviceContext* context = GetDeviceContext(DeviceOfPrivateRequest(irp));
    if (context == nullptr) return STATUS_DEVICE_NOT_CONNECTED;
    DeviceIoLock lock(context);
    if (IsDeviceActive(context) == 0) return STATUS_SUCCESS;
    return SendMessage(static_cast<const UCHAR*>(data), PrivateDataBytes(irp));
}
