#pragma once
// The MXL5003s tuner model: settings, computed synthesiser frequencies, the two numbered-control
// tables and the shadow of the 104 registers the driver programs. One module-wide instance is
// rebuilt by every tune; nothing in it survives from one tune to the next.
#include "platform/kernel.h"

constexpr USHORT kTunerMaxControlBits = 25;
constexpr USHORT kTunerInitControlCount = 40;
constexpr USHORT kTunerChannelControlCount = 36;
constexpr USHORT kTunerRegisterCount = 104;

// Statuses of the model operations; callers add them up in 16 bits.
constexpr USHORT kTunerOk = 0;
constexpr USHORT kTunerRefused = 0xFFFF;

// Control tables selected by TunerSetControl.
constexpr USHORT kTunerInitTable = 1;
constexpr USHORT kTunerChannelTable = 2;

// One numbered control: control bit j lives in register address[j], bit position bit[j], and
// value[j] keeps bit j of the value last set. Entries at and beyond `size` are zero.
struct TunerControl {
    USHORT id;
    USHORT size;
    USHORT address[kTunerMaxControlBits];
    USHORT bit[kTunerMaxControlBits];
    USHORT value[kTunerMaxControlBits];
};

// One shadow register; the upper byte of `value` stays 0.
struct TunerRegister {
    USHORT address;
    USHORT value;
};

struct TunerState {
    UCHAR mode;
    UCHAR ifMode;
    ULONG bandwidthHz;
    ULONG ifOutHz;
    USHORT ifLoad;
    ULONG rfHz;
    ULONG xtalHz;
    UCHAR levelMode;
    USHORT levelPoint;
    UCHAR flag22;
    UCHAR flag23;
    UCHAR flag24;
    UCHAR groupEnable;
    UCHAR profile;
    UCHAR filterType;
    ULONG rfLoHz;
    ULONG ifLoHz;
    ULONG auxLoHz;
    USHORT initControlCount;
    TunerControl initControls[kTunerInitControlCount];
    USHORT channelControlCount;
    TunerControl channelControls[kTunerChannelControlCount];
    USHORT registerCount;
    TunerRegister registers[kTunerRegisterCount];
};
