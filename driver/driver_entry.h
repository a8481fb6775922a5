#pragma once
// The driver's entry point, as the kernel (or a host test) calls it.
#include "platform/kernel.h"

extern "C" NTSTATUS DriverEntry(PDRIVER_OBJECT driverObject, PUNICODE_STRING registryPath);
