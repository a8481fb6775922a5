// The network provider's questions to a BDA filter.
#include "platform/host/bda_network_provider.h"

#include <cstring>

namespace host {
namespace {

template <typename T>
NTSTATUS GetArray(KsFilterHandle& filter, const KsRequestHeader& header, std::vector<T>* items) {
    std::vector<uint8_t> bytes;
    const NTSTATUS status = filter.GetBytes(header, &bytes);
    if (!NT_SUCCESS(status)) return status;
    if (bytes.size() % sizeof(T) != 0) return STATUS_UNSUCCESSFUL;
    items->resize(bytes.size() / sizeof(T));
    if (!bytes.empty()) std::memcpy(items->data(), bytes.data(), bytes.size());
    return STATUS_SUCCESS;
}

KsRequestHeader TopologyRequest(ULONG id) {
    return {KSPROPSETID_BdaTopology, id, KSPROPERTY_TYPE_GET, std::nullopt, {}};
}

// A node-set list: the topology set asked with a node header (the node type in the node id),
// sent to the filter, not as a node request.
KsRequestHeader NodeSetRequest(ULONG id, ULONG nodeType) {
    KsRequestHeader header = TopologyRequest(id);
    const ULONG tail[2] = {nodeType, 0};
    static_assert(sizeof(KSP_NODE) == sizeof(KSPROPERTY) + sizeof(tail));
    header.instance.resize(sizeof(tail));
    std::memcpy(header.instance.data(), tail, sizeof(tail));
    return header;
}

NTSTATUS ControllingPinId(KsFilterHandle& filter, ULONG nodeType, ULONG inputPin, ULONG outputPin,
                          ULONG* pin) {
    KsRequestHeader header = TopologyRequest(KSPROPERTY_BDA_CONTROLLING_PIN_ID);
    // The node type and the pin pair after the header, padded as the structure is.
    const ULONG tail[3] = {nodeType, inputPin, outputPin};
    header.instance.resize(sizeof(KSP_BDA_NODE_PIN) - sizeof(KSPROPERTY), 0);
    std::memcpy(header.instance.data(), tail, sizeof(tail));
    ULONG returned = 0;
    const NTSTATUS status = filter.Property(header, pin, sizeof(ULONG), &returned);
    if (NT_SUCCESS(status) && returned != sizeof(ULONG)) return STATUS_UNSUCCESSFUL;
    return status;
}

NTSTATUS FindPinPair(KsFilterHandle& filter, BdaTemplateTopology* topology) {
    bool haveInput = false;
    bool haveOutput = false;
    for (ULONG pinType : topology->pinTypes) {
        ULONG dataFlow = 0;
        const NTSTATUS status = filter.PinDataFlow(pinType, &dataFlow);
        if (!NT_SUCCESS(status)) return status;
        if (dataFlow == KSPIN_DATAFLOW_IN && !haveInput) {
            topology->inputPin = pinType;
            haveInput = true;
        } else if (dataFlow == KSPIN_DATAFLOW_OUT && !haveOutput) {
            topology->outputPin = pinType;
            haveOutput = true;
        }
    }
    return haveInput && haveOutput ? STATUS_SUCCESS : STATUS_NOT_FOUND;
}

}  // namespace

std::optional<ULONG> BdaTemplateTopology::NodeOfFunction(const GUID& function) const {
    for (const BDANODE_DESCRIPTOR& node : nodeDescriptors)
        if (IsEqualGUID(node.guidFunction, function)) return node.ulBdaNodeType;
    return std::nullopt;
}

std::optional<ULONG> BdaTemplateTopology::ControllingPinOf(ULONG nodeType) const {
    for (const BdaControllingPin& pin : controllingPins)
        if (pin.nodeType == nodeType) return pin.pinType;
    return std::nullopt;
}

NTSTATUS LearnBdaTopology(KsFilterHandle& filter, BdaTemplateTopology* topology) {
    *topology = {};
    NTSTATUS status =
        GetArray(filter, TopologyRequest(KSPROPERTY_BDA_NODE_TYPES), &topology->nodeTypes);
    if (!NT_SUCCESS(status)) return status;
    status = GetArray(filter, TopologyRequest(KSPROPERTY_BDA_NODE_DESCRIPTORS),
                      &topology->nodeDescriptors);
    if (!NT_SUCCESS(status)) return status;
    status = GetArray(filter, TopologyRequest(KSPROPERTY_BDA_PIN_TYPES), &topology->pinTypes);
    if (!NT_SUCCESS(status)) return status;
    status = GetArray(filter, TopologyRequest(KSPROPERTY_BDA_TEMPLATE_CONNECTIONS),
                      &topology->connections);
    if (!NT_SUCCESS(status)) return status;
    for (ULONG nodeType : topology->nodeTypes) {
        topology->nodeProperties.emplace_back();
        topology->nodeMethods.emplace_back();
        topology->nodeEvents.emplace_back();
        status = GetArray(filter, NodeSetRequest(KSPROPERTY_BDA_NODE_PROPERTIES, nodeType),
                          &topology->nodeProperties.back());
        if (!NT_SUCCESS(status)) return status;
        status = GetArray(filter, NodeSetRequest(KSPROPERTY_BDA_NODE_METHODS, nodeType),
                          &topology->nodeMethods.back());
        if (!NT_SUCCESS(status)) return status;
        status = GetArray(filter, NodeSetRequest(KSPROPERTY_BDA_NODE_EVENTS, nodeType),
                          &topology->nodeEvents.back());
        if (!NT_SUCCESS(status)) return status;
    }
    status = FindPinPair(filter, topology);
    if (!NT_SUCCESS(status)) return status;
    for (ULONG nodeType : topology->nodeTypes) {
        ULONG pin = 0;
        status = ControllingPinId(filter, nodeType, topology->inputPin, topology->outputPin, &pin);
        if (!NT_SUCCESS(status)) return status;
        topology->controllingPins.push_back({nodeType, pin});
    }
    for (ULONG i = 0; i < topology->connections.size(); ++i) {
        const BDA_TEMPLATE_CONNECTION& connection = topology->connections[i];
        const auto from = topology->ControllingPinOf(connection.FromNodeType);
        const auto to = topology->ControllingPinOf(connection.ToNodeType);
        if (from == topology->inputPin && to == topology->outputPin) topology->joints.push_back(i);
    }
    return STATUS_SUCCESS;
}

NTSTATUS QueryPinControl(KsPinHandle& pin, ULONG* pinId, ULONG* pinType) {
    NTSTATUS status = pin.GetULong(KSPROPSETID_BdaPinControl, KSPROPERTY_BDA_PIN_ID, pinId);
    if (!NT_SUCCESS(status)) return status;
    return pin.GetULong(KSPROPSETID_BdaPinControl, KSPROPERTY_BDA_PIN_TYPE, pinType);
}

}  // namespace host
