#pragma once
// One property or method request on its way through the host's kernel streaming: the packet,
// the object it addresses, and kernel streaming's captured copies of the application's buffers
// (exactly their size, so that a handler reading or writing past them is caught).
#include <cstdint>

#include "platform/host/ks_objects.h"

namespace host {

struct KsRequest {
    KsFilterObject* filter = nullptr;
    KsPinObject* pin = nullptr;  // null: the request was sent to the filter
    PIRP irp = nullptr;
    uint8_t* request = nullptr;  // header and what follows it
    ULONG requestLength = 0;
    uint8_t* data = nullptr;  // value or data buffer, null when empty
    ULONG dataLength = 0;
    ULONG information = 0;  // bytes produced, or the size a query needs
};

// Kernel streaming's own answers for a filter: the pin factories (KSPROPSETID_Pin), the topology
// (KSPROPSETID_Topology) and the component id (KSPROPSETID_General). Returns false when the
// request is for another set.
bool ServeStandardFilterProperty(KsRequest& request, NTSTATUS* status);

// Answers of fixed size and of KSMULTIPLE_ITEM lists, with the size queries kernel streaming
// offers: an empty buffer gets STATUS_BUFFER_OVERFLOW and the size needed; a list query with room
// for one ULONG gets the size itself.
NTSTATUS AnswerValue(KsRequest& request, const void* value, ULONG size);
NTSTATUS AnswerList(KsRequest& request, const void* items, ULONG itemsBytes, ULONG count);

}  // namespace host
