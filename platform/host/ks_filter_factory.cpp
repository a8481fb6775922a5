// BDA filter factories: each successful BdaCreateFilterFactory gives the device a factory from
// which applications open filter instances. Every call is recorded with its result, and the result
// can be chosen to exercise the driver's failure path.
//
// Like kernel streaming, the factory checks what it will walk: a descriptor and a template must
// be given, and the declared pin and node descriptor sizes must cover the structures (tables are
// walked by those sizes). A refused call answers STATUS_INVALID_PARAMETER.
#include <mutex>

#include "platform/host/ks_device_host.h"
#include "platform/host/ks_services.h"
#include "platform/host/service_rules.h"

namespace host {
namespace {

struct FactoryLog {
    std::mutex lock;
    std::vector<FilterFactoryRecord> records;
    NTSTATUS result = STATUS_SUCCESS;
};

FactoryLog& Log() {
    static FactoryLog* log = new FactoryLog;  // never destroyed
    return *log;
}

bool WellFormed(const KSFILTER_DESCRIPTOR* descriptor, const BDA_FILTER_TEMPLATE* filterTemplate) {
    if (descriptor == nullptr || filterTemplate == nullptr) return false;
    if (descriptor->PinDescriptorsCount != 0 &&
        (descriptor->PinDescriptors == nullptr ||
         descriptor->PinDescriptorSize < sizeof(KSPIN_DESCRIPTOR_EX)))
        return false;
    if (descriptor->NodeDescriptorsCount != 0 &&
        (descriptor->NodeDescriptors == nullptr ||
         descriptor->NodeDescriptorSize < sizeof(KSNODE_DESCRIPTOR)))
        return false;
    return true;
}

}  // namespace

std::vector<FilterFactoryRecord> FilterFactories(PKSDEVICE device) {
    std::lock_guard guard(Log().lock);
    std::vector<FilterFactoryRecord> result;
    for (const FilterFactoryRecord& record : Log().records)
        if (device == nullptr || record.device == device) result.push_back(record);
    return result;
}

bool FindFilterFactory(PKSDEVICE device, size_t index, KsFilterFactory* factory) {
    std::lock_guard guard(Log().lock);
    size_t seen = 0;
    for (const FilterFactoryRecord& record : Log().records) {
        if (record.device != device || record.result != STATUS_SUCCESS) continue;
        if (seen++ != index) continue;
        *factory = KsFilterFactory{record.device, record.filterDescriptor, record.filterTemplate};
        return true;
    }
    return false;
}

void SetFilterFactoryResult(NTSTATUS status) {
    std::lock_guard guard(Log().lock);
    Log().result = status;
}

void ClearFilterFactories() {
    std::lock_guard guard(Log().lock);
    Log().records.clear();
    Log().result = STATUS_SUCCESS;
}

void ForgetFilterFactories(PKSDEVICE device) {
    std::lock_guard guard(Log().lock);
    std::erase_if(Log().records,
                  [device](const FilterFactoryRecord& record) { return record.device == device; });
}

}  // namespace host

NTSTATUS BdaCreateFilterFactory(PKSDEVICE device,
                                const KSFILTER_DESCRIPTOR* initialFilterDescriptor,
                                const BDA_FILTER_TEMPLATE* bdaFilterTemplate) {
    static const host::ServiceRule& rule = host::RuleOf("BdaCreateFilterFactory");
    host::CheckServiceIrql(rule);
    std::lock_guard guard(host::Log().lock);
    NTSTATUS result = host::Log().result;
    if (result == STATUS_SUCCESS &&
        (device == nullptr || !host::WellFormed(initialFilterDescriptor, bdaFilterTemplate)))
        result = STATUS_INVALID_PARAMETER;
    host::Log().records.push_back({device, initialFilterDescriptor, bdaFilterTemplate, result});
    return result;
}
