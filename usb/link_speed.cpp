// The stick's link speed, as the USB bus driver reports it through the interface it hands out
// (USB_BUS_INTERFACE_USBDI_V1, IsDeviceHighSpeed). The speed decides how many isochronous
// packets one stream read may carry.
#include "usb/cqzusb.h"

namespace {

NTSTATUS SignalQueryDone(PDEVICE_OBJECT, PIRP, PVOID context) {
    KeSetEvent(static_cast<PKEVENT>(context), IO_NO_INCREMENT, FALSE);
    return STATUS_MORE_PROCESSING_REQUIRED;  // the packet is ours to free
}

}  // namespace

ULONG CQZUSB::QueryLinkSpeed() {
    PDEVICE_OBJECT target = device != nullptr ? device->NextDeviceObject : nullptr;
    if (target == nullptr) return kLinkSpeedUnknown;
    PIRP irp = IoAllocateIrp(target->StackSize, FALSE);
    if (irp == nullptr) return kLinkSpeedUnknown;

    USB_BUS_INTERFACE_USBDI_V1 bus;
    RtlZeroMemory(&bus, sizeof bus);
    KEVENT done;
    KeInitializeEvent(&done, NotificationEvent, FALSE);
    // A PnP request that no driver below handles comes back with the status it was sent with.
    irp->IoStatus.Status = STATUS_NOT_SUPPORTED;
    PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(irp);
    next->MajorFunction = IRP_MJ_PNP;
    next->MinorFunction = IRP_MN_QUERY_INTERFACE;
    next->Parameters.QueryInterface.InterfaceType = &kUsbBusInterfaceUsbdiGuid;
    next->Parameters.QueryInterface.Size = sizeof bus;
    next->Parameters.QueryInterface.Version = USB_BUSIF_USBDI_VERSION_1;
    next->Parameters.QueryInterface.Interface = reinterpret_cast<PINTERFACE>(&bus);
    next->Parameters.QueryInterface.InterfaceSpecificData = nullptr;
    IoSetCompletionRoutine(irp, SignalQueryDone, &done, TRUE, TRUE, TRUE);

    NTSTATUS status = IoCallDriver(target, irp);
    if (status == STATUS_PENDING) {
        KeWaitForSingleObject(&done, Executive, KernelMode, FALSE, nullptr);
        status = irp->IoStatus.Status;
    }
    IoFreeIrp(irp);
    if (!NT_SUCCESS(status) || bus.IsDeviceHighSpeed == nullptr) return kLinkSpeedUnknown;

    const BOOLEAN high = bus.IsDeviceHighSpeed(bus.BusContext);
    if (bus.InterfaceDereference != nullptr) bus.InterfaceDereference(bus.BusContext);
    return high ? kLinkSpeedHigh : kLinkSpeedFull;
}
