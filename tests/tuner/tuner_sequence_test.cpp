// The tuning sequence as the chip receives it: golden write sequences, bandwidths, repeat calls,
// refused and out-of-range frequencies.
#include <gtest/gtest.h>

#include <initializer_list>
#include <map>

#include "tuner_test_support.h"

namespace {

using tuner_test::Event;
using tuner_test::Program;
using tuner_test::Recorder;

Event W(std::initializer_list<uint8_t> bytes) {
    return Event{std::vector<uint8_t>(bytes), 0};
}
Event Pause(long ms) {
    return Event{{}, ms};
}

// Register 9 and the init registers, identical for every frequency at 8 MHz.
std::vector<Event> InitPart() {
    return {W({9, 0xB1, 0xFE}), W({11, 0x16}),  W({12, 0x94}),  W({13, 0x00}),
            W({22, 0x5F}),      W({32, 0x40}),  W({43, 0x23}),  W({44, 0x20}),
            W({53, 0x83}),      W({56, 0x88}),  W({59, 0x01}),  W({73, 0xA0}),
            W({76, 0xFB}),      W({77, 0x93}),  W({91, 0x70}),  W({134, 0x04}),
            W({135, 0x01}),     W({137, 0xC8}), W({147, 0xFA}), W({156, 0x57}),
            W({166, 0x9D}),     W({167, 0x01}), W({168, 0xD2}), W({25, 0x36, 0xFE}),
            W({9, 0xB1, 0xFE})};
}

std::vector<Event> Concat(std::vector<Event> a, const std::vector<Event>& b) {
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

std::vector<Event> Commit() {
    return {Pause(30), W({43, 0x23}), W({136, 0xFE}), W({9, 0xF3, 0xFE})};
}

TEST(TunerSequence, ParkAt458MHzSendsTheGoldenSequence) {
    const std::vector<Event> channel = {
        W({14, 0x1C}),  W({15, 0xA0}),     W({16, 0x00}),  W({17, 0x20}),  W({22, 0x5F}),
        W({43, 0x43}),  W({68, 0xC0}),     W({69, 0x01}),  W({70, 0x41}),  W({73, 0xB0}),
        W({92, 0x00}),  W({93, 0x00}),     W({106, 0x7B}), W({107, 0xC4}), W({108, 0x95}),
        W({109, 0x6E}), W({110, 0x99}),    W({111, 0xA8}), W({112, 0x84}), W({136, 0x7E}),
        W({138, 0x38}), W({149, 0x0B}),    W({77, 0x93}),  W({166, 0x9D}), W({167, 0x01}),
        W({168, 0xD2}), W({9, 0xF3, 0xFE})};
    EXPECT_EQ(Program(458000, 8), Concat(Concat(InitPart(), channel), Commit()));
}

TEST(TunerSequence, Tune858MHzSendsTheGoldenSequence) {
    const std::vector<Event> channel = {
        W({14, 0x35}),  W({15, 0xA0}),     W({16, 0x00}),  W({17, 0x20}),  W({22, 0x5F}),
        W({43, 0x43}),  W({68, 0xC0}),     W({69, 0x01}),  W({70, 0x9A}),  W({73, 0xB0}),
        W({92, 0x00}),  W({93, 0x02}),     W({106, 0x33}), W({107, 0x84}), W({108, 0x9A}),
        W({109, 0xCE}), W({110, 0x39}),    W({111, 0xE8}), W({112, 0x81}), W({136, 0x7E}),
        W({138, 0x38}), W({149, 0x03}),    W({77, 0x93}),  W({166, 0x9D}), W({167, 0x01}),
        W({168, 0xD2}), W({9, 0xF3, 0xFE})};
    EXPECT_EQ(Program(858000, 8), Concat(Concat(InitPart(), channel), Commit()));
}

// Only register 53 of the init registers follows the bandwidth; only the low 8 bits count.
TEST(TunerSequence, BandwidthSelectsRegister53Only) {
    const struct {
        long bandwidthMHz;
        uint8_t register53;
    } cases[] = {{6, 0x9B}, {7, 0x93}, {8, 0x83}, {5, 0x93}, {0, 0x93}, {264, 0x83}, {-248, 0x83}};
    const std::vector<Event> reference = Program(474000, 8);
    for (const auto& c : cases) {
        SCOPED_TRACE(c.bandwidthMHz);
        std::vector<Event> expected = reference;
        expected[8] = W({53, c.register53});
        EXPECT_EQ(Program(474000, c.bandwidthMHz), expected);
    }
}

TEST(TunerSequence, NothingCarriesOverBetweenTunes) {
    auto state = std::make_unique<TunerState>();
    auto lists = std::make_unique<TunerRegisterLists>();
    Recorder first, second, third;
    TunerProgramFrequency(*state, *lists, 666000, 8, first.Sink());
    TunerProgramFrequency(*state, *lists, 50000, 6, second.Sink());
    TunerProgramFrequency(*state, *lists, 666000, 8, third.Sink());
    EXPECT_EQ(first.events, third.events);
    EXPECT_EQ(first.events, Program(666000, 8));
}

// Writes of the channel phase (after the init part), keyed by register number.
std::map<uint8_t, uint8_t> ChannelWrites(const std::vector<Event>& events) {
    std::map<uint8_t, uint8_t> writes;
    for (size_t i = 25; i < 52 && i < events.size(); ++i)
        writes[events[i].bytes[0]] = events[i].bytes[1];
    return writes;
}

TEST(TunerSequence, RefusedFrequencyStillSendsEveryWrite) {
    const std::vector<Event> events = Program(39000, 8);
    ASSERT_EQ(events.size(), 56u);  // 55 writes and the pause
    EXPECT_EQ(events[52], Pause(30));
    EXPECT_EQ(std::vector<Event>(events.begin(), events.begin() + 25), InitPart());
    // The synthesiser registers keep their load values; only 73 (control 73), 43 (control 12)
    // and 136 (control 77) moved, plus what the initialisation owns in shared registers.
    const auto channel = ChannelWrites(events);
    EXPECT_EQ(channel.at(14), 0x00);
    EXPECT_EQ(channel.at(15), 0xC0);
    EXPECT_EQ(channel.at(16), 0x00);
    EXPECT_EQ(channel.at(17), 0x20);  // control 74 from the initialisation
    EXPECT_EQ(channel.at(149), 0x33);
    EXPECT_EQ(channel.at(138), 0x38);
    EXPECT_EQ(channel.at(43), 0x43);
    EXPECT_EQ(channel.at(136), 0x7E);
    EXPECT_EQ(channel.at(9), 0xF3);
}

// A request whose Hz value does not fit 32 bits must not wrap round into the tuning range
// (4,295,417 kHz would otherwise become 450,000,704 Hz, and -1 kHz 4,294,966,296 Hz).
TEST(TunerSequence, UnrepresentableFrequencyIsRefusedNotWrapped) {
    const std::vector<Event> refused = Program(39000, 8);
    for (long kHz : {4295417L, 4294968L, -1L, -4294517L, 2147483647L}) {
        SCOPED_TRACE(kHz);
        EXPECT_EQ(Program(kHz, 8), refused);
    }
    EXPECT_NE(Program(450000, 8), refused);
    EXPECT_EQ(TunerRequestToHz(4294967), 4294967000u);
    EXPECT_EQ(TunerRequestToHz(4294968), 0xFFFFFFFFu);
    EXPECT_EQ(TunerRequestToHz(-5), 0u);
}

}  // namespace
