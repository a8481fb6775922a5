// Sizes and offsets of the kernel structures that the driver and the I/O system share, as the
// Windows x64 kernel lays them out. The driver sizes request packets itself, reaches into them
// through the DDK's inline helpers (next stack location, completion routine, pending mark) and
// embeds dispatcher objects in its own records, so every one of these numbers is relied on.
// Compiled in both builds: against the kernel headers it proves the numbers are the platform's;
// against the host emulation it proves the emulation lays the structures out the same way.
#include <cstddef>

#include "platform/kernel.h"
#include "platform/usb.h"

// Basic types: LLP64, 16-bit wide characters.
static_assert(sizeof(LONG) == 4 && sizeof(ULONG) == 4);
static_assert(sizeof(LONGLONG) == 8 && sizeof(ULONG_PTR) == 8 && sizeof(PVOID) == 8);
static_assert(sizeof(WCHAR) == 2 && sizeof(BOOLEAN) == 1 && sizeof(KIRQL) == 1);
static_assert(sizeof(NTSTATUS) == 4 && sizeof(KSPIN_LOCK) == 8);
static_assert(sizeof(LARGE_INTEGER) == 8);

static_assert(sizeof(UNICODE_STRING) == 16);
static_assert(offsetof(UNICODE_STRING, Length) == 0);
static_assert(offsetof(UNICODE_STRING, MaximumLength) == 2);
static_assert(offsetof(UNICODE_STRING, Buffer) == 8);

static_assert(sizeof(IO_STATUS_BLOCK) == 16);
static_assert(offsetof(IO_STATUS_BLOCK, Information) == 8);

// Dispatcher objects.
static_assert(sizeof(DISPATCHER_HEADER) == 24);
static_assert(offsetof(DISPATCHER_HEADER, SignalState) == 4);
static_assert(sizeof(KEVENT) == 24);
static_assert(sizeof(KMUTEX) == 56);
static_assert(offsetof(KMUTEX, OwnerThread) == 0x28);
static_assert(sizeof(KTIMER) == 64);
static_assert(offsetof(KTIMER, DueTime) == 0x18);

// Request packets.
static_assert(sizeof(IRP) == 0xD0);
static_assert(offsetof(IRP, Type) == 0x00);
static_assert(offsetof(IRP, Size) == 0x02);
static_assert(offsetof(IRP, Flags) == 0x10);
static_assert(offsetof(IRP, IoStatus) == 0x30);
static_assert(offsetof(IRP, RequestorMode) == 0x40);
static_assert(offsetof(IRP, PendingReturned) == 0x41);
static_assert(offsetof(IRP, StackCount) == 0x42);
static_assert(offsetof(IRP, CurrentLocation) == 0x43);
static_assert(offsetof(IRP, Cancel) == 0x44);
static_assert(offsetof(IRP, CancelIrql) == 0x45);
static_assert(offsetof(IRP, AllocationFlags) == 0x47);
static_assert(offsetof(IRP, UserIosb) == 0x48);
static_assert(offsetof(IRP, UserEvent) == 0x50);
static_assert(offsetof(IRP, CancelRoutine) == 0x68);
static_assert(offsetof(IRP, UserBuffer) == 0x70);
static_assert(offsetof(IRP, Tail.Overlay.DriverContext) == 0x78);
static_assert(offsetof(IRP, Tail.Overlay.Thread) == 0x98);
static_assert(offsetof(IRP, Tail.Overlay.CurrentStackLocation) == 0xB8);

static_assert(sizeof(IO_STACK_LOCATION) == 0x48);
static_assert(offsetof(IO_STACK_LOCATION, MajorFunction) == 0);
static_assert(offsetof(IO_STACK_LOCATION, MinorFunction) == 1);
static_assert(offsetof(IO_STACK_LOCATION, Flags) == 2);
static_assert(offsetof(IO_STACK_LOCATION, Control) == 3);
static_assert(offsetof(IO_STACK_LOCATION, Parameters) == 8);
static_assert(offsetof(IO_STACK_LOCATION, Parameters.DeviceIoControl.OutputBufferLength) == 0x08);
static_assert(offsetof(IO_STACK_LOCATION, Parameters.DeviceIoControl.InputBufferLength) == 0x10);
static_assert(offsetof(IO_STACK_LOCATION, Parameters.DeviceIoControl.IoControlCode) == 0x18);
static_assert(offsetof(IO_STACK_LOCATION, Parameters.DeviceIoControl.Type3InputBuffer) == 0x20);
static_assert(offsetof(IO_STACK_LOCATION, Parameters.Others.Argument1) == 0x08);
static_assert(offsetof(IO_STACK_LOCATION, Parameters.Others.Argument4) == 0x20);
static_assert(offsetof(IO_STACK_LOCATION, DeviceObject) == 0x28);
static_assert(offsetof(IO_STACK_LOCATION, FileObject) == 0x30);
static_assert(offsetof(IO_STACK_LOCATION, CompletionRoutine) == 0x38);
static_assert(offsetof(IO_STACK_LOCATION, Context) == 0x40);

