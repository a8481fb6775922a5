#pragma once
// Helpers shared by the tuner tests: a freshly loaded model and a sink that records writes.
#include <gtest/gtest.h>

#include <cstdint>
#include <memory>
#include <vector>

#include "tuner/tuner_model.h"
#include "tuner/tuner_program.h"

namespace tuner_test {

inline uint8_t Shadow(const TunerState& state, uint16_t address) {
    for (const TunerRegister& r : state.registers) {
        if (r.address == address) return static_cast<uint8_t>(r.value);
    }
    return 0xEE;
}

inline uint32_t Control(const TunerState& state, uint16_t id) {
    ULONG value = 0xDEADBEEF;
    TunerGetControl(state, id, value);
    return value;
}

// A model after the defaults and table load, with the settings of every tune.
inline std::unique_ptr<TunerState> LoadedState() {
    auto state = std::make_unique<TunerState>();
    *state = {};
    TunerLoadRegisterDefaults(*state);
    TunerLoadControlTables(*state);
    state->mode = 1;
    state->ifMode = 0;
    state->bandwidthHz = 8000000;
    state->ifOutHz = 36125000;
    state->ifLoad = 200;
    state->xtalHz = 16000000;
    state->levelMode = 1;
    state->levelPoint = 252;
    state->flag23 = 1;
    state->flag24 = 1;
    state->groupEnable = 1;
    state->profile = 1;
    state->filterType = 3;
    state->ifLoHz = 36125000;
    return state;
}

// One event seen by the sink: a write transaction, or a pause (bytes empty, pauseMs set).
struct Event {
    std::vector<uint8_t> bytes;
    long pauseMs = 0;
    bool operator==(const Event&) const = default;
};

struct Recorder {
    std::vector<Event> events;
    TunerWriteSink Sink() {
        return TunerWriteSink{[](void* c, const UCHAR* b, ULONG n) {
                                  static_cast<Recorder*>(c)->events.push_back(
                                      Event{std::vector<uint8_t>(b, b + n), 0});
                              },
                              [](void* c, LONG ms) {
                                  static_cast<Recorder*>(c)->events.push_back(Event{{}, ms});
                              },
                              this};
    }
};

inline std::vector<Event> Program(long frequencyKHz, long bandwidthMHz) {
    auto state = std::make_unique<TunerState>();
    auto lists = std::make_unique<TunerRegisterLists>();
    Recorder recorder;
    EXPECT_EQ(TunerProgramFrequency(*state, *lists, frequencyKHz, bandwidthMHz, recorder.Sink()),
              1);
    return recorder.events;
}

}  // namespace tuner_test
