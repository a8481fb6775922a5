#pragma once
// User-mode emulation of the Windows kernel services the driver core uses. Names, signatures and
// (where the core sizes or lays out a structure) layouts follow Windows x64. Host-only controls
// (virtual clock, pool accounting, captured debug output, IRQL tracking) live in namespace host,
// declared in platform/host/*.h.
#include <cstdarg>
#include <cstddef>
#include <cstdint>
#include <cstring>

// ---- Basic types -------------------------------------------------------------------------
using VOID = void;
using PVOID = void*;
using CHAR = char;
using PCHAR = char*;
using PCSTR = const char*;
using CCHAR = char;
using UCHAR = uint8_t;
using PUCHAR = uint8_t*;
using SHORT = int16_t;
using USHORT = uint16_t;
using PUSHORT = uint16_t*;
using LONG = int32_t;
using PLONG = int32_t*;
using ULONG = uint32_t;
using PULONG = uint32_t*;
using LONGLONG = int64_t;
using ULONGLONG = uint64_t;
using LONG_PTR = intptr_t;
using ULONG_PTR = uintptr_t;
using SIZE_T = size_t;
using BOOLEAN = uint8_t;
using WCHAR = char16_t;
using PWSTR = char16_t*;
using NTSTATUS = int32_t;
using KIRQL = uint8_t;
using PKIRQL = KIRQL*;
using KPROCESSOR_MODE = CCHAR;

#ifndef TRUE
#define TRUE 1
#define FALSE 0
#endif

union LARGE_INTEGER {
    struct {
        ULONG LowPart;
        LONG HighPart;
    } u;
    LONGLONG QuadPart;
};
using PLARGE_INTEGER = LARGE_INTEGER*;

struct GUID {
    uint32_t Data1;
    uint16_t Data2;
    uint16_t Data3;
    uint8_t Data4[8];
};
using LPCGUID = const GUID*;
inline bool IsEqualGUID(const GUID& a, const GUID& b) { return std::memcmp(&a, &b, sizeof(GUID)) == 0; }

struct UNICODE_STRING {
    USHORT Length;
    USHORT MaximumLength;
    PWSTR Buffer;
};
using PUNICODE_STRING = UNICODE_STRING*;
void RtlFreeUnicodeString(PUNICODE_STRING string);

#define RtlZeroMemory(destination, length) std::memset((destination), 0, (length))
#define RtlCopyMemory(destination, source, length) std::memcpy((destination), (source), (length))
#define RtlFillMemory(destination, length, fill) std::memset((destination), (fill), (length))

// ---- Status codes ------------------------------------------------------------------------
#define NT_SUCCESS(status) (((NTSTATUS)(status)) >= 0)
constexpr NTSTATUS STATUS_SUCCESS = 0x00000000;
constexpr NTSTATUS STATUS_TIMEOUT = 0x00000102;
constexpr NTSTATUS STATUS_PENDING = 0x00000103;
constexpr NTSTATUS STATUS_BUFFER_OVERFLOW = (NTSTATUS)0x80000005;
constexpr NTSTATUS STATUS_UNSUCCESSFUL = (NTSTATUS)0xC0000001;
constexpr NTSTATUS STATUS_NOT_IMPLEMENTED = (NTSTATUS)0xC0000002;
constexpr NTSTATUS STATUS_INVALID_PARAMETER = (NTSTATUS)0xC000000D;
constexpr NTSTATUS STATUS_END_OF_FILE = (NTSTATUS)0xC0000011;
constexpr NTSTATUS STATUS_MORE_PROCESSING_REQUIRED = (NTSTATUS)0xC0000016;
constexpr NTSTATUS STATUS_NO_MEMORY = (NTSTATUS)0xC0000017;
constexpr NTSTATUS STATUS_INSUFFICIENT_RESOURCES = (NTSTATUS)0xC000009A;
constexpr NTSTATUS STATUS_DEVICE_NOT_CONNECTED = (NTSTATUS)0xC000009D;
constexpr NTSTATUS STATUS_BUFFER_TOO_SMALL = (NTSTATUS)0xC0000023;
constexpr NTSTATUS STATUS_CANCELLED = (NTSTATUS)0xC0000120;
constexpr NTSTATUS STATUS_NOT_SUPPORTED = (NTSTATUS)0xC00000BB;
constexpr NTSTATUS STATUS_INVALID_DEVICE_REQUEST = (NTSTATUS)0xC0000010;

