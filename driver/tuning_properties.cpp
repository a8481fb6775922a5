// The standard BDA node properties. Values are stored in the DeviceContext for the getters, the
// commit and the private property set; the signal statistics come from the status record.
// Kernel streaming has checked the request (a node header) and the value (32 bits) against the
// item's minimum sizes before any of these runs.
#include "driver/tuning_properties.h"

#include "bridge/signal_figures.h"
#include "bridge/signal_status.h"
#include "driver/device_context.h"

namespace {

constexpr ULONG kFrequencyNotSet = 0xFFFFFFFF;
constexpr ULONG kFrequencyNotDefined = 0;
constexpr ULONG kViterbi = BDA_FEC_VITERBI;

// The fields are written and read by requests on different threads (and the frequency by the
// commit); each access is whole.
ULONG LoadField(const ULONG* field) {
    return static_cast<ULONG>(ReadLongAcquire(reinterpret_cast<LONG const volatile*>(field)));
}
void StoreField(ULONG* field, ULONG value) {
    WriteLongRelease(reinterpret_cast<LONG volatile*>(field), static_cast<LONG>(value));
}
ULONG LoadField(const LONG* field) {
    return static_cast<ULONG>(ReadLongAcquire(field));
}
void StoreField(LONG* field, ULONG value) {
    WriteLongRelease(field, static_cast<LONG>(value));
}

DeviceContext* ContextOfNodeRequest(PIRP irp) {
    return GetDeviceContext(DeviceOfNodeRequest(irp));
}

// A node request sent to a pin reaches the node only when the pin controls it (the BDA support
// library knows the template); one sent to the filter names its node directly.
NTSTATUS CheckNodeRequest(PIRP irp, PKSIDENTIFIER request) {
    if (KsGetPinFromIrp(irp) == nullptr) return STATUS_SUCCESS;
    return BdaValidateNodeProperty(irp, request);
}

NTSTATUS ReturnValue(PIRP irp, PVOID data, ULONG value) {
    *static_cast<ULONG*>(data) = value;
    irp->IoStatus.Information = sizeof(ULONG);
    return STATUS_SUCCESS;
}

ULONG ValueOf(PVOID data) {
    return *static_cast<const ULONG*>(data);
}

bool IsModulationType(ULONG value) {
    return value == BDA_MOD_QPSK || value == BDA_MOD_16QAM || value == BDA_MOD_64QAM;
}

bool IsFecRate(ULONG value) {
    return value == BDA_BCC_RATE_1_2 || value == BDA_BCC_RATE_2_3 || value == BDA_BCC_RATE_3_4 ||
           value == BDA_BCC_RATE_5_6 || value == BDA_BCC_RATE_7_8;
}

}  // namespace

PKSDEVICE DeviceOfNodeRequest(PIRP irp) {
    if (PKSPIN pin = KsGetPinFromIrp(irp)) return KsGetDevice(pin);
    if (PKSFILTER filter = KsGetFilterFromIrp(irp)) return KsGetDevice(filter);
    return nullptr;
}

NTSTATUS FrequencyFilterGet(PIRP irp, PKSIDENTIFIER request, PVOID data) {
    const NTSTATUS check = CheckNodeRequest(irp, request);
    if (!NT_SUCCESS(check)) return check;
    DeviceContext* context = ContextOfNodeRequest(irp);
    if (context == nullptr) return STATUS_DEVICE_NOT_CONNECTED;
    switch (request->Id) {
        case KSPROPERTY_BDA_RF_TUNER_FREQUENCY:
            return ReturnValue(irp, data, LoadField(&context->frequency));
        case KSPROPERTY_BDA_RF_TUNER_FREQUENCY_MULTIPLIER:
            return ReturnValue(irp, data, LoadField(&context->frequencyMultiplier));
        case KSPROPERTY_BDA_RF_TUNER_BANDWIDTH:
            return ReturnValue(irp, data, LoadField(&context->bandwidth));
        default:
            return STATUS_NOT_FOUND;
    }
}

NTSTATUS FrequencyFilterSet(PIRP irp, PKSIDENTIFIER request, PVOID data) {
    const NTSTATUS check = CheckNodeRequest(irp, request);
    if (!NT_SUCCESS(check)) return check;
    DeviceContext* context = ContextOfNodeRequest(irp);
    if (context == nullptr) return STATUS_DEVICE_NOT_CONNECTED;
    const ULONG value = ValueOf(data);
    switch (request->Id) {
        case KSPROPERTY_BDA_RF_TUNER_FREQUENCY:
            // "Not set" and "not defined" leave the frequency of the last request in place.
            if (value != kFrequencyNotSet && value != kFrequencyNotDefined)
                StoreField(&context->frequency, value);
            return STATUS_SUCCESS;
        case KSPROPERTY_BDA_RF_TUNER_FREQUENCY_MULTIPLIER:
            return STATUS_SUCCESS;
        case KSPROPERTY_BDA_RF_TUNER_BANDWIDTH:
            StoreField(&context->bandwidth, value);
            return STATUS_SUCCESS;
        default:
            return STATUS_NOT_FOUND;
    }
}

