#pragma once
// Running 16-bit sum of control-write statuses, the way the computations report their outcome.
#include "tuner/tuner_model.h"

struct TunerControlValue {
    USHORT id;
    UCHAR value;
};

class TunerStatusSum {
  public:
    explicit TunerStatusSum(TunerState& state) : state_(state) {}
    // Sets the control in both tables.
    void Set(USHORT id, ULONG value) { Add(TunerSetControlBoth(state_, id, value)); }
    template <size_t N>
    void SetAll(const TunerControlValue (&values)[N]) {
        for (const TunerControlValue& entry : values) Set(entry.id, entry.value);
    }
    void Add(USHORT status) { sum_ = static_cast<USHORT>(sum_ + status); }
    USHORT Sum() const { return sum_; }

  private:
    TunerState& state_;
    USHORT sum_ = 0;
};
