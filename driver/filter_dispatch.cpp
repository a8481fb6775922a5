// Filter and pin dispatch of the receiver filter, and the intersection of its two pins.
#include "driver/filter_dispatch.h"

#include "bridge/bridge_channel.h"
#include "demod/demod_control.h"
#include "driver/device_context.h"
#include "driver/filter_descriptors.h"
#include "driver/stream_control.h"
#include "platform/debug_print.h"
#include "usb/cqzusb.h"

namespace {

// The device a pin belongs to: the context it took over from its filter at creation.
PKSDEVICE DeviceOfPin(PKSPIN pin) {
    if (pin == nullptr) return nullptr;
    auto* device = static_cast<PKSDEVICE>(pin->Context);
    return device != nullptr ? device : KsGetDevice(pin);
}

// The requested range itself becomes the format. A requested range shorter than the format would
// be read past its end, so it matches nothing. The application chooses the buffer: one larger
// than the format is an ordinary answer (the format's size is returned), never an assertion.
NTSTATUS IntersectByCopy(PKSDATARANGE dataRange, ULONG formatSize, ULONG dataBufferSize, PVOID data,
                         PULONG dataSize) {
    if (dataRange == nullptr || dataSize == nullptr) return STATUS_INVALID_PARAMETER;
    if (dataRange->FormatSize < formatSize) return STATUS_NO_MATCH;
    *dataSize = formatSize;
    if (dataBufferSize < formatSize || data == nullptr) return STATUS_BUFFER_OVERFLOW;
    RtlCopyMemory(data, dataRange, formatSize);
    return STATUS_SUCCESS;
}

}  // namespace

NTSTATUS FilterCreate(PKSFILTER filter, PIRP) {
    PKSDEVICE device = KsGetDevice(filter);
    filter->Context = device;
    if (GetDeviceContext(device) == nullptr) return STATUS_DEVICE_NOT_CONNECTED;
    return BdaInitFilter(filter, ReceiverBdaTemplate());
}

NTSTATUS FilterClose(PKSFILTER filter, PIRP) {
    PKSDEVICE device = KsGetDevice(filter);
    filter->Context = device;
    // The filter's BDA context goes back whether or not the stick is still there; otherwise a
    // filter closed after the stick's removal would keep it for ever.
    (void)BdaUninitFilter(filter);
    return GetDeviceContext(device) == nullptr ? STATUS_DEVICE_NOT_CONNECTED : STATUS_SUCCESS;
}

NTSTATUS AntennaPinCreate(PKSPIN, PIRP) {
    return STATUS_SUCCESS;
}

NTSTATUS AntennaPinClose(PKSPIN, PIRP) {
    return STATUS_SUCCESS;
}

NTSTATUS AntennaSetDeviceState(PKSPIN pin, KSSTATE toState, KSSTATE) {
    PKSDEVICE device = DeviceOfPin(pin);
    DeviceContext* context = GetDeviceContext(device);
    if (context == nullptr) return STATUS_SUCCESS;
    WriteLongRelease(reinterpret_cast<LONG volatile*>(&context->antennaPinState), toState);
    if (IsDeviceActive(context) == 0) return STATUS_SUCCESS;
    if (toState == KSSTATE_RUN) {
        StartStreamLocked(device);
    } else if (toState == KSSTATE_STOP) {
        StopStream(device);
    }
    return STATUS_SUCCESS;
}

NTSTATUS OutputCreate(PKSPIN pin, PIRP) {
    PKSDEVICE device = KsGetDevice(pin);
    pin->Context = device;
    DeviceContext* context = GetDeviceContext(device);
    if (context == nullptr) {
        DbgPrint("%s OutputCreate: STATUS_DEVICE_NOT_CONNECTED", kDebugPrefix);
        return STATUS_DEVICE_NOT_CONNECTED;
    }
    // The antenna state is reset before the pin becomes the destination, so that a stream already
    // running never reaches the new pin before its antenna is set to run again.
    WriteLongRelease(reinterpret_cast<LONG volatile*>(&context->antennaPinState), KSSTATE_STOP);
    WritePointerRelease(reinterpret_cast<PVOID volatile*>(&context->outputPin), pin);
    SetChannelDevice(device);
    (void)TunerWake(device);
    return STATUS_SUCCESS;
}

NTSTATUS OutputClose(PKSPIN pin, PIRP) {
    PKSDEVICE device = DeviceOfPin(pin);
    DeviceContext* context = GetDeviceContext(device);
    if (context == nullptr) return STATUS_SUCCESS;
    StopStream(device);
    SetChannelDevice(device);
    (void)TunerSleep(device);
    // Only this pin is forgotten; then no completion may still be handing data to it when kernel
    // streaming frees it.
    (void)InterlockedCompareExchangePointer(reinterpret_cast<PVOID volatile*>(&context->outputPin),
                                            nullptr, pin);
    if (context->transport != nullptr) context->transport->FlushStreamDelivery();
    return STATUS_SUCCESS;
}

NTSTATUS OutputProcess(PKSPIN) {
    return STATUS_SUCCESS;
}

NTSTATUS OutputSetDeviceState(PKSPIN, KSSTATE, KSSTATE) {
    return STATUS_SUCCESS;
}

NTSTATUS AntennaIntersect(PVOID, PIRP, PKSP_PIN, PKSDATARANGE dataRange, PKSDATARANGE,
                          ULONG dataBufferSize, PVOID data, PULONG dataSize) {
    return IntersectByCopy(dataRange, sizeof(KS_DATARANGE_BDA_ANTENNA), dataBufferSize, data,
                           dataSize);
}

NTSTATUS TransportIntersect(PVOID, PIRP, PKSP_PIN, PKSDATARANGE dataRange, PKSDATARANGE,
                            ULONG dataBufferSize, PVOID data, PULONG dataSize) {
    return IntersectByCopy(dataRange, sizeof(KS_DATARANGE_BDA_TRANSPORT), dataBufferSize, data,
                           dataSize);
}
