#include "platform/image/host_routines.h"

#include "platform/host/usb_bus.h"

namespace image {
namespace {

struct Entry {
    uint64_t address;
    HostRoutine routine;
};

template <auto F>
Entry EntryOf(const char* name) {
    return {reinterpret_cast<uint64_t>(F), {name, &Thunk<F>}};
}

}  // namespace

HostRoutine FindHostRoutine(uint64_t address) {
    // The USB bus interface (USB_BUS_INTERFACE_USBDI_V1) of platform/host/usb_bus.cpp.
    static const Entry kRoutines[] = {
        EntryOf<&host::UsbBus::InterfaceIsDeviceHighSpeed>(
            "USB_BUS_INTERFACE_USBDI_V1.IsDeviceHighSpeed"),
        EntryOf<&host::UsbBus::InterfaceReference>("USB_BUS_INTERFACE_USBDI_V1.InterfaceReference"),
        EntryOf<&host::UsbBus::InterfaceDereference>(
            "USB_BUS_INTERFACE_USBDI_V1.InterfaceDereference"),
    };
    for (const Entry& entry : kRoutines)
        if (entry.address == address) return entry.routine;
    return {nullptr, nullptr};
}

}  // namespace image
