#pragma once
// The kernel functions a driver image may import, each bound to the host emulation's own
// implementation of that service (platform/host): the pool with its tag accounting, IRQL and
// spin locks, dispatcher objects and waits, request packets, device interfaces, the usbd
// library, kernel streaming and BDA support. The table is data: one line per export.
#include <string>
#include <vector>

#include "platform/image/guest_call.h"

namespace image {

struct KernelExport {
    const char* module;  // compared without regard to case ("USBD.SYS" = "usbd.sys")
    const char* name;
    ImportThunk thunk;
};

// The host function bound to `module!name`, or nullptr when the emulation offers none.
ImportThunk FindKernelExport(const std::string& module, const std::string& name);

// The name of every export the emulation offers (each has a row in host/service_rules.h).
std::vector<std::string> KernelExportNames();

}  // namespace image
