// The BDA support library's default handlers of the topology property set
// (KSPROPSETID_BdaTopology) and the pin-control set (KSPROPSETID_BdaPinControl), and its check
// that a pin controls the node a node request names (BdaValidateNodeProperty). All answers come
// from the template the filter gave BdaInitFilter, so a filter that was not initialised for BDA
// is refused with STATUS_INVALID_DEVICE_REQUEST.
//
// What the documents say and what is chosen here:
// - Node types and pin types are lists of ULONG: the template's node and pin indices (the
//   template topology names each node type once; the index identifies the type).
// - Template connections are the filter descriptor's connections, node fields being node types
//   (KSFILTER_NODE for a pin) and pin fields pin types.
// - Node methods, properties and events are lists of the set GUIDs in the node's automation
//   table; node descriptors are BDANODE_DESCRIPTORs (type, function GUID, name GUID).
// - The controlling pin of a node, for an input/output pin pair of the template's pin pairings,
//   is the input pin for nodes before the pairing's topology joint and the output pin for nodes
//   after it.
// - Variable lists answer the size query of the property model (IKsControl::KsProperty): with
//   an empty buffer, STATUS_BUFFER_OVERFLOW and the size needed in IoStatus.Information (an
//   empty list: success with 0); a buffer too small for the list: STATUS_BUFFER_TOO_SMALL.
// - A node the template does not have: STATUS_NOT_FOUND; a pin pair no pairing names:
//   STATUS_INVALID_PARAMETER. A node request on a pin that does not control the node:
//   STATUS_NOT_FOUND (the node is not reachable through that pin; the documents ask only for
//   "an appropriate error code").
#include <cstring>
#include <string>
#include <vector>

#include "platform/host/bda_filter_context.h"
#include "platform/host/irql.h"
#include "platform/host/ks_objects.h"
#include "platform/host/service_rules.h"

