// The topology and pin-control properties go to the BDA support library as they are.
#include "driver/bda_topology_properties.h"

NTSTATUS TopologyNodeTypes(PIRP irp, PKSIDENTIFIER request, PVOID data) {
    return BdaPropertyNodeTypes(irp, request, static_cast<ULONG*>(data));
}

NTSTATUS TopologyPinTypes(PIRP irp, PKSIDENTIFIER request, PVOID data) {
    return BdaPropertyPinTypes(irp, request, static_cast<ULONG*>(data));
}

NTSTATUS TopologyTemplateConnections(PIRP irp, PKSIDENTIFIER request, PVOID data) {
    return BdaPropertyTemplateConnections(irp, request, static_cast<KSTOPOLOGY_CONNECTION*>(data));
}

// Kernel streaming has checked that these requests hold a node header (the items' minimum).
NTSTATUS TopologyNodeMethods(PIRP irp, PKSIDENTIFIER request, PVOID data) {
    return BdaPropertyNodeMethods(irp, reinterpret_cast<KSP_NODE*>(request),
                                  static_cast<GUID*>(data));
}

NTSTATUS TopologyNodeProperties(PIRP irp, PKSIDENTIFIER request, PVOID data) {
    return BdaPropertyNodeProperties(irp, reinterpret_cast<KSP_NODE*>(request),
                                     static_cast<GUID*>(data));
}

NTSTATUS TopologyNodeEvents(PIRP irp, PKSIDENTIFIER request, PVOID data) {
    return BdaPropertyNodeEvents(irp, reinterpret_cast<KSP_NODE*>(request),
                                 static_cast<GUID*>(data));
}

NTSTATUS TopologyNodeDescriptors(PIRP irp, PKSIDENTIFIER request, PVOID data) {
    return BdaPropertyNodeDescriptors(irp, request, static_cast<BDANODE_DESCRIPTOR*>(data));
}

// ... and that this one holds a node type and a pin pair.
NTSTATUS TopologyControllingPinId(PIRP irp, PKSIDENTIFIER request, PVOID data) {
    return BdaPropertyGetControllingPinId(irp, reinterpret_cast<KSP_BDA_NODE_PIN*>(request),
                                          static_cast<ULONG*>(data));
}

NTSTATUS PinControlGet(PIRP irp, PKSIDENTIFIER request, PVOID data) {
    return BdaPropertyGetPinControl(irp, request, static_cast<ULONG*>(data));
}