// ---- IRQL ----------------------------------------------------------------------------------
// The emulation tracks a per-thread level: completion routines run at DISPATCH_LEVEL, and a
// wait or sleep there is a bug check (platform/host/service_rules.h).
constexpr KIRQL PASSIVE_LEVEL = 0;
constexpr KIRQL APC_LEVEL = 1;
constexpr KIRQL DISPATCH_LEVEL = 2;
KIRQL KeGetCurrentIrql();
void KeRaiseIrql(KIRQL newIrql, PKIRQL oldIrql);
void KeLowerIrql(KIRQL newIrql);

// ---- Pool ----------------------------------------------------------------------------------
enum POOL_TYPE { NonPagedPool = 0, PagedPool = 1, NonPagedPoolNx = 512 };
PVOID ExAllocatePoolWithTag(POOL_TYPE poolType, SIZE_T numberOfBytes, ULONG tag);
void ExFreePoolWithTag(PVOID block, ULONG tag);
void ExFreePool(PVOID block);

// ---- Dispatcher objects and waits ----------------------------------------------------------
// Laid out as on Windows x64 (KEVENT 24, KMUTEX 56, KTIMER 64 bytes), since the driver embeds
// them in its own structures. Every waitable object starts with the header so that
// KeWaitForSingleObject can tell them apart. The host keeps all object state inside the objects,
// in the fields the kernel itself uses for it (guarded by one dispatcher lock): Type, Size (the
// object's size in LONGs, which also marks it initialised), Inserted (a timer is queued),
// SignalState, a mutex's OwnerThread and a timer's DueTime.
struct LIST_ENTRY {
    LIST_ENTRY* Flink;
    LIST_ENTRY* Blink;
};
using PLIST_ENTRY = LIST_ENTRY*;

struct DISPATCHER_HEADER {
    UCHAR Type;
    UCHAR Signalling;
    UCHAR Size;
    UCHAR Inserted;
    LONG SignalState;
    LIST_ENTRY WaitListHead;
};

struct KMUTEX {
    DISPATCHER_HEADER Header;
    LIST_ENTRY MutantListEntry;
    PVOID OwnerThread;
    BOOLEAN Abandoned;
    UCHAR ApcDisable;
};
using PKMUTEX = KMUTEX*;
using PRKMUTEX = KMUTEX*;

enum EVENT_TYPE { NotificationEvent = 0, SynchronizationEvent = 1 };
struct KEVENT {
    DISPATCHER_HEADER Header;
};
using PKEVENT = KEVENT*;
using PRKEVENT = KEVENT*;

enum TIMER_TYPE { NotificationTimer = 0, SynchronizationTimer = 1 };
struct KDPC;
struct KTIMER {
    DISPATCHER_HEADER Header;
    LONGLONG DueTime;  // virtual or real clock, 100 ns units, absolute
    LIST_ENTRY TimerListEntry;
    KDPC* Dpc;
    ULONG Processor;
    LONG Period;
};
using PKTIMER = KTIMER*;

enum KWAIT_REASON { Executive = 0, UserRequest = 6 };
constexpr KPROCESSOR_MODE KernelMode = 0;
constexpr KPROCESSOR_MODE UserMode = 1;
using KPRIORITY = LONG;
constexpr KPRIORITY IO_NO_INCREMENT = 0;

// Mutexes are owner-recursive: the owning thread may acquire again and must release as often.
void KeInitializeMutex(PRKMUTEX mutex, ULONG level);
LONG KeReleaseMutex(PRKMUTEX mutex, BOOLEAN wait);
void KeInitializeEvent(PRKEVENT event, EVENT_TYPE type, BOOLEAN state);
LONG KeSetEvent(PRKEVENT event, KPRIORITY increment, BOOLEAN wait);
void KeClearEvent(PRKEVENT event);
LONG KeReadStateEvent(PRKEVENT event);
void KeInitializeTimerEx(PKTIMER timer, TIMER_TYPE type);
void KeInitializeTimer(PKTIMER timer);
BOOLEAN KeSetTimer(PKTIMER timer, LARGE_INTEGER dueTime, KDPC* dpc);
BOOLEAN KeCancelTimer(PKTIMER timer);
// Relative times are negative, in 100 ns units. A null timeout waits without limit.
NTSTATUS KeWaitForSingleObject(PVOID object, KWAIT_REASON reason, KPROCESSOR_MODE mode,
                               BOOLEAN alertable, PLARGE_INTEGER timeout);