namespace host {
namespace {

ULONG OutputLength(PIRP irp) {
    return IoGetCurrentIrpStackLocation(irp)->Parameters.DeviceIoControl.OutputBufferLength;
}

// Runs `work` on the filter descriptor of the template of the filter the request addresses.
template <typename Work>
NTSTATUS WithTemplate(PIRP irp, Work work) {
    if (irp == nullptr) return STATUS_INVALID_PARAMETER;
    KsFilterObject* filter = FindFilterObject(KsGetFilterFromIrp(irp));
    if (filter == nullptr) return STATUS_INVALID_PARAMETER;
    const BDA_FILTER_TEMPLATE* filterTemplate;
    {
        std::lock_guard guard(filter->bdaLock);
        if (filter->bda == nullptr) return STATUS_INVALID_DEVICE_REQUEST;
        filterTemplate = filter->bda->filterTemplate;
    }
    if (filterTemplate == nullptr || filterTemplate->pFilterDescriptor == nullptr)
        return STATUS_INVALID_DEVICE_REQUEST;
    return work(*filterTemplate);
}

NTSTATUS AnswerArray(PIRP irp, void* out, const void* items, ULONG bytes) {
    irp->IoStatus.Information = 0;
    const ULONG length = OutputLength(irp);
    if (length == 0) {
        irp->IoStatus.Information = bytes;
        return bytes == 0 ? STATUS_SUCCESS : STATUS_BUFFER_OVERFLOW;
    }
    if (length < bytes) return STATUS_BUFFER_TOO_SMALL;
    if (out == nullptr) return STATUS_INVALID_PARAMETER;
    if (bytes != 0) std::memcpy(out, items, bytes);
    irp->IoStatus.Information = bytes;
    return STATUS_SUCCESS;
}

template <typename T>
NTSTATUS AnswerVector(PIRP irp, void* out, const std::vector<T>& items) {
    return AnswerArray(irp, out, items.data(), static_cast<ULONG>(items.size() * sizeof(T)));
}

std::vector<ULONG> Indices(ULONG count) {
    std::vector<ULONG> indices(count);
    for (ULONG i = 0; i < count; ++i) indices[i] = i;
    return indices;
}

const KSNODE_DESCRIPTOR* NodeOf(const KSFILTER_DESCRIPTOR& descriptor, ULONG node) {
    if (node >= descriptor.NodeDescriptorsCount || descriptor.NodeDescriptors == nullptr)
        return nullptr;
    return reinterpret_cast<const KSNODE_DESCRIPTOR*>(
        reinterpret_cast<const char*>(descriptor.NodeDescriptors) +
        size_t{node} * descriptor.NodeDescriptorSize);
}

enum class NodeSets { Methods, Properties, Events };

std::vector<GUID> SetsOfNode(const KSNODE_DESCRIPTOR& node, NodeSets which) {
    std::vector<GUID> sets;
    const KSAUTOMATION_TABLE* table = node.AutomationTable;
    if (table == nullptr) return sets;
    switch (which) {
        case NodeSets::Methods:
            for (ULONG i = 0; i < table->MethodSetsCount; ++i)
                if (table->MethodSets[i].Set != nullptr) sets.push_back(*table->MethodSets[i].Set);
            break;
        case NodeSets::Properties:
            for (ULONG i = 0; i < table->PropertySetsCount; ++i)
                if (table->PropertySets[i].Set != nullptr)
                    sets.push_back(*table->PropertySets[i].Set);
            break;
        case NodeSets::Events:
            for (ULONG i = 0; i < table->EventSetsCount; ++i)
                if (table->EventSets[i].Set != nullptr) sets.push_back(*table->EventSets[i].Set);
            break;
    }
    return sets;
}

NTSTATUS NodeSetList(PIRP irp, KSP_NODE* request, GUID* out, NodeSets which) {
    if (request == nullptr) return STATUS_INVALID_PARAMETER;
    const ULONG nodeType = request->NodeId;
    return WithTemplate(irp, [&](const BDA_FILTER_TEMPLATE& filterTemplate) {
        const KSNODE_DESCRIPTOR* node = NodeOf(*filterTemplate.pFilterDescriptor, nodeType);
        if (node == nullptr) return STATUS_NOT_FOUND;
        return AnswerVector(irp, out, SetsOfNode(*node, which));
    });
}

bool IsJoint(const BDA_PIN_PAIRING& pairing, ULONG connection) {
    for (ULONG i = 0; i < pairing.ulcTopologyJoints; ++i)
        if (pairing.pTopologyJoints != nullptr && pairing.pTopologyJoints[i] == connection)
            return true;
    return false;
}

// Follows the template connections from the pairing's input pin; the node is controlled by the
// input pin until the path has crossed a topology joint, by the output pin afterwards.
NTSTATUS ControllingPin(const BDA_FILTER_TEMPLATE& filterTemplate, ULONG nodeType, ULONG inputPin,
                        ULONG outputPin, ULONG* controllingPin) {
    const BDA_PIN_PAIRING* pairing = nullptr;
    for (ULONG i = 0; i < filterTemplate.ulcPinPairs; ++i) {
        const BDA_PIN_PAIRING& candidate = filterTemplate.pPinPairs[i];
        if (candidate.ulInputPin == inputPin && candidate.ulOutputPin == outputPin)
            pairing = &candidate;
    }
    if (pairing == nullptr) return STATUS_INVALID_PARAMETER;
    const KSFILTER_DESCRIPTOR& descriptor = *filterTemplate.pFilterDescriptor;
    ULONG fromNode = KSFILTER_NODE;
    ULONG fromPin = inputPin;
    bool pastJoint = false;
    // A path visits each connection at most once; a longer walk is a loop in the template.
    for (ULONG step = 0; step < descriptor.ConnectionsCount; ++step) {
        ULONG next = descriptor.ConnectionsCount;
        for (ULONG c = 0; c < descriptor.ConnectionsCount; ++c) {
            const KSTOPOLOGY_CONNECTION& connection = descriptor.Connections[c];
            if (connection.FromNode != fromNode) continue;
            if (fromNode == KSFILTER_NODE && connection.FromNodePin != fromPin) continue;
            next = c;
            break;
        }
        if (next == descriptor.ConnectionsCount) break;
        const KSTOPOLOGY_CONNECTION& connection = descriptor.Connections[next];
        if (IsJoint(*pairing, next)) pastJoint = true;
        if (connection.ToNode == KSFILTER_NODE) break;
        if (connection.ToNode == nodeType) {
            *controllingPin = pastJoint ? outputPin : inputPin;
            return STATUS_SUCCESS;
        }
        fromNode = connection.ToNode;
    }
    return STATUS_NOT_FOUND;
}

}  // namespace
}  // namespace host

