#pragma once
// In a build with AddressSanitizer, the guest's own loads and stores escape it: the emulator
// performs them, not instrumented host code. The runner then checks each of them against
// AddressSanitizer's shadow, so that the image reading or writing outside a host allocation
// (past its end, after its release, into a guard zone) stops the run as it would stop the host
// build. Without AddressSanitizer nothing is checked.
#include <cstddef>
#include <cstdint>

#if defined(__SANITIZE_ADDRESS__)
#define KVSBDA_IMAGE_ACCESS_CHECK 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
#define KVSBDA_IMAGE_ACCESS_CHECK 1
#endif
#endif

#ifdef KVSBDA_IMAGE_ACCESS_CHECK
#include <sanitizer/asan_interface.h>
#endif

namespace image {

#ifdef KVSBDA_IMAGE_ACCESS_CHECK
constexpr bool kGuestAccessesChecked = true;
// True when any byte of [address, address + size) is one the host must not touch.
inline bool HostForbids(uint64_t address, size_t size) {
    return __asan_region_is_poisoned(reinterpret_cast<void*>(address), size) != nullptr;
}
#else
constexpr bool kGuestAccessesChecked = false;
inline bool HostForbids(uint64_t, size_t) {
    return false;
}
#endif

}  // namespace image