NTSTATUS KeDelayExecutionThread(KPROCESSOR_MODE mode, BOOLEAN alertable, PLARGE_INTEGER interval);
void KeEnterCriticalRegion();
void KeLeaveCriticalRegion();
void KeQuerySystemTime(PLARGE_INTEGER currentTime);

// ---- Spin locks and interlocked operations ---------------------------------------------------
using KSPIN_LOCK = ULONG_PTR;
using PKSPIN_LOCK = KSPIN_LOCK*;
void KeInitializeSpinLock(PKSPIN_LOCK lock);
void KeAcquireSpinLock(PKSPIN_LOCK lock, PKIRQL oldIrql);
void KeReleaseSpinLock(PKSPIN_LOCK lock, KIRQL newIrql);
void KeAcquireSpinLockAtDpcLevel(PKSPIN_LOCK lock);
void KeReleaseSpinLockFromDpcLevel(PKSPIN_LOCK lock);

inline LONG InterlockedIncrement(LONG volatile* target) { return __atomic_add_fetch(target, 1, __ATOMIC_SEQ_CST); }
inline LONG InterlockedDecrement(LONG volatile* target) { return __atomic_sub_fetch(target, 1, __ATOMIC_SEQ_CST); }
inline LONG InterlockedExchange(LONG volatile* target, LONG value) {
    return __atomic_exchange_n(target, value, __ATOMIC_SEQ_CST);
}
inline LONG InterlockedExchangeAdd(LONG volatile* target, LONG value) {
    return __atomic_fetch_add(target, value, __ATOMIC_SEQ_CST);
}
inline LONG InterlockedCompareExchange(LONG volatile* target, LONG exchange, LONG comparand) {
    __atomic_compare_exchange_n(target, &comparand, exchange, false, __ATOMIC_SEQ_CST, __ATOMIC_SEQ_CST);
    return comparand;
}
inline PVOID InterlockedExchangePointer(PVOID volatile* target, PVOID value) {
    return __atomic_exchange_n(target, value, __ATOMIC_SEQ_CST);
}
inline PVOID InterlockedCompareExchangePointer(PVOID volatile* target, PVOID exchange, PVOID comparand) {
    __atomic_compare_exchange_n(target, &comparand, exchange, false, __ATOMIC_SEQ_CST, __ATOMIC_SEQ_CST);
    return comparand;
}
// Plain reads of shared words that other processors change (the kernel's ReadNoFence family).
inline LONG ReadLongAcquire(LONG const volatile* source) { return __atomic_load_n(source, __ATOMIC_ACQUIRE); }
inline void WriteLongRelease(LONG volatile* target, LONG value) { __atomic_store_n(target, value, __ATOMIC_RELEASE); }
inline PVOID ReadPointerAcquire(PVOID const volatile* source) { return __atomic_load_n(source, __ATOMIC_ACQUIRE); }
inline void WritePointerRelease(PVOID volatile* target, PVOID value) {
    __atomic_store_n(target, value, __ATOMIC_RELEASE);
}

// ---- Debug output and assertions -------------------------------------------------------------
ULONG DbgPrint(PCSTR format, ...) __attribute__((format(printf, 1, 2)));
void RtlAssert(PVOID failedAssertion, PVOID fileName, ULONG lineNumber, PCHAR message);

// ---- Device objects and request packets ------------------------------------------------------
struct IRP;
using PIRP = IRP*;
struct DEVICE_OBJECT;
using PDEVICE_OBJECT = DEVICE_OBJECT*;
struct DRIVER_OBJECT;
using PDRIVER_OBJECT = DRIVER_OBJECT*;

using PDRIVER_DISPATCH = NTSTATUS (*)(PDEVICE_OBJECT, PIRP);
using PIO_COMPLETION_ROUTINE = NTSTATUS (*)(PDEVICE_OBJECT deviceObject, PIRP irp, PVOID context);
using PDRIVER_CANCEL = void (*)(PDEVICE_OBJECT deviceObject, PIRP irp);