NTSTATUS DigitalDemodulatorGet(PIRP irp, PKSIDENTIFIER request, PVOID data) {
    const NTSTATUS check = CheckNodeRequest(irp, request);
    if (!NT_SUCCESS(check)) return check;
    DeviceContext* context = ContextOfNodeRequest(irp);
    if (context == nullptr) return STATUS_DEVICE_NOT_CONNECTED;
    switch (request->Id) {
        case KSPROPERTY_BDA_MODULATION_TYPE:
            return ReturnValue(irp, data, LoadField(&context->modulationType));
        case KSPROPERTY_BDA_INNER_FEC_TYPE:
        case KSPROPERTY_BDA_OUTER_FEC_TYPE:
            return ReturnValue(irp, data, kViterbi);
        case KSPROPERTY_BDA_INNER_FEC_RATE:
            return ReturnValue(irp, data, LoadField(&context->innerFecRate));
        case KSPROPERTY_BDA_OUTER_FEC_RATE:
            return ReturnValue(irp, data, LoadField(&context->outerFecRate));
        case KSPROPERTY_BDA_SYMBOL_RATE:
            return ReturnValue(irp, data, LoadField(&context->symbolRate));
        case KSPROPERTY_BDA_SPECTRAL_INVERSION:
            return ReturnValue(irp, data, LoadField(&context->spectralInversion));
        case KSPROPERTY_BDA_GUARD_INTERVAL:
            return ReturnValue(irp, data, LoadField(&context->guardInterval));
        case KSPROPERTY_BDA_TRANSMISSION_MODE:
            return ReturnValue(irp, data, LoadField(&context->transmissionMode));
        default:
            return STATUS_NOT_FOUND;
    }
}

NTSTATUS DigitalDemodulatorSet(PIRP irp, PKSIDENTIFIER request, PVOID data) {
    const NTSTATUS check = CheckNodeRequest(irp, request);
    if (!NT_SUCCESS(check)) return check;
    DeviceContext* context = ContextOfNodeRequest(irp);
    if (context == nullptr) return STATUS_DEVICE_NOT_CONNECTED;
    const ULONG value = ValueOf(data);
    switch (request->Id) {
        case KSPROPERTY_BDA_MODULATION_TYPE:
            if (!IsModulationType(value)) return STATUS_INVALID_PARAMETER;
            StoreField(&context->modulationType, value);
            return STATUS_SUCCESS;
        case KSPROPERTY_BDA_INNER_FEC_TYPE:
        case KSPROPERTY_BDA_OUTER_FEC_TYPE:
            return value == kViterbi ? STATUS_SUCCESS : STATUS_INVALID_PARAMETER;
        case KSPROPERTY_BDA_INNER_FEC_RATE:
            if (!IsFecRate(value)) return STATUS_INVALID_PARAMETER;
            StoreField(&context->innerFecRate, value);
            return STATUS_SUCCESS;
        case KSPROPERTY_BDA_OUTER_FEC_RATE:
            if (!IsFecRate(value)) return STATUS_INVALID_PARAMETER;
            StoreField(&context->outerFecRate, value);
            return STATUS_SUCCESS;
        case KSPROPERTY_BDA_SYMBOL_RATE:
            StoreField(&context->symbolRate, value);
            return STATUS_SUCCESS;
        case KSPROPERTY_BDA_SPECTRAL_INVERSION:
            StoreField(&context->spectralInversion, value);
            return STATUS_SUCCESS;
        case KSPROPERTY_BDA_GUARD_INTERVAL:
            StoreField(&context->guardInterval, value);
            return STATUS_SUCCESS;
        case KSPROPERTY_BDA_TRANSMISSION_MODE:
            StoreField(&context->transmissionMode, value);
            return STATUS_SUCCESS;
        default:
            return STATUS_NOT_FOUND;
    }
}

NTSTATUS SignalStatisticsGet(PIRP irp, PKSIDENTIFIER request, PVOID data) {
    const NTSTATUS check = CheckNodeRequest(irp, request);
    if (!NT_SUCCESS(check)) return check;
    PKSDEVICE device = DeviceOfNodeRequest(irp);
    if (GetDeviceContext(device) == nullptr) return STATUS_DEVICE_NOT_CONNECTED;
    switch (request->Id) {
        case KSPROPERTY_BDA_SIGNAL_STRENGTH:
            return ReturnValue(irp, data, GetSignalStrength(device));
        case KSPROPERTY_BDA_SIGNAL_QUALITY:
            return ReturnValue(irp, data, GetSignalQuality(device));
        case KSPROPERTY_BDA_SIGNAL_PRESENT:
        case KSPROPERTY_BDA_SIGNAL_LOCKED:
            return ReturnValue(irp, data, GetLockFlag());
        default:
            return STATUS_NOT_FOUND;
    }
}
