#pragma once
// One emulator engine (unicorn, x86-64) of one host thread: the image and the thread's own guest
// stack mapped at their host addresses, host memory mapped in as the guest touches it, and what
// a run left behind (the access it could not satisfy, the exception it raised, the registers of
// outer calls while a nested call runs).
#include <unicorn/unicorn.h>

#include <cstdint>
#include <map>
#include <memory>
#include <vector>

#include "platform/image/mapped_image.h"

namespace image {

// A Windows x64 kernel stack, above guard pages the guest cannot touch.
constexpr uint64_t kGuestStackBytes = 24 * 1024;
constexpr uint64_t kGuestGuardBytes = 2 * 0x1000;

struct GuestEngine {
    void* owner = nullptr;  // the runner whose image the engine runs
    uc_engine* uc = nullptr;
    std::map<uint64_t, uint64_t> mapped;  // start -> end of every range mapped into the engine
    uint8_t* stackBlock = nullptr;        // guard pages, then the stack
    uint64_t guardLow = 0;
    uint64_t stackLow = 0;
    uint64_t stackHigh = 0;
    int depth = 0;                   // guest calls in progress on this thread
    std::vector<uc_context*> saved;  // registers of the outer calls, one per depth
    // The last access the emulator could not satisfy, and the last processor exception.
    int missType = 0;
    uint64_t missAddress = 0;
    int interrupt = -1;

    ~GuestEngine();

    bool IsMapped(uint64_t address) const;
    // Maps [start, end) of host memory where nothing is mapped yet, at the same address.
    void MapHost(uint64_t start, uint64_t end, uint32_t prot);
};

// An engine with `image` and a fresh guest stack mapped; nullptr when the emulator or the stack
// cannot be had.
std::unique_ptr<GuestEngine> CreateGuestEngine(const MappedImage& image, void* owner);

inline uint64_t ReadRegister(uc_engine* uc, int reg) {
    uint64_t value = 0;
    uc_reg_read(uc, reg, &value);
    return value;
}

inline void WriteRegister(uc_engine* uc, int reg, uint64_t value) {
    uc_reg_write(uc, reg, &value);
}

}  // namespace image
