#pragma once
// What every private-property handler does before acting on a request: the checks of the
// request, the property and the data buffer, and the stick behind the filter it addresses.
#include "driver/device_context.h"
#include "platform/ks.h"

// STATUS_UNSUCCESSFUL when the request, the property or the data buffer is missing;
// STATUS_BUFFER_TOO_SMALL when the data buffer is shorter than `needed`; else STATUS_SUCCESS.
NTSTATUS CheckPrivateRequest(PIRP irp, PKSIDENTIFIER property, PVOID data, ULONG needed);
// The size of the request's data buffer.
ULONG PrivateDataBytes(PIRP irp);
// The stick of the filter the request addresses, or null.
PKSDEVICE DeviceOfPrivateRequest(PIRP irp);
// Sets IoStatus.Information to the bytes a get returned and answers STATUS_SUCCESS.
NTSTATUS ReturnPrivateBytes(PIRP irp, ULONG bytes);
