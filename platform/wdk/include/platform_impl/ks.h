#pragma once
// Kernel-streaming and BDA vocabulary on the Windows kernel build: ks.h, ksmedia.h, bdatypes.h,
// bdamedia.h and bdasup.h of the mingw-w64 DDK.
#include <platform_impl/kernel.h>

// ksmedia.h uses the window-system geometry types (RECT, SIZE, COLORREF) and TCHAR, which a
// kernel build does not otherwise see.
#include <windef.h>
#ifndef _TCHAR_DEFINED
typedef WCHAR TCHAR;
#define _TCHAR_DEFINED
#endif

// The order matters: each header needs the ones before it.
// clang-format off
#include <ks.h>
#include <ksmedia.h>
#include <bdatypes.h>
#include <bdamedia.h>
#include <bdasup.h>
// clang-format on

// Names of the BDA headers that the mingw-w64 copies lack. Each GUID comes as its STATIC_
// initialiser list, as the kernel-streaming headers give theirs, and as an object.
#define STATIC_KSCATEGORY_BDA_RECEIVER_COMPONENT \
    0xFD0A5AF4, 0xB41D, 0x11D2, 0x9C, 0x95, 0x00, 0xC0, 0x4F, 0x79, 0x71, 0xE0
#define STATIC_KSCATEGORY_BDA_NETWORK_TUNER \
    0x71985F48, 0x1CA1, 0x11D3, 0x9C, 0xC8, 0x00, 0xC0, 0x4F, 0x79, 0x71, 0xE0
#define STATIC_KSNODE_BDA_RF_TUNER \
    0x71985F4C, 0x1CA1, 0x11D3, 0x9C, 0xC8, 0x00, 0xC0, 0x4F, 0x79, 0x71, 0xE0
#define STATIC_KSNODE_BDA_COFDM_DEMODULATOR \
    0x2DAC6E05, 0xEDBE, 0x4B9C, 0xB3, 0x87, 0x1B, 0x6F, 0xAD, 0x7D, 0x64, 0x95
#define STATIC_PINNAME_BDA_TRANSPORT \
    0x78216A81, 0xCFA8, 0x493E, 0x97, 0x11, 0x36, 0xA6, 0x1C, 0x08, 0xBD, 0x9D

inline constexpr GUID KSCATEGORY_BDA_RECEIVER_COMPONENT = {
    STATIC_KSCATEGORY_BDA_RECEIVER_COMPONENT};
inline constexpr GUID KSCATEGORY_BDA_NETWORK_TUNER = {STATIC_KSCATEGORY_BDA_NETWORK_TUNER};
inline constexpr GUID KSNODE_BDA_RF_TUNER = {STATIC_KSNODE_BDA_RF_TUNER};
inline constexpr GUID KSNODE_BDA_COFDM_DEMODULATOR = {STATIC_KSNODE_BDA_COFDM_DEMODULATOR};
inline constexpr GUID PINNAME_BDA_TRANSPORT = {STATIC_PINNAME_BDA_TRANSPORT};

// The antenna input's data range: a plain data range.
typedef struct tagKS_DATARANGE_BDA_ANTENNA {
    KSDATARANGE DataRange;
} KS_DATARANGE_BDA_ANTENNA, *PKS_DATARANGE_BDA_ANTENNA;
static_assert(sizeof(KS_DATARANGE_BDA_ANTENNA) == 64);
static_assert(sizeof(KS_DATARANGE_BDA_TRANSPORT) == 88);

// The Windows headers define `interface` as a keyword for COM declarations; to the driver it is
// an ordinary name.
#undef interface