// Laid out as on Windows x64. The host keeps what stands behind a device object (the bus device
// of a stick, a test double) in DeviceObjectExtension, the I/O system's own per-device record,
// which drivers never touch (platform/host/device_node.h).
struct DEVICE_OBJECT {
    SHORT Type;
    USHORT Size;
    LONG ReferenceCount;
    PDRIVER_OBJECT DriverObject;
    PDEVICE_OBJECT NextDevice;
    PDEVICE_OBJECT AttachedDevice;
    PIRP CurrentIrp;
    PVOID Timer;
    ULONG Flags;
    ULONG Characteristics;
    PVOID Vpb;
    PVOID DeviceExtension;
    ULONG DeviceType;
    CCHAR StackSize;
    alignas(8) UCHAR Queue[0x48];
    ULONG AlignmentRequirement;
    alignas(8) UCHAR DeviceQueue[0x28];
    alignas(8) UCHAR Dpc[0x40];
    ULONG ActiveThreadCount;
    PVOID SecurityDescriptor;
    KEVENT DeviceLock;
    USHORT SectorSize;
    USHORT Spare1;
    PVOID DeviceObjectExtension;
    PVOID Reserved;
};

struct DRIVER_OBJECT {
    SHORT Type;
    SHORT Size;
    PDEVICE_OBJECT DeviceObject;
    ULONG Flags;
    PVOID DriverStart;
    ULONG DriverSize;
    PVOID DriverSection;
    PVOID DriverExtension;
    UNICODE_STRING DriverName;
    PUNICODE_STRING HardwareDatabase;
    PVOID FastIoDispatch;
    PVOID DriverInit;
    PVOID DriverStartIo;
    PVOID DriverUnload;
    PDRIVER_DISPATCH MajorFunction[28];
};

struct IO_STATUS_BLOCK {
    union {
        NTSTATUS Status;
        PVOID Pointer;
    };
    ULONG_PTR Information;
};
using PIO_STATUS_BLOCK = IO_STATUS_BLOCK*;

constexpr UCHAR IRP_MJ_INTERNAL_DEVICE_CONTROL = 0x0F;
constexpr UCHAR IRP_MJ_DEVICE_CONTROL = 0x0E;
constexpr UCHAR IRP_MJ_PNP = 0x1B;
constexpr UCHAR IRP_MN_QUERY_INTERFACE = 0x08;
constexpr UCHAR SL_INVOKE_ON_CANCEL = 0x20;
constexpr UCHAR SL_INVOKE_ON_SUCCESS = 0x40;
constexpr UCHAR SL_INVOKE_ON_ERROR = 0x80;

// The head of every interface a driver hands another through IRP_MN_QUERY_INTERFACE.
using PINTERFACE_REFERENCE = void (*)(PVOID context);
using PINTERFACE_DEREFERENCE = void (*)(PVOID context);
struct INTERFACE {
    USHORT Size;
    USHORT Version;
    PVOID Context;
    PINTERFACE_REFERENCE InterfaceReference;
    PINTERFACE_DEREFERENCE InterfaceDereference;
};
using PINTERFACE = INTERFACE*;

struct IO_STACK_LOCATION {
    UCHAR MajorFunction;
    UCHAR MinorFunction;
    UCHAR Flags;
    UCHAR Control;
    union {
        struct {  // each length and the code pointer-aligned, as on Windows x64
            alignas(8) ULONG OutputBufferLength;
            alignas(8) ULONG InputBufferLength;
            alignas(8) ULONG IoControlCode;
            PVOID Type3InputBuffer;
        } DeviceIoControl;
        struct {
            const GUID* InterfaceType;
            USHORT Size;
            USHORT Version;
            PINTERFACE Interface;
            PVOID InterfaceSpecificData;
        } QueryInterface;
        struct {
            PVOID Argument1;
            PVOID Argument2;
            PVOID Argument3;
            PVOID Argument4;
        } Others;
    } Parameters;
    PDEVICE_OBJECT DeviceObject;
    PVOID FileObject;
    PIO_COMPLETION_ROUTINE CompletionRoutine;
    PVOID Context;
};
using PIO_STACK_LOCATION = IO_STACK_LOCATION*;

struct MDL;

