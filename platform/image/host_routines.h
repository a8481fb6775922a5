#pragma once
// Routines of the host emulation that a driver image reaches through pointers the emulation
// hands it rather than through its import table: the routines of an interface a bus driver
// returns for IRP_MN_QUERY_INTERFACE. A guest call to one of these addresses is run as an import
// call (the runner takes the arguments, calls the routine and returns to the caller).
#include <cstdint>

#include "platform/image/guest_call.h"

namespace image {

struct HostRoutine {
    const char* name;
    ImportThunk thunk;
};

// The routine at host address `address`, or a routine with a null thunk when there is none.
HostRoutine FindHostRoutine(uint64_t address);

}  // namespace image
