#pragma once
// The BDA topology and pin-control properties, answered by the BDA support library's default
// handlers from the filter's template. Each entry point only passes the request on with the
// value buffer typed as the library declares it, so that the automation tables stay constant
// data.
#include "platform/ks.h"

NTSTATUS TopologyNodeTypes(PIRP irp, PKSIDENTIFIER request, PVOID data);
NTSTATUS TopologyPinTypes(PIRP irp, PKSIDENTIFIER request, PVOID data);
NTSTATUS TopologyTemplateConnections(PIRP irp, PKSIDENTIFIER request, PVOID data);
NTSTATUS TopologyNodeMethods(PIRP irp, PKSIDENTIFIER request, PVOID data);
NTSTATUS TopologyNodeProperties(PIRP irp, PKSIDENTIFIER request, PVOID data);
NTSTATUS TopologyNodeEvents(PIRP irp, PKSIDENTIFIER request, PVOID data);
NTSTATUS TopologyNodeDescriptors(PIRP irp, PKSIDENTIFIER request, PVOID data);
NTSTATUS TopologyControllingPinId(PIRP irp, PKSIDENTIFIER request, PVOID data);
NTSTATUS PinControlGet(PIRP irp, PKSIDENTIFIER request, PVOID data);
