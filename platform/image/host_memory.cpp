#include "platform/image/host_memory.h"

#include <cinttypes>
#include <cstdio>

namespace image {

std::optional<HostMapping> FindHostMapping(uint64_t address) {
    std::FILE* maps = std::fopen("/proc/self/maps", "r");
    if (maps == nullptr) return std::nullopt;
    std::optional<HostMapping> found;
    char line[512];
    while (std::fgets(line, sizeof line, maps) != nullptr) {
        uint64_t start = 0, end = 0;
        char permissions[5] = {};
        if (std::sscanf(line, "%" SCNx64 "-%" SCNx64 " %4s", &start, &end, permissions) != 3)
            continue;
        if (address < start || address >= end) continue;
        found = HostMapping{start, end, permissions[0] == 'r', permissions[1] == 'w'};
        break;
    }
    std::fclose(maps);
    return found;
}

}  // namespace image
