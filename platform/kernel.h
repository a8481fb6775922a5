#pragma once
// Kernel executive vocabulary of the driver core: basic types, status codes, IRQL, non-paged
// pool, dispatcher objects and waits, spin locks, interlocked operations, debug print and
// assertions, device objects and request packets. The names are those of the Windows kernel; the
// build chooses the real kernel (platform/wdk) or the user-mode emulation (platform/host).
#include <platform_impl/kernel.h>