NTSTATUS BdaPropertyNodeTypes(PIRP Irp, KSPROPERTY*, ULONG* pulProperty) {
    static const host::ServiceRule& rule = host::RuleOf("BdaPropertyNodeTypes");
    host::CheckServiceIrql(rule);
    return host::WithTemplate(Irp, [&](const BDA_FILTER_TEMPLATE& filterTemplate) {
        return host::AnswerVector(
            Irp, pulProperty,
            host::Indices(filterTemplate.pFilterDescriptor->NodeDescriptorsCount));
    });
}

NTSTATUS BdaPropertyPinTypes(PIRP Irp, KSPROPERTY*, ULONG* pulProperty) {
    static const host::ServiceRule& rule = host::RuleOf("BdaPropertyPinTypes");
    host::CheckServiceIrql(rule);
    return host::WithTemplate(Irp, [&](const BDA_FILTER_TEMPLATE& filterTemplate) {
        return host::AnswerVector(
            Irp, pulProperty, host::Indices(filterTemplate.pFilterDescriptor->PinDescriptorsCount));
    });
}

NTSTATUS BdaPropertyTemplateConnections(PIRP Irp, KSPROPERTY*,
                                        KSTOPOLOGY_CONNECTION* pConnectionProperty) {
    static const host::ServiceRule& rule = host::RuleOf("BdaPropertyTemplateConnections");
    host::CheckServiceIrql(rule);
    return host::WithTemplate(Irp, [&](const BDA_FILTER_TEMPLATE& filterTemplate) {
        const KSFILTER_DESCRIPTOR& descriptor = *filterTemplate.pFilterDescriptor;
        return host::AnswerArray(
            Irp, pConnectionProperty, descriptor.Connections,
            static_cast<ULONG>(descriptor.ConnectionsCount * sizeof(KSTOPOLOGY_CONNECTION)));
    });
}

NTSTATUS BdaPropertyNodeMethods(PIRP Irp, KSP_NODE* pKSProperty, GUID* pguidProperty) {
    static const host::ServiceRule& rule = host::RuleOf("BdaPropertyNodeMethods");
    host::CheckServiceIrql(rule);
    return host::NodeSetList(Irp, pKSProperty, pguidProperty, host::NodeSets::Methods);
}

NTSTATUS BdaPropertyNodeProperties(PIRP Irp, KSP_NODE* pKSProperty, GUID* pguidProperty) {
    static const host::ServiceRule& rule = host::RuleOf("BdaPropertyNodeProperties");
    host::CheckServiceIrql(rule);
    return host::NodeSetList(Irp, pKSProperty, pguidProperty, host::NodeSets::Properties);
}

NTSTATUS BdaPropertyNodeEvents(PIRP Irp, KSP_NODE* pKSProperty, GUID* pguidProperty) {
    static const host::ServiceRule& rule = host::RuleOf("BdaPropertyNodeEvents");
    host::CheckServiceIrql(rule);
    return host::NodeSetList(Irp, pKSProperty, pguidProperty, host::NodeSets::Events);
}

NTSTATUS BdaPropertyNodeDescriptors(PIRP Irp, KSPROPERTY*,
                                    BDANODE_DESCRIPTOR* pNodeDescriptorProperty) {
    static const host::ServiceRule& rule = host::RuleOf("BdaPropertyNodeDescriptors");
    host::CheckServiceIrql(rule);
    return host::WithTemplate(Irp, [&](const BDA_FILTER_TEMPLATE& filterTemplate) {
        const KSFILTER_DESCRIPTOR& descriptor = *filterTemplate.pFilterDescriptor;
        std::vector<BDANODE_DESCRIPTOR> nodes;
        for (ULONG i = 0; i < descriptor.NodeDescriptorsCount; ++i) {
            const KSNODE_DESCRIPTOR* node = host::NodeOf(descriptor, i);
            BDANODE_DESCRIPTOR entry{};
            entry.ulBdaNodeType = i;
            entry.guidFunction = node->Type != nullptr ? *node->Type : GUID_NULL;
            entry.guidName = node->Name != nullptr ? *node->Name : GUID_NULL;
            nodes.push_back(entry);
        }
        return host::AnswerVector(Irp, pNodeDescriptorProperty, nodes);
    });
}

