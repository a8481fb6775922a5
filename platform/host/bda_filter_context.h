#pragma once
// The BDA support library's context of a filter (what BdaInitFilter attaches and BdaUninitFilter
// gives back): the template, the pin topologies created, and the change set an application has
// opened with BdaStartChanges.
//
// The documents describe the change methods as starting, checking and committing a set of
// changes and do not say what the state is in between; here the state is pending from a start
// until the commit that ends it, and complete otherwise. Topologies created while a change set is
// open take effect at its commit.
#include <memory>
#include <utility>
#include <vector>

#include "platform/ks.h"

namespace host {

struct BdaFilterContext {
    const BDA_FILTER_TEMPLATE* filterTemplate = nullptr;
    bool changesOpen = false;
    std::vector<std::pair<ULONG, ULONG>> topologies;         // input pin, output pin
    std::vector<std::pair<ULONG, ULONG>> pendingTopologies;  // created in the open change set
};

// Frees a context (and counts it gone).
void ReleaseBdaFilterContext(std::unique_ptr<BdaFilterContext> context);

}  // namespace host
