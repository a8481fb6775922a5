#pragma once
// What stops a run of the driver image: the kind of fault, where it happened in the image, and
// the host call stack that led into the guest.
#include <cstdint>
#include <string>
#include <vector>

namespace image {

struct GuestFault {
    std::string kind;                     // "invalid memory access", "unknown import", ...
    std::string description;              // what happened, in words
    uint64_t address = 0;                 // guest instruction address (or the faulting import slot)
    std::string function;                 // the image function the address falls in
    std::vector<std::string> guestStack;  // return addresses into the image found on the stack
    std::vector<std::string> hostStack;   // the host call stack that led into the guest
    std::string Report() const;
};

// The calling thread's stack, one demangled line per frame (the caller of this function first).
std::vector<std::string> HostCallStack();

}  // namespace image
