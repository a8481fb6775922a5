// Numbered controls over the register shadow, and register-list collection.
#include "tuner/tuner_model.h"

#include "tuner/tuner_init.h"
#include "tuner/tuner_tables.h"

namespace {

static_assert(sizeof(kTunerInitRegisterList) == kTunerInitListLength);
static_assert(sizeof(kTunerChannelRegisterList) == kTunerChannelListLength);
static_assert(kTunerChannelListLength + 1 <= kTunerListCapacity);

constexpr int RunWidth(const TunerBitRun& run) {
    return run.address == 0 ? 0 : run.lastBit - run.firstBit + 1;
}

// Every layout's runs cover exactly its size, lie within 8-bit registers and its initial value
// fits.
constexpr bool LayoutsAreWellFormed(const TunerControlLayout* layouts, int count) {
    for (int i = 0; i < count; ++i) {
        int width = 0;
        for (const TunerBitRun& run : layouts[i].runs) {
            if (run.address != 0 && (run.firstBit > run.lastBit || run.lastBit > 7)) return false;
            width += RunWidth(run);
        }
        if (width != layouts[i].size || layouts[i].size > kTunerMaxControlBits) return false;
        if ((static_cast<unsigned long long>(layouts[i].initial) >> layouts[i].size) != 0) {
            return false;
        }
    }
    return true;
}
static_assert(LayoutsAreWellFormed(kTunerInitControlLayouts, kTunerInitControlCount));
static_assert(LayoutsAreWellFormed(kTunerChannelControlLayouts, kTunerChannelControlCount));

// No register bit belongs to two controls, so setting one control never disturbs another.
constexpr bool BitsAreDisjoint() {
    UCHAR owned[256] = {};
    const TunerControlLayout* tables[] = {kTunerInitControlLayouts, kTunerChannelControlLayouts};
    const int counts[] = {kTunerInitControlCount, kTunerChannelControlCount};
    for (int t = 0; t < 2; ++t) {
        for (int i = 0; i < counts[t]; ++i) {
            for (const TunerBitRun& run : tables[t][i].runs) {
                for (int b = run.firstBit; RunWidth(run) != 0 && b <= run.lastBit; ++b) {
                    if (owned[run.address] & (1u << b)) return false;
                    owned[run.address] = static_cast<UCHAR>(owned[run.address] | (1u << b));
                }
            }
        }
    }
    return true;
}
static_assert(BitsAreDisjoint());

void LoadControls(TunerControl* controls, const TunerControlLayout* layouts, USHORT count) {
    for (USHORT i = 0; i < count; ++i) {
        TunerControl& control = controls[i];
        RtlZeroMemory(&control, sizeof(control));
        control.id = layouts[i].id;
        control.size = layouts[i].size;
        USHORT j = 0;
        for (const TunerBitRun& run : layouts[i].runs) {
            for (int b = run.firstBit; RunWidth(run) != 0 && b <= run.lastBit; ++b, ++j) {
                control.address[j] = run.address;
                control.bit[j] = static_cast<USHORT>(b);
                control.value[j] = static_cast<USHORT>((layouts[i].initial >> j) & 1u);
            }
        }
    }
}

TunerRegister* FindRegister(TunerState& state, USHORT address) {
    for (USHORT i = 0; i < state.registerCount && i < kTunerRegisterCount; ++i) {
        if (state.registers[i].address == address) return &state.registers[i];
    }
    return nullptr;
}

ULONG ControlValue(const TunerControl& control) {
    ULONG value = 0;
    for (USHORT j = 0; j < control.size && j < kTunerMaxControlBits; ++j) {
        value += static_cast<ULONG>(control.value[j]) << j;
    }
    return value;
}

USHORT CollectList(TunerState& state, const UCHAR* list, LONG length, UCHAR* addresses,
                   UCHAR* values) {
    USHORT missing = 0;
    for (LONG i = 0; i < length; ++i) {
        addresses[i] = list[i];
        // The whole shadow array is searched, whatever the register count says.
        bool found = false;
        for (USHORT r = 0; r < kTunerRegisterCount && !found; ++r) {
            if (state.registers[r].address == list[i]) {
                values[i] = static_cast<UCHAR>(state.registers[r].value & 0xFF);
                found = true;
            }
        }
        if (!found) ++missing;
    }
    return missing;
}

}  // namespace

