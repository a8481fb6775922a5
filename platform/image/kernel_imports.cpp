#include "platform/image/kernel_imports.h"

#include <strings.h>

#include <cstdio>
#include <cstring>
#include <iterator>

#include "platform/image/guest_format.h"
#include "platform/kernel.h"
#include "platform/ks.h"
#include "platform/usb.h"

namespace image {
namespace {

// Exports whose x64 form the host declarations do not have one to one.

// KeAcquireSpinLock is a macro over this on x64.
KIRQL AcquireSpinLockRaiseToDpc(PKSPIN_LOCK lock) {
    KIRQL previous;
    KeAcquireSpinLock(lock, &previous);
    return previous;
}

void* CopyMemory(void* destination, const void* source, size_t bytes) {
    return std::memcpy(destination, source, bytes);
}
void* MoveMemory(void* destination, const void* source, size_t bytes) {
    return std::memmove(destination, source, bytes);
}
void* FillMemory(void* destination, int value, size_t bytes) {
    return std::memset(destination, value, bytes);
}
int CompareMemory(const void* a, const void* b, size_t bytes) {
    return std::memcmp(a, b, bytes);
}

// DbgPrint takes its arguments the way varargs travel on x64: each in its own word.
uint64_t GuestDbgPrint(const GuestCall& call) {
    const char* format = reinterpret_cast<const char*>(call.Word(0));
    if (format == nullptr) return static_cast<uint32_t>(STATUS_INVALID_PARAMETER);
    const std::string text = FormatGuestPrint(format, call, 1);
    return DbgPrint("%s", text.c_str());
}

// The kernel stops the machine here; the emulation stops the run with the code and parameters.
uint64_t GuestBugCheck(const GuestCall& call) {
    char text[160];
    std::snprintf(text, sizeof text,
                  "KeBugCheckEx(0x%08llX, 0x%llX, 0x%llX, 0x%llX, 0x%llX): the driver stopped the "
                  "machine",
                  static_cast<unsigned long long>(call.Word(0) & 0xFFFFFFFF),
                  static_cast<unsigned long long>(call.Word(1)),
                  static_cast<unsigned long long>(call.Word(2)),
                  static_cast<unsigned long long>(call.Word(3)),
                  static_cast<unsigned long long>(call.Word(4)));
    call.Fault(text);
    return 0;
}

constexpr const char kKernel[] = "ntoskrnl.exe";
constexpr const char kKs[] = "ks.sys";
constexpr const char kBda[] = "bdasup.sys";
constexpr const char kUsbd[] = "usbd.sys";

#define KVS_EXPORT(module, function) \
    { module, #function, &Thunk<&function> }
#define KVS_EXPORT_AS(module, name, function) \
    { module, name, &Thunk<&function> }

const KernelExport kExports[] = {
    {kKernel, "DbgPrint", &GuestDbgPrint},
    {kKernel, "KeBugCheckEx", &GuestBugCheck},
    KVS_EXPORT(kKernel, RtlAssert),
    KVS_EXPORT(kKernel, ExAllocatePoolWithTag),
    KVS_EXPORT(kKernel, ExFreePoolWithTag),
    KVS_EXPORT(kKernel, ExFreePool),
    KVS_EXPORT(kKernel, KeRaiseIrql),
    KVS_EXPORT(kKernel, KeLowerIrql),
    KVS_EXPORT(kKernel, KeGetCurrentIrql),
    KVS_EXPORT_AS(kKernel, "KeAcquireSpinLockRaiseToDpc", AcquireSpinLockRaiseToDpc),
    KVS_EXPORT(kKernel, KeReleaseSpinLock),
    KVS_EXPORT(kKernel, KeAcquireSpinLockAtDpcLevel),
    KVS_EXPORT(kKernel, KeReleaseSpinLockFromDpcLevel),
    KVS_EXPORT(kKernel, KeInitializeSpinLock),
    KVS_EXPORT(kKernel, KeInitializeMutex),
    KVS_EXPORT(kKernel, KeReleaseMutex),
    KVS_EXPORT(kKernel, KeInitializeEvent),
    KVS_EXPORT(kKernel, KeSetEvent),
    KVS_EXPORT(kKernel, KeClearEvent),
    KVS_EXPORT(kKernel, KeReadStateEvent),
    KVS_EXPORT(kKernel, KeInitializeTimer),
    KVS_EXPORT(kKernel, KeInitializeTimerEx),
    KVS_EXPORT(kKernel, KeSetTimer),
    KVS_EXPORT(kKernel, KeCancelTimer),
    KVS_EXPORT(kKernel, KeWaitForSingleObject),
    KVS_EXPORT(kKernel, KeDelayExecutionThread),
    KVS_EXPORT(kKernel, KeEnterCriticalRegion),
    KVS_EXPORT(kKernel, KeLeaveCriticalRegion),
    KVS_EXPORT(kKernel, KeQuerySystemTime),
    KVS_EXPORT(kKernel, RtlFreeUnicodeString),
    KVS_EXPORT(kKernel, IoAllocateIrp),
    KVS_EXPORT(kKernel, IoInitializeIrp),
    KVS_EXPORT(kKernel, IoReuseIrp),
    KVS_EXPORT(kKernel, IoFreeIrp),
    KVS_EXPORT(kKernel, IofCallDriver),
    KVS_EXPORT(kKernel, IofCompleteRequest),
    KVS_EXPORT(kKernel, IoCancelIrp),
    KVS_EXPORT(kKernel, IoBuildDeviceIoControlRequest),
    KVS_EXPORT(kKernel, IoRegisterDeviceInterface),
    KVS_EXPORT(kKernel, IoSetDeviceInterfaceState),
    KVS_EXPORT_AS(kKernel, "memcpy", CopyMemory),
    KVS_EXPORT_AS(kKernel, "memmove", MoveMemory),
    KVS_EXPORT_AS(kKernel, "memset", FillMemory),
    KVS_EXPORT_AS(kKernel, "memcmp", CompareMemory),
    KVS_EXPORT(kKs, KsInitializeDriver),
    KVS_EXPORT(kKs, KsGetDevice),
    KVS_EXPORT(kKs, KsGetFilterFromIrp),
    KVS_EXPORT(kKs, KsGetPinFromIrp),
    KVS_EXPORT(kKs, KsPinGetLeadingEdgeStreamPointer),
    KVS_EXPORT(kKs, KsStreamPointerAdvanceOffsetsAndUnlock),
    KVS_EXPORT(kBda, BdaCreateFilterFactory),
    KVS_EXPORT(kBda, BdaInitFilter),
    KVS_EXPORT(kBda, BdaUninitFilter),
    KVS_EXPORT(kBda, BdaStartChanges),
    KVS_EXPORT(kBda, BdaCheckChanges),
    KVS_EXPORT(kBda, BdaCommitChanges),
    KVS_EXPORT(kBda, BdaGetChangeState),
    KVS_EXPORT(kBda, BdaMethodCreateTopology),
    KVS_EXPORT(kBda, BdaPropertyNodeTypes),
    KVS_EXPORT(kBda, BdaPropertyPinTypes),
    KVS_EXPORT(kBda, BdaPropertyTemplateConnections),
    KVS_EXPORT(kBda, BdaPropertyNodeMethods),
    KVS_EXPORT(kBda, BdaPropertyNodeProperties),
    KVS_EXPORT(kBda, BdaPropertyNodeEvents),
    KVS_EXPORT(kBda, BdaPropertyNodeDescriptors),
    KVS_EXPORT(kBda, BdaPropertyGetControllingPinId),
    KVS_EXPORT(kBda, BdaPropertyGetPinControl),
    KVS_EXPORT(kBda, BdaValidateNodeProperty),
    KVS_EXPORT(kUsbd, USBD_ParseConfigurationDescriptorEx),
    KVS_EXPORT(kUsbd, USBD_CreateConfigurationRequestEx),
};

#undef KVS_EXPORT
#undef KVS_EXPORT_AS

}  // namespace

std::vector<std::string> KernelExportNames() {
    std::vector<std::string> names;
    for (const KernelExport& entry : kExports) names.push_back(entry.name);
    return names;
}

ImportThunk FindKernelExport(const std::string& module, const std::string& name) {
    for (const KernelExport& entry : kExports)
        if (strcasecmp(entry.module, module.c_str()) == 0 && name == entry.name) return entry.thunk;
    return nullptr;
}

}  // namespace image
