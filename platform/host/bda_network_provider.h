#pragma once
// What the platform's network provider learns of a BDA filter before it takes it into a graph,
// asked of the filter itself: the template topology through the BDA topology property set (node
// types and descriptors, pin types, template connections, the controlling pin of each node) and
// the data flow of each pin type through the pin property set. Nothing here knows the receiver's
// descriptors.
#include <optional>
#include <vector>

#include "platform/host/ks_application.h"

namespace host {

struct BdaControllingPin {
    ULONG nodeType = 0;
    ULONG pinType = 0;
};

struct BdaTemplateTopology {
    std::vector<ULONG> nodeTypes;
    std::vector<BDANODE_DESCRIPTOR> nodeDescriptors;
    std::vector<ULONG> pinTypes;
    std::vector<BDA_TEMPLATE_CONNECTION> connections;
    ULONG inputPin = 0;   // the first pin type whose data flow is in
    ULONG outputPin = 0;  // the first pin type whose data flow is out
    // For every node type, its controlling pin on the path from inputPin to outputPin.
    std::vector<BdaControllingPin> controllingPins;
    // The template connections where control passes from the input pin to the output pin: the
    // topology joints of the pin pair as the answers show them.
    std::vector<ULONG> joints;

    // The node type whose descriptor names `function`, if any.
    std::optional<ULONG> NodeOfFunction(const GUID& function) const;
    // The pin type that controls `nodeType`, if any.
    std::optional<ULONG> ControllingPinOf(ULONG nodeType) const;
    // The node set GUIDs (properties, methods, events) of each node type, in nodeTypes order.
    std::vector<std::vector<GUID>> nodeProperties;
    std::vector<std::vector<GUID>> nodeMethods;
    std::vector<std::vector<GUID>> nodeEvents;
};

// Asks the filter for its template topology. Any refused question fails the whole.
NTSTATUS LearnBdaTopology(KsFilterHandle& filter, BdaTemplateTopology* topology);

// The pin-control answers of a created pin: its pin id and its pin type.
NTSTATUS QueryPinControl(KsPinHandle& pin, ULONG* pinId, ULONG* pinType);

}  // namespace host
