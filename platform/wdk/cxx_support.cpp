// What compiled C++ expects from a runtime, for the kernel build. There is no C++ runtime in the
// kernel: objects live in the driver's pool blocks, and a call through a pure virtual slot is a
// driver bug that must not run on.
#include "platform/pool.h"

namespace {
// The driver's own bug check code ("KVPV"), with the kind of fault in the first parameter.
constexpr ULONG kBugCheckDriverFault = 0x4B565056;
constexpr ULONG_PTR kFaultPureVirtualCall = 1;
}  // namespace

extern "C" void __cxa_pure_virtual() {
    KeBugCheckEx(kBugCheckDriverFault, kFaultPureVirtualCall, 0, 0, 0);
}

// Deleting destructors of classes with virtual destructors refer to these even when nothing is
// deleted. The driver allocates only from its own pool, so a delete returns the block there.
void operator delete(void* block) noexcept {
    if (block != nullptr) PoolFree(block);
}
void operator delete(void* block, size_t) noexcept {
    if (block != nullptr) PoolFree(block);
}
