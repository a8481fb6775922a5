#pragma once
// Setting and reading numbered controls of the tuner model and collecting register lists from
// its shadow. Pure computation: no I/O, no lock (the tuning sequence serialises its callers).
#include "tuner/tuner_state.h"

// Register lists written by the tuning sequence.
constexpr LONG kTunerInitListLength = 23;
constexpr LONG kTunerChannelListLength = 26;
// Output arrays of the list builders hold at least this many entries (the sequence appends one
// entry after the channel list).
constexpr LONG kTunerListCapacity = 27;

USHORT TunerLoadRegisterDefaults(TunerState& state);
USHORT TunerLoadControlTables(TunerState& state);
// Returns kTunerRefused when the value is too wide for the control; an id the table does not
// hold, or a table number other than 1 and 2, changes nothing and returns kTunerOk.
USHORT TunerSetControl(TunerState& state, USHORT id, ULONG value, USHORT table);
USHORT TunerSetControlBoth(TunerState& state, USHORT id, ULONG value);
// Returns 0 and the value from the control's own bits, or 1 with `value` untouched when no
// table holds the id.
USHORT TunerGetControl(const TunerState& state, USHORT id, ULONG& value);
// Both return the number of listed registers missing from the shadow (plus, for the init list,
// the summed status of the initialisation computation, which it runs first).
USHORT TunerBuildInitRegisterList(TunerState& state, UCHAR* addresses, UCHAR* values, LONG& count);
USHORT TunerBuildChannelRegisterList(TunerState& state, UCHAR* addresses, UCHAR* values,
                                     LONG& count);