NTSTATUS BdaPropertyGetControllingPinId(PIRP Irp, KSP_BDA_NODE_PIN* pProperty,
                                        ULONG* pulControllingPinId) {
    static const host::ServiceRule& rule = host::RuleOf("BdaPropertyGetControllingPinId");
    host::CheckServiceIrql(rule);
    if (pProperty == nullptr) return STATUS_INVALID_PARAMETER;
    const KSP_BDA_NODE_PIN request = *pProperty;
    return host::WithTemplate(Irp, [&](const BDA_FILTER_TEMPLATE& filterTemplate) {
        ULONG pin = 0;
        const NTSTATUS status = host::ControllingPin(
            filterTemplate, request.ulNodeType, request.ulInputPinId, request.ulOutputPinId, &pin);
        if (!NT_SUCCESS(status)) return status;
        return host::AnswerArray(Irp, pulControllingPinId, &pin, sizeof(pin));
    });
}

// The pin's id is its pin factory's index; its type is its index among the template's pins,
// the same number for a filter whose pin factories are the template's.
NTSTATUS BdaPropertyGetPinControl(PIRP Irp, KSPROPERTY* pKSProperty, ULONG* pulProperty) {
    static const host::ServiceRule& rule = host::RuleOf("BdaPropertyGetPinControl");
    host::CheckServiceIrql(rule);
    if (Irp == nullptr || pKSProperty == nullptr) return STATUS_INVALID_PARAMETER;
    host::KsPinObject* pin = host::FindPinObject(KsGetPinFromIrp(Irp));
    if (pin == nullptr) return STATUS_INVALID_DEVICE_REQUEST;
    const ULONG id = pKSProperty->Id;
    if (id != KSPROPERTY_BDA_PIN_ID && id != KSPROPERTY_BDA_PIN_TYPE) return STATUS_NOT_FOUND;
    return host::WithTemplate(Irp, [&](const BDA_FILTER_TEMPLATE&) {
        const ULONG value = pin->ks.Id;
        return host::AnswerArray(Irp, pulProperty, &value, sizeof(value));
    });
}

NTSTATUS BdaValidateNodeProperty(PIRP Irp, KSPROPERTY* pKSProperty) {
    static const host::ServiceRule& rule = host::RuleOf("BdaValidateNodeProperty");
    host::CheckServiceIrql(rule);
    if (Irp == nullptr || pKSProperty == nullptr) return STATUS_INVALID_PARAMETER;
    if ((pKSProperty->Flags & KSPROPERTY_TYPE_TOPOLOGY) == 0) return STATUS_INVALID_PARAMETER;
    host::KsPinObject* pin = host::FindPinObject(KsGetPinFromIrp(Irp));
    if (pin == nullptr) return STATUS_INVALID_DEVICE_REQUEST;
    const ULONG nodeType = reinterpret_cast<const KSP_NODE*>(pKSProperty)->NodeId;
    const ULONG pinType = pin->ks.Id;
    return host::WithTemplate(Irp, [&](const BDA_FILTER_TEMPLATE& filterTemplate) {
        for (ULONG i = 0; i < filterTemplate.ulcPinPairs; ++i) {
            const BDA_PIN_PAIRING& pairing = filterTemplate.pPinPairs[i];
            if (pairing.ulInputPin != pinType && pairing.ulOutputPin != pinType) continue;
            ULONG controlling = 0;
            if (NT_SUCCESS(host::ControllingPin(filterTemplate, nodeType, pairing.ulInputPin,
                                                pairing.ulOutputPin, &controlling)) &&
                controlling == pinType)
                return STATUS_SUCCESS;
        }
        return STATUS_NOT_FOUND;
    });
}
