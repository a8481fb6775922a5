#include "low_resources_report.h"

#include <cstdio>

#include "platform/debug_print.h"
#include "platform/host/debug_log.h"
#include "platform/host/pool_accounting.h"
#include "platform/pool.h"

namespace kvssim {

LowResourcesReport ReportLowResources(const GlobalOptions& options,
                                      const std::vector<std::string>& debug) {
    LowResourcesReport report;
    if (options.lowResources.empty()) return report;
    const std::map<ULONG, host::LowResourcesCount> counts = host::LowResourcesCounts();
    auto countOf = [&counts](ULONG tag) {
        const auto found = counts.find(tag);
        return found == counts.end() ? host::LowResourcesCount{} : found->second;
    };
    const host::LowResourcesCount pool = countOf(kDriverPoolTag);
    const host::LowResourcesCount packets = countOf(host::kIrpPoolTag);
    // The marker as the lines carry it: converted for the terminal, as printed for --json.
    const std::string marker = host::Gb2312ToUtf8(kErrorMarker);
    size_t errorLines = 0;
    for (const std::string& line : options.json ? debug : host::DebugLines())
        if (line.find(marker) != std::string::npos || line.find(kErrorMarker) != std::string::npos)
            ++errorLines;

    char text[512];
    std::snprintf(text, sizeof text,
                  "  low resources %s (seed %llu): pool allocations failed %zu of %zu, request "
                  "packets failed %zu of %zu; driver error lines: %zu\n",
                  options.lowResources.c_str(), static_cast<unsigned long long>(options.seed),
                  pool.failed, pool.attempts, packets.failed, packets.attempts, errorLines);
    report.text = text;
    report.json = {{"oneIn", options.lowResources},      {"seed", options.seed},
                   {"poolAllocations", pool.attempts},   {"poolAllocationsFailed", pool.failed},
                   {"requestPackets", packets.attempts}, {"requestPacketsFailed", packets.failed},
                   {"driverErrorLines", errorLines}};
    return report;
}

}  // namespace kvssim
