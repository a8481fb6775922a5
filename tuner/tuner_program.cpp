// The tuning sequence: settings, init registers, channel computation, channel registers in two
// phases around the settling pause.
#include "tuner/tuner_program.h"

#include "tuner/tuner_channel.h"
#include "tuner/tuner_model.h"
#include "tuner/tuner_status_sum.h"

namespace {

// Fixed settings of every tune; the bandwidth comes from the request.
struct TunerSettings {
    UCHAR mode;
    UCHAR ifMode;
    ULONG ifOutHz;
    USHORT ifLoad;
    ULONG xtalHz;
    UCHAR levelMode;
    USHORT levelPoint;
    UCHAR flag22;
    UCHAR flag23;
    UCHAR flag24;
    UCHAR groupEnable;
    UCHAR profile;
    UCHAR filterType;
};
constexpr TunerSettings kTunerSettings = {
    .mode = 1,
    .ifMode = 0,
    .ifOutHz = 36125000,
    .ifLoad = 200,
    .xtalHz = 16000000,
    .levelMode = 1,
    .levelPoint = 252,
    .flag22 = 0,
    .flag23 = 1,
    .flag24 = 1,
    .groupEnable = 1,
    .profile = 1,
    .filterType = 3,
};

void FillSettings(TunerState& state, LONG bandwidthMHz) {
    state.mode = kTunerSettings.mode;
    state.ifMode = kTunerSettings.ifMode;
    state.bandwidthHz = static_cast<ULONG>(bandwidthMHz & 0xFF) * 1000000;
    state.ifOutHz = kTunerSettings.ifOutHz;
    state.ifLoad = kTunerSettings.ifLoad;
    state.xtalHz = kTunerSettings.xtalHz;
    state.levelMode = kTunerSettings.levelMode;
    state.levelPoint = kTunerSettings.levelPoint;
    state.flag22 = kTunerSettings.flag22;
    state.flag23 = kTunerSettings.flag23;
    state.flag24 = kTunerSettings.flag24;
    state.groupEnable = kTunerSettings.groupEnable;
    state.profile = kTunerSettings.profile;
    state.filterType = kTunerSettings.filterType;
}

ULONG IfLoFrequency(const TunerState& state) {
    if (state.mode == 1) return state.ifOutHz;
    if (state.ifMode == 0) return state.ifOutHz + 400000;
    return state.ifOutHz + state.bandwidthHz / 2;
}

void WriteLists(const TunerWriteSink& sink, const TunerRegisterLists& lists) {
    for (LONG i = 0; i < lists.count && i < kTunerRegisterCount; ++i) {
        TunerWriteRegister(sink, lists.addresses[i], lists.values[i]);
    }
}

UCHAR ShadowValue(TunerState& state, UCHAR registerNumber) {
    for (USHORT i = 0; i < state.registerCount && i < kTunerRegisterCount; ++i) {
        if (state.registers[i].address == registerNumber) {
            return static_cast<UCHAR>(state.registers[i].value & 0xFF);
        }
    }
    return 0;
}

}  // namespace

ULONG TunerRequestToHz(LONG frequencyKHz) {
    if (frequencyKHz < 0) return 0;
    const ULONGLONG hz = static_cast<ULONGLONG>(frequencyKHz) * 1000;
    return hz > 0xFFFFFFFFull ? 0xFFFFFFFFu : static_cast<ULONG>(hz);
}

void TunerWriteRegister(const TunerWriteSink& sink, UCHAR registerNumber, UCHAR value) {
    const UCHAR bytes[3] = {registerNumber, value, kTunerRegisterWriteTrailer};
    const bool threeBytes = registerNumber == kTunerControlRegister || registerNumber == 25;
    sink.writeRegister(sink.context, bytes, threeBytes ? 3 : 2);
}

LONG TunerProgramFrequency(TunerState& state, TunerRegisterLists& lists, LONG frequencyKHz,
                           LONG bandwidthMHz, const TunerWriteSink& sink) {
    FillSettings(state, bandwidthMHz);
    TunerWriteRegister(sink, kTunerControlRegister, kTunerControlPrepare);

    TunerLoadRegisterDefaults(state);
    TunerLoadControlTables(state);
    state.ifLoHz = IfLoFrequency(state);

    TunerBuildInitRegisterList(state, lists.addresses, lists.values, lists.count);
    WriteLists(sink, lists);
    TunerWriteRegister(sink, kTunerControlRegister, kTunerControlPrepare);

    // A refused frequency still programs the registers: the channel controls then keep what
    // the table load and the initialisation gave them.
    TunerComputeChannel(state, TunerRequestToHz(frequencyKHz));

    // First channel write with control 12 at 8 and register 136 bit 7 (control 77) clear; the
    // commit after the pause restores control 12 and sets control 77.
    ULONG savedControl12 = 0;
    TunerGetControl(state, 12, savedControl12);
    TunerStatusSum sum(state);
    sum.Set(77, 0);
    sum.Set(73, 1);
    sum.Set(12, 8);

    TunerBuildChannelRegisterList(state, lists.addresses, lists.values, lists.count);
    lists.addresses[lists.count] = kTunerControlRegister;
    lists.values[lists.count] = kTunerControlRun;
    ++lists.count;
    WriteLists(sink, lists);

    sink.pause(sink.context, kTunerSettlingMilliseconds);

    sum.Set(77, 1);
    sum.Set(12, savedControl12);
    TunerWriteRegister(sink, 43, ShadowValue(state, 43));
    TunerWriteRegister(sink, 136, ShadowValue(state, 136));
    TunerWriteRegister(sink, kTunerControlRegister, kTunerControlRun);
    return 1;
}
