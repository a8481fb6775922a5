#pragma once
// Band tables of the channel computation. Each band runs from above the previous row's upper
// bound up to and including its own; the first row starts at the table's lowest frequency.
#include "platform/kernel.h"

// RF front-end band (controls 51 to 55), keyed on the RF LO frequency.
struct TunerRfBandRow {
    ULONG upperHz;
    UCHAR control51;
    UCHAR control52;
    USHORT control53;
    UCHAR control54;
    UCHAR control55;
};
constexpr ULONG kTunerRfBandLowestHz = 40000000;
inline constexpr TunerRfBandRow kTunerRfBands[] = {
    {75000000, 2, 3, 423, 1, 1}, {100000000, 3, 3, 222, 1, 1}, {150000000, 3, 3, 147, 1, 2},
    {200000000, 3, 3, 9, 1, 2},  {300000000, 3, 3, 0, 1, 3},   {650000000, 3, 1, 0, 0, 3},
    {900000000, 3, 2, 0, 0, 3},
};

// RF synthesiser band (controls 58 to 63), its VCO divider N and the band's low and high
// frequencies L and H that scale the loop controls, keyed on the RF LO frequency.
struct TunerSynthBandRow {
    ULONG upperHz;
    UCHAR control58;
    UCHAR control59;
    UCHAR control60;
    UCHAR control61;
    UCHAR control62;
    UCHAR control63;
    ULONG divider;
    ULONG lowHz;
    ULONG highHz;
};
constexpr ULONG kTunerSynthBandLowestHz = 40000000;
inline constexpr TunerSynthBandRow kTunerSynthBands[] = {
    {42500000, 1, 0, 0, 0, 1, 1, 64, 28000000, 42500000},
    {56000000, 1, 0, 1, 0, 1, 1, 64, 42500000, 56000000},
    {85000000, 0, 1, 0, 0, 1, 1, 32, 56000000, 85000000},
    {112000000, 0, 1, 1, 0, 1, 1, 32, 85000000, 112000000},
    {170000000, 0, 1, 0, 0, 1, 2, 16, 112000000, 170000000},
    {225000000, 0, 1, 1, 0, 1, 2, 16, 170000000, 225000000},
    {300000000, 0, 1, 0, 0, 1, 4, 8, 225000000, 340000000},
    {340000000, 1, 0, 0, 0, 1, 0, 8, 225000000, 340000000},
    {450000000, 1, 0, 1, 0, 2, 0, 8, 340000000, 450000000},
    {680000000, 0, 1, 0, 1, 1, 0, 4, 450000000, 680000000},
    {900000000, 0, 1, 1, 1, 1, 0, 4, 680000000, 900000000},
};

// Auxiliary synthesiser band (controls 69 and 70) and its divider M, keyed on the auxiliary LO.
struct TunerAuxBandRow {
    ULONG upperHz;
    UCHAR control69;
    UCHAR control70;
    ULONG divider;
};
constexpr ULONG kTunerAuxBandLowestHz = 33000000;
inline constexpr TunerAuxBandRow kTunerAuxBands[] = {
    {50000000, 6, 0, 36},  {67000000, 1, 0, 24}, {100000000, 12, 2, 18},
    {150000000, 8, 2, 12}, {200000000, 0, 2, 8}, {300000000, 8, 3, 6},
    {400000000, 0, 3, 4},  {600000000, 8, 7, 3}, {900000000, 0, 7, 2},
};

// RF filter schedule, keyed on the requested frequency. Unlike the bands above, each row
// includes its lower bound and excludes its upper bound; the last row's bound of 900,000,001
// keeps 900,000,000 itself in.
struct TunerFilterRow {
    ULONG lowHz;
    ULONG upperHz;
    UCHAR control83;
    UCHAR switch4;
    UCHAR switch3;
    UCHAR switch1;
};
inline constexpr TunerFilterRow kTunerFilterSchedule[] = {
    {43000000, 150000000, 0, 0, 1, 1},  {150000000, 280000000, 0, 1, 0, 1},
    {280000000, 360000000, 0, 1, 0, 0}, {360000000, 560000000, 0, 1, 1, 0},
    {560000000, 580000000, 1, 1, 1, 0}, {580000000, 630000000, 1, 1, 1, 0},
    {630000000, 700000000, 1, 1, 1, 1}, {700000000, 760000000, 1, 1, 1, 1},
    {760000000, 900000001, 1, 1, 1, 1},
};

// Finds the band holding `hz` in a table of rows ordered by ascending upper bound.
template <typename Row, size_t N>
const Row* TunerFindBand(const Row (&rows)[N], ULONG lowestHz, ULONG hz) {
    if (hz < lowestHz) return nullptr;
    for (const Row& row : rows) {
        if (hz <= row.upperHz) return &row;
    }
    return nullptr;
}
