// The BDA support library on the host: filter contexts, the change state and topology creation.
#include <atomic>

#include "platform/host/bda_filter_context.h"
#include "platform/host/ks_objects.h"
#include "platform/host/ks_services.h"
#include "platform/host/service_rules.h"

namespace host {
namespace {

std::atomic<size_t> gContextsAlive{0};

// Runs `work` on the BDA context of the filter a request addresses. Without one (the filter was
// never initialised for BDA) the request is refused.
template <typename Work>
NTSTATUS WithContext(PIRP irp, Work work) {
    KsFilterObject* filter = FindFilterObject(KsGetFilterFromIrp(irp));
    if (filter == nullptr) return STATUS_INVALID_PARAMETER;
    std::lock_guard guard(filter->bdaLock);
    if (filter->bda == nullptr) return STATUS_INVALID_DEVICE_REQUEST;
    return work(*filter->bda);
}

}  // namespace

void ReleaseBdaFilterContext(std::unique_ptr<BdaFilterContext> context) {
    if (context != nullptr) --gContextsAlive;
}

size_t BdaFilterContextsAlive() {
    return gContextsAlive.load();
}

}  // namespace host

NTSTATUS BdaInitFilter(PKSFILTER pKSFilter, const BDA_FILTER_TEMPLATE* pBdaFilterTemplate) {
    static const host::ServiceRule& rule = host::RuleOf("BdaInitFilter");
    host::CheckServiceIrql(rule);
    host::KsFilterObject* filter = host::FindFilterObject(pKSFilter);
    if (filter == nullptr || pBdaFilterTemplate == nullptr) return STATUS_INVALID_PARAMETER;
    std::lock_guard guard(filter->bdaLock);
    if (filter->bda == nullptr) {
        filter->bda = std::make_unique<host::BdaFilterContext>();
        ++host::gContextsAlive;
    }
    filter->bda->filterTemplate = pBdaFilterTemplate;
    return STATUS_SUCCESS;
}

NTSTATUS BdaUninitFilter(PKSFILTER pKSFilter) {
    static const host::ServiceRule& rule = host::RuleOf("BdaUninitFilter");
    host::CheckServiceIrql(rule);
    host::KsFilterObject* filter = host::FindFilterObject(pKSFilter);
    if (filter == nullptr) return STATUS_INVALID_PARAMETER;
    std::lock_guard guard(filter->bdaLock);
    if (filter->bda == nullptr) return STATUS_INVALID_PARAMETER;
    host::ReleaseBdaFilterContext(std::move(filter->bda));
    return STATUS_SUCCESS;
}

NTSTATUS BdaStartChanges(PIRP Irp) {
    static const host::ServiceRule& rule = host::RuleOf("BdaStartChanges");
    host::CheckServiceIrql(rule);
    return host::WithContext(Irp, [](host::BdaFilterContext& context) {
        context.changesOpen = true;
        context.pendingTopologies.clear();
        return STATUS_SUCCESS;
    });
}

NTSTATUS BdaCheckChanges(PIRP Irp) {
    static const host::ServiceRule& rule = host::RuleOf("BdaCheckChanges");
    host::CheckServiceIrql(rule);
    // Topologies are checked against the template when they are created; nothing else changes.
    return host::WithContext(Irp, [](host::BdaFilterContext&) { return STATUS_SUCCESS; });
}

NTSTATUS BdaCommitChanges(PIRP Irp) {
    static const host::ServiceRule& rule = host::RuleOf("BdaCommitChanges");
    host::CheckServiceIrql(rule);
    return host::WithContext(Irp, [](host::BdaFilterContext& context) {
        for (const auto& pair : context.pendingTopologies) context.topologies.push_back(pair);
        context.pendingTopologies.clear();
        context.changesOpen = false;
        return STATUS_SUCCESS;
    });
}

NTSTATUS BdaGetChangeState(PIRP Irp, BDA_CHANGE_STATE* pChangeState) {
    static const host::ServiceRule& rule = host::RuleOf("BdaGetChangeState");
    host::CheckServiceIrql(rule);
    if (pChangeState == nullptr) return STATUS_INVALID_PARAMETER;
    return host::WithContext(Irp, [pChangeState](host::BdaFilterContext& context) {
        *pChangeState = context.changesOpen ? BDA_CHANGES_PENDING : BDA_CHANGES_COMPLETE;
        return STATUS_SUCCESS;
    });
}

// Installed as a method handler: kernel streaming has checked that the request holds a pin pair.
// A pair that no pin pairing of the template names is an invalid parameter.
NTSTATUS BdaMethodCreateTopology(PIRP Irp, KSMETHOD* pKSMethod, PVOID) {
    static const host::ServiceRule& rule = host::RuleOf("BdaMethodCreateTopology");
    host::CheckServiceIrql(rule);
    if (pKSMethod == nullptr) return STATUS_INVALID_PARAMETER;
    const auto* pair = reinterpret_cast<const KSM_BDA_PIN_PAIR*>(pKSMethod);
    const ULONG input = pair->InputPinId;
    const ULONG output = pair->OutputPinId;
    return host::WithContext(Irp, [input, output](host::BdaFilterContext& context) {
        const BDA_FILTER_TEMPLATE* filterTemplate = context.filterTemplate;
        for (ULONG i = 0; i < filterTemplate->ulcPinPairs; ++i) {
            const BDA_PIN_PAIRING& pairing = filterTemplate->pPinPairs[i];
            if (pairing.ulInputPin != input || pairing.ulOutputPin != output) continue;
            (context.changesOpen ? context.pendingTopologies : context.topologies)
                .emplace_back(input, output);
            return STATUS_SUCCESS;
        }
        return STATUS_INVALID_PARAMETER;
    });
}
