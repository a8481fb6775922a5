#pragma once
// What the host process has mapped at an address, from /proc/self/maps. The guest shares the
// host's address space: a page it may touch is a page the host has mapped readable.
#include <cstdint>
#include <optional>

namespace image {

struct HostMapping {
    uint64_t start = 0;
    uint64_t end = 0;  // exclusive
    bool readable = false;
    bool writable = false;
};

std::optional<HostMapping> FindHostMapping(uint64_t address);

}  // namespace image
