// BDA filter factories: recorded for the host graph to build filters from; the result of
// creation can be set to exercise the driver's failure path.
#include <mutex>

#include "platform/host/ks_device_host.h"

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

}  // namespace

std::vector<FilterFactoryRecord> FilterFactories(PKSDEVICE device) {
    std::lock_guard guard(Log().lock);
    std::vector<FilterFactoryRecord> result;
    for (const FilterFactoryRecord& record : Log().records)
        if (device == nullptr || record.device == device) result.push_back(record);
    return result;
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

}  // namespace host

NTSTATUS BdaCreateFilterFactory(PKSDEVICE device,
                                const KSFILTER_DESCRIPTOR* initialFilterDescriptor,
                                const BDA_FILTER_TEMPLATE* bdaFilterTemplate) {
    std::lock_guard guard(host::Log().lock);
    NTSTATUS result = host::Log().result;
    host::Log().records.push_back({device, initialFilterDescriptor, bdaFilterTemplate, result});
    return result;
}
