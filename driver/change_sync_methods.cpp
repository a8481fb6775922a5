// The BDA change-synchronisation methods. The BDA support library keeps the change state of the
// filter; the driver adds its own pending mark, set by a successful check and consumed by the
// commit that tunes.
#include "driver/change_sync_methods.h"

#include "driver/device_context.h"
#include "driver/tune_commit.h"

namespace {

PKSDEVICE DeviceOfFilterRequest(PIRP irp) {
    PKSFILTER filter = KsGetFilterFromIrp(irp);
    return filter != nullptr ? KsGetDevice(filter) : nullptr;
}

DeviceContext* ContextOfFilterRequest(PIRP irp) {
    return GetDeviceContext(DeviceOfFilterRequest(irp));
}

}  // namespace

NTSTATUS StartChanges(PIRP irp, PKSMETHOD, PVOID) {
    return BdaStartChanges(irp);
}

NTSTATUS CheckChanges(PIRP irp, PKSMETHOD, PVOID) {
    DeviceContext* context = ContextOfFilterRequest(irp);
    if (context == nullptr) return STATUS_DEVICE_NOT_CONNECTED;
    const NTSTATUS status = BdaCheckChanges(irp);
    if (NT_SUCCESS(status))
        WriteLongRelease(reinterpret_cast<LONG volatile*>(&context->changesPending), 1);
    return status;
}

NTSTATUS CommitChanges(PIRP irp, PKSMETHOD, PVOID) {
    PKSDEVICE device = DeviceOfFilterRequest(irp);
    DeviceContext* context = GetDeviceContext(device);
    // A stopped stick is not tuned, and its pending mark stays for a later commit.
    if (context == nullptr || IsDeviceActive(context) == 0) return STATUS_DEVICE_NOT_CONNECTED;
    CommitPendingTune(device);
    return BdaCommitChanges(irp);
}

NTSTATUS GetChangeState(PIRP irp, PKSMETHOD, PVOID data) {
    // The state is one 32-bit value; the method's table entry demands no data, so a request
    // without room for it is refused here, before anything is asked or written.
    const ULONG room =
        IoGetCurrentIrpStackLocation(irp)->Parameters.DeviceIoControl.OutputBufferLength;
    if (data == nullptr || room < sizeof(ULONG)) return STATUS_BUFFER_TOO_SMALL;
    BDA_CHANGE_STATE state = BDA_CHANGES_COMPLETE;
    const NTSTATUS status = BdaGetChangeState(irp, &state);
    if (NT_SUCCESS(status)) {
        *static_cast<ULONG*>(data) = state == BDA_CHANGES_PENDING ? 1 : 0;
        irp->IoStatus.Information = sizeof(ULONG);
    }
    return status;
}