// Device and driver objects.
static_assert(sizeof(DEVICE_OBJECT) == 0x148);
static_assert(offsetof(DEVICE_OBJECT, DriverObject) == 0x08);
static_assert(offsetof(DEVICE_OBJECT, NextDevice) == 0x10);
static_assert(offsetof(DEVICE_OBJECT, AttachedDevice) == 0x18);
static_assert(offsetof(DEVICE_OBJECT, Flags) == 0x30);
static_assert(offsetof(DEVICE_OBJECT, DeviceExtension) == 0x40);
static_assert(offsetof(DEVICE_OBJECT, DeviceType) == 0x48);
static_assert(offsetof(DEVICE_OBJECT, StackSize) == 0x4C);
static_assert(offsetof(DEVICE_OBJECT, DeviceObjectExtension) == 0x138);

static_assert(sizeof(DRIVER_OBJECT) == 0x150);
static_assert(offsetof(DRIVER_OBJECT, DeviceObject) == 0x08);
static_assert(offsetof(DRIVER_OBJECT, DriverExtension) == 0x30);
static_assert(offsetof(DRIVER_OBJECT, DriverName) == 0x38);
static_assert(offsetof(DRIVER_OBJECT, DriverUnload) == 0x68);
static_assert(offsetof(DRIVER_OBJECT, MajorFunction) == 0x70);

// USB request blocks and the structures inside them.
static_assert(sizeof(USB_DEVICE_DESCRIPTOR) == 18);
static_assert(sizeof(USB_CONFIGURATION_DESCRIPTOR) == 9);
static_assert(sizeof(USB_INTERFACE_DESCRIPTOR) == 9);
static_assert(sizeof(USB_ENDPOINT_DESCRIPTOR) == 7);
static_assert(sizeof(_URB_HEADER) == 24);
static_assert(offsetof(_URB_HEADER, Function) == 2);
static_assert(offsetof(_URB_HEADER, Status) == 4);
static_assert(sizeof(USBD_PIPE_INFORMATION) == 24);
static_assert(offsetof(USBD_PIPE_INFORMATION, PipeType) == 4);
static_assert(offsetof(USBD_PIPE_INFORMATION, PipeHandle) == 8);
static_assert(offsetof(USBD_PIPE_INFORMATION, MaximumTransferSize) == 16);
static_assert(sizeof(USBD_INTERFACE_INFORMATION) == 48);
static_assert(offsetof(USBD_INTERFACE_INFORMATION, InterfaceHandle) == 8);
static_assert(offsetof(USBD_INTERFACE_INFORMATION, NumberOfPipes) == 16);
static_assert(offsetof(USBD_INTERFACE_INFORMATION, Pipes) == 24);
static_assert(sizeof(USBD_INTERFACE_LIST_ENTRY) == 16);
static_assert(offsetof(_URB_SELECT_CONFIGURATION, ConfigurationDescriptor) == 24);
static_assert(offsetof(_URB_SELECT_CONFIGURATION, ConfigurationHandle) == 32);
static_assert(offsetof(_URB_SELECT_CONFIGURATION, Interface) == 40);
static_assert(sizeof(_URB_PIPE_REQUEST) == 40);
static_assert(offsetof(_URB_PIPE_REQUEST, PipeHandle) == 24);
static_assert(sizeof(_URB_BULK_OR_INTERRUPT_TRANSFER) == 128);
static_assert(offsetof(_URB_BULK_OR_INTERRUPT_TRANSFER, PipeHandle) == 24);
static_assert(offsetof(_URB_BULK_OR_INTERRUPT_TRANSFER, TransferFlags) == 32);
static_assert(offsetof(_URB_BULK_OR_INTERRUPT_TRANSFER, TransferBufferLength) == 36);
static_assert(offsetof(_URB_BULK_OR_INTERRUPT_TRANSFER, TransferBuffer) == 40);
static_assert(offsetof(_URB_BULK_OR_INTERRUPT_TRANSFER, UrbLink) == 56);
static_assert(offsetof(_URB_ISOCH_TRANSFER, StartFrame) == 128);
static_assert(offsetof(_URB_ISOCH_TRANSFER, NumberOfPackets) == 132);
static_assert(offsetof(_URB_ISOCH_TRANSFER, ErrorCount) == 136);
static_assert(offsetof(_URB_ISOCH_TRANSFER, IsoPacket) == 140);
static_assert(sizeof(USBD_ISO_PACKET_DESCRIPTOR) == 12);
static_assert(sizeof(_URB_CONTROL_DESCRIPTOR_REQUEST) == 136);
static_assert(offsetof(_URB_CONTROL_DESCRIPTOR_REQUEST, TransferBufferLength) == 36);
static_assert(offsetof(_URB_CONTROL_DESCRIPTOR_REQUEST, TransferBuffer) == 40);
static_assert(offsetof(_URB_CONTROL_DESCRIPTOR_REQUEST, Index) == 130);
static_assert(offsetof(_URB_CONTROL_DESCRIPTOR_REQUEST, DescriptorType) == 131);
static_assert(offsetof(_URB_CONTROL_DESCRIPTOR_REQUEST, LanguageId) == 132);
