// Checks shared by the private-property handlers.
#include "driver/private_request.h"

ULONG PrivateDataBytes(PIRP irp) {
    return IoGetCurrentIrpStackLocation(irp)->Parameters.DeviceIoControl.OutputBufferLength;
}

NTSTATUS CheckPrivateRequest(PIRP irp, PKSIDENTIFIER property, PVOID data, ULONG needed) {
    if (irp == nullptr || property == nullptr || data == nullptr) return STATUS_UNSUCCESSFUL;
    // Kernel streaming has checked the item's minimum already; the handler does not rely on it.
    if (PrivateDataBytes(irp) < needed) return STATUS_BUFFER_TOO_SMALL;
    return STATUS_SUCCESS;
}

PKSDEVICE DeviceOfPrivateRequest(PIRP irp) {
    PKSFILTER filter = KsGetFilterFromIrp(irp);
    return filter != nullptr ? KsGetDevice(filter) : nullptr;
}

NTSTATUS ReturnPrivateBytes(PIRP irp, ULONG bytes) {
    irp->IoStatus.Information = bytes;
    return STATUS_SUCCESS;
}