// A request packet, laid out as on Windows x64 (the DDK's inline helpers reach into it). Stack
// locations follow the packet in the same allocation, as in the kernel; CurrentLocation counts
// down from StackCount + 1 as the packet is passed down. The host's own marks (who allocated the
// packet, whether the I/O system frees it) live in AllocationFlags, the I/O system's field.
struct IRP {
    SHORT Type;
    USHORT Size;
    MDL* MdlAddress;
    ULONG Flags;
    union {
        IRP* MasterIrp;
        LONG IrpCount;
        PVOID SystemBuffer;
    } AssociatedIrp;
    LIST_ENTRY ThreadListEntry;
    IO_STATUS_BLOCK IoStatus;
    KPROCESSOR_MODE RequestorMode;
    BOOLEAN PendingReturned;
    CCHAR StackCount;
    CCHAR CurrentLocation;
    BOOLEAN Cancel;
    KIRQL CancelIrql;
    CCHAR ApcEnvironment;
    UCHAR AllocationFlags;
    PIO_STATUS_BLOCK UserIosb;
    PKEVENT UserEvent;
    union {
        struct {
            PVOID UserApcRoutine;
            PVOID UserApcContext;
        } AsynchronousParameters;
        LARGE_INTEGER AllocationSize;
    } Overlay;
    PDRIVER_CANCEL CancelRoutine;
    PVOID UserBuffer;
    union {
        struct {
            PVOID DriverContext[4];
            PVOID Thread;  // requesting thread of a built packet; its waits receive the completion
            PCHAR AuxiliaryBuffer;
            LIST_ENTRY ListEntry;
            PIO_STACK_LOCATION CurrentStackLocation;
            PVOID OriginalFileObject;
        } Overlay;
        alignas(8) UCHAR Apc[0x58];
        PVOID CompletionKey;
    } Tail;
};

USHORT IoSizeOfIrp(CCHAR stackSize);
PIRP IoAllocateIrp(CCHAR stackSize, BOOLEAN chargeQuota);
void IoInitializeIrp(PIRP irp, USHORT packetSize, CCHAR stackSize);
void IoReuseIrp(PIRP irp, NTSTATUS status);
void IoFreeIrp(PIRP irp);
PIO_STACK_LOCATION IoGetNextIrpStackLocation(PIRP irp);
PIO_STACK_LOCATION IoGetCurrentIrpStackLocation(PIRP irp);
void IoSetNextIrpStackLocation(PIRP irp);
void IoSetCompletionRoutine(PIRP irp, PIO_COMPLETION_ROUTINE routine, PVOID context, BOOLEAN invokeOnSuccess,
                            BOOLEAN invokeOnError, BOOLEAN invokeOnCancel);
NTSTATUS IofCallDriver(PDEVICE_OBJECT deviceObject, PIRP irp);
inline NTSTATUS IoCallDriver(PDEVICE_OBJECT deviceObject, PIRP irp) { return IofCallDriver(deviceObject, irp); }
void IofCompleteRequest(PIRP irp, KPRIORITY priorityBoost);
inline void IoCompleteRequest(PIRP irp, KPRIORITY priorityBoost) { IofCompleteRequest(irp, priorityBoost); }
BOOLEAN IoCancelIrp(PIRP irp);
PDRIVER_CANCEL IoSetCancelRoutine(PIRP irp, PDRIVER_CANCEL cancelRoutine);
void IoMarkIrpPending(PIRP irp);
// Builds a packet that the I/O system frees after completion, signalling `event` and filling
// `ioStatusBlock` with the final status.
PIRP IoBuildDeviceIoControlRequest(ULONG ioControlCode, PDEVICE_OBJECT deviceObject, PVOID inputBuffer,
                                   ULONG inputBufferLength, PVOID outputBuffer, ULONG outputBufferLength,
                                   BOOLEAN internalDeviceIoControl, PKEVENT event, PIO_STATUS_BLOCK ioStatusBlock);

// ---- Device interfaces ----------------------------------------------------------------------
NTSTATUS IoRegisterDeviceInterface(PDEVICE_OBJECT physicalDeviceObject, const GUID* interfaceClassGuid,
                                   PUNICODE_STRING referenceString, PUNICODE_STRING symbolicLinkName);
NTSTATUS IoSetDeviceInterfaceState(PUNICODE_STRING symbolicLinkName, BOOLEAN enable);
