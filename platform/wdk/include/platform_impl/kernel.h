#pragma once
// Kernel executive vocabulary on the Windows kernel build: the mingw-w64 DDK headers, plus the
// few helpers the driver core uses that those headers do not offer.
//
// The DDK directory must be on the include path ahead of the ordinary headers (the DDK headers
// include each other as <wdm.h>, <ntddk.h>, ...); windows/CMakeLists.txt arranges that.

// wdm.h redeclares two intrinsics that the compiler's own intrin.h already defines; these
// markers tell it to leave them alone.
#ifndef __INTRINSIC_DEFINED_InterlockedBitTestAndSet
#define __INTRINSIC_DEFINED_InterlockedBitTestAndSet
#endif
#ifndef __INTRINSIC_DEFINED_InterlockedBitTestAndReset
#define __INTRINSIC_DEFINED_InterlockedBitTestAndReset
#endif

#include <ntddk.h>

#include <cstdarg>
#include <cstddef>
#include <cstdint>
#include <cstring>

// Shared words that other processors change: an acquiring read and a releasing write. On x64 the
// ordinary load and store already have these orderings; the builtins keep the compiler from
// reordering or tearing them.
inline LONG ReadLongAcquire(LONG const volatile* source) {
    return __atomic_load_n(source, __ATOMIC_ACQUIRE);
}
inline void WriteLongRelease(LONG volatile* target, LONG value) {
    __atomic_store_n(target, value, __ATOMIC_RELEASE);
}
inline PVOID ReadPointerAcquire(PVOID const volatile* source) {
    return __atomic_load_n(source, __ATOMIC_ACQUIRE);
}
inline void WritePointerRelease(PVOID volatile* target, PVOID value) {
    __atomic_store_n(target, value, __ATOMIC_RELEASE);
}

// The Windows headers define `interface` as a keyword for COM declarations; to the driver it is
// an ordinary name.
#undef interface
