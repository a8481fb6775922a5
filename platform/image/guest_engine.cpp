#include "platform/image/guest_engine.h"

#include <sys/mman.h>

namespace image {
namespace {

uint32_t UnicornAccess(uint32_t access) {
    uint32_t prot = 0;
    if (access & kGuestRead) prot |= UC_PROT_READ;
    if (access & kGuestWrite) prot |= UC_PROT_WRITE;
    if (access & kGuestExecute) prot |= UC_PROT_EXEC;
    return prot;
}

}  // namespace

GuestEngine::~GuestEngine() {
    for (uc_context* context : saved) uc_context_free(context);
    if (uc != nullptr) uc_close(uc);
    if (stackBlock != nullptr) munmap(stackBlock, kGuestGuardBytes + kGuestStackBytes);
}

bool GuestEngine::IsMapped(uint64_t address) const {
    auto after = mapped.upper_bound(address);
    return after != mapped.begin() && address < std::prev(after)->second;
}

void GuestEngine::MapHost(uint64_t start, uint64_t end, uint32_t prot) {
    uint64_t at = start;
    while (at < end) {
        auto after = mapped.upper_bound(at);
        if (after != mapped.begin() && at < std::prev(after)->second) {
            at = std::prev(after)->second;
            continue;
        }
        const uint64_t stop = after != mapped.end() ? std::min(end, after->first) : end;
        if (uc_mem_map_ptr(uc, at, stop - at, prot, reinterpret_cast<void*>(at)) == UC_ERR_OK)
            mapped[at] = stop;
        at = stop;
    }
}

std::unique_ptr<GuestEngine> CreateGuestEngine(const MappedImage& image, void* owner) {
    auto engine = std::make_unique<GuestEngine>();
    engine->owner = owner;
    if (uc_open(UC_ARCH_X86, UC_MODE_64, &engine->uc) != UC_ERR_OK) return nullptr;
    void* block = mmap(nullptr, kGuestGuardBytes + kGuestStackBytes, PROT_READ | PROT_WRITE,
                       MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (block == MAP_FAILED) return nullptr;
    engine->stackBlock = static_cast<uint8_t*>(block);
    mprotect(block, kGuestGuardBytes, PROT_NONE);
    engine->guardLow = reinterpret_cast<uint64_t>(block);
    engine->stackLow = engine->guardLow + kGuestGuardBytes;
    engine->stackHigh = engine->stackLow + kGuestStackBytes;
    for (const ImageRegion& region : image.Regions())
        uc_mem_map_ptr(engine->uc, region.start, region.size, UnicornAccess(region.access),
                       reinterpret_cast<void*>(region.start));
    engine->mapped[image.Base()] = image.Base() + image.Size();
    uc_mem_map_ptr(engine->uc, engine->stackLow, kGuestStackBytes, UC_PROT_READ | UC_PROT_WRITE,
                   reinterpret_cast<void*>(engine->stackLow));
    engine->mapped[engine->stackLow] = engine->stackHigh;
    return engine;
}

}  // namespace image