USHORT TunerLoadRegisterDefaults(TunerState& state) {
    state.registerCount = kTunerRegisterCount;
    for (USHORT i = 0; i < kTunerRegisterCount; ++i) {
        state.registers[i].address = kTunerRegisterDefaults[i].address;
        state.registers[i].value = kTunerRegisterDefaults[i].value;
    }
    return kTunerOk;
}

USHORT TunerLoadControlTables(TunerState& state) {
    state.initControlCount = kTunerInitControlCount;
    LoadControls(state.initControls, kTunerInitControlLayouts, kTunerInitControlCount);
    state.channelControlCount = kTunerChannelControlCount;
    LoadControls(state.channelControls, kTunerChannelControlLayouts, kTunerChannelControlCount);
    return kTunerOk;
}

USHORT TunerSetControl(TunerState& state, USHORT id, ULONG value, USHORT table) {
    TunerControl* controls;
    USHORT count;
    if (table == kTunerInitTable) {
        controls = state.initControls;
        count = state.initControlCount <= kTunerInitControlCount ? state.initControlCount
                                                                 : kTunerInitControlCount;
    } else if (table == kTunerChannelTable) {
        controls = state.channelControls;
        count = state.channelControlCount <= kTunerChannelControlCount ? state.channelControlCount
                                                                       : kTunerChannelControlCount;
    } else {
        return kTunerOk;
    }
    for (USHORT i = 0; i < count; ++i) {
        TunerControl& control = controls[i];
        if (control.id != id) continue;
        const USHORT size = control.size <= kTunerMaxControlBits ? control.size : 0;
        if ((static_cast<ULONGLONG>(value) >> size) != 0) return kTunerRefused;
        for (USHORT j = 0; j < size; ++j) {
            const USHORT b = static_cast<USHORT>((value >> j) & 1u);
            control.value[j] = b;
            TunerRegister* shadow = FindRegister(state, control.address[j]);
            if (shadow == nullptr) continue;
            const USHORT mask = static_cast<USHORT>(1u << (control.bit[j] & 7));
            shadow->value =
                static_cast<USHORT>(b ? (shadow->value | mask) : (shadow->value & ~mask));
        }
    }
    return kTunerOk;
}

USHORT TunerSetControlBoth(TunerState& state, USHORT id, ULONG value) {
    USHORT status = TunerSetControl(state, id, value, kTunerInitTable);
    status = static_cast<USHORT>(status + TunerSetControl(state, id, value, kTunerChannelTable));
    return status;
}

USHORT TunerGetControl(const TunerState& state, USHORT id, ULONG& value) {
    for (USHORT i = 0; i < state.initControlCount && i < kTunerInitControlCount; ++i) {
        if (state.initControls[i].id == id) {
            value = ControlValue(state.initControls[i]);
            return 0;
        }
    }
    for (USHORT i = 0; i < state.channelControlCount && i < kTunerChannelControlCount; ++i) {
        if (state.channelControls[i].id == id) {
            value = ControlValue(state.channelControls[i]);
            return 0;
        }
    }
    return 1;
}

USHORT TunerBuildInitRegisterList(TunerState& state, UCHAR* addresses, UCHAR* values, LONG& count) {
    count = kTunerInitListLength;
    const USHORT status = TunerComputeInit(state);
    return static_cast<USHORT>(status + CollectList(state, kTunerInitRegisterList,
                                                    kTunerInitListLength, addresses, values));
}

USHORT TunerBuildChannelRegisterList(TunerState& state, UCHAR* addresses, UCHAR* values,
                                     LONG& count) {
    count = kTunerChannelListLength;
    return CollectList(state, kTunerChannelRegisterList, kTunerChannelListLength, addresses,
                       values);
}
