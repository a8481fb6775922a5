// Tuning through the standard properties and the change methods: the stored values and their
// checks, the window and rounding of the commit, the commit's shortcuts, what reaches the wire,
// and the signal statistics an application then reads.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "bridge/signal_status.h"
#include "driver/tune_commit.h"
#include "platform/host/ks_services.h"
#include "receiver_stack.h"
#include "usb/cqzusb.h"

namespace bda_test {
namespace {

using ::testing::ElementsAre;

const Bytes kDefaultPidLoad = {0x03, 0x06, 0x00, 0xFF, 0x01, 0x1F, 0x20, 0x81};
const Bytes kCommand06 = {0x06, 0x00};  // closes every PID table load

class TuningTest : public ::testing::Test {
  protected:
    void Build(sim::Air air) {
        app.reset();
        stack.reset();  // one host system at a time: each owns the kernel emulation's state
        StackOptions options;
        options.air = std::move(air);
        stack = std::make_unique<ReceiverStack>(std::move(options));
        app = std::make_unique<host::BdaReceiverApplication>(stack->Device());
        ASSERT_EQ(app->Open(), STATUS_SUCCESS);
        stack->ClearFrames();
    }
    void SetUp() override { Build(sim::Air::Default()); }
    void TearDown() override {
        app.reset();
        stack.reset();
        EXPECT_EQ(kvstest::HostSystem::DriverPoolBytes(), 0u);
        EXPECT_EQ(host::BdaFilterContextsAlive(), 0u);
    }
    DeviceContext* Context() { return stack->Hosted()->Context(); }
    ULONG StreamActive() {
        return static_cast<ULONG>(ReadLongAcquire(
            reinterpret_cast<LONG const volatile*>(&stack->Hosted()->Transport()->streamActive)));
    }
    NTSTATUS Method(ULONG id) { return app->Filter()->Call(KSMETHODSETID_BdaChangeSync, id); }
    // A tuner-node property through the input pin.
    NTSTATUS SetTuner(ULONG id, ULONG value) {
        return app->InputPin()->SetULong(KSPROPSETID_BdaFrequencyFilter, id, value,
                                         app->TunerNode());
    }
    ULONG GetTuner(ULONG id) {
        ULONG value = 0xDEADBEEF;
        EXPECT_EQ(
            app->InputPin()->GetULong(KSPROPSETID_BdaFrequencyFilter, id, &value, app->TunerNode()),
            STATUS_SUCCESS);
        return value;
    }

    std::unique_ptr<ReceiverStack> stack;
    std::unique_ptr<host::BdaReceiverApplication> app;
};

struct WindowCase {
    const char* name;
    ULONG requestedKHz;
    ULONG tunedKHz;  // 0: outside the window, parked without tuning
};

class Window : public TuningTest, public ::testing::WithParamInterface<WindowCase> {};

// A transmitter sits where the commit must tune; outside the window the tuner is parked at
// 458,000 kHz without any tune sequence (no demodulator reset).
TEST_P(Window, CommitRoundsAboveTheThresholdAndParksOutsideTheWindow) {
    const WindowCase& c = GetParam();
    sim::Air air;
    std::string error;
    if (c.tunedKHz != 0) {
        ASSERT_TRUE(sim::Air::Parse(std::to_string(c.tunedKHz), air, error));
    }
    Build(air);
    const host::BdaTuneResult result = app->Tune(c.requestedKHz);
    ASSERT_EQ(result.Status(), STATUS_SUCCESS);
    const host::BdaSignalReading signal = app->ReadSignal();
    if (c.tunedKHz == 0) {
        EXPECT_EQ(stack->demod->GetObservations().softResets, 0);
        EXPECT_EQ(TunerKHz(stack->tuner), 458000u);
        EXPECT_EQ(signal.locked, 0u);
        EXPECT_EQ(Context()->tuneLocked, 0);
        EXPECT_EQ(LastTunedFrequencyKHz(), 0u);
    } else {
        EXPECT_EQ(TunerKHz(stack->tuner), c.tunedKHz);
        EXPECT_EQ(signal.locked, 1u);
        EXPECT_EQ(signal.present, 1u);
        EXPECT_EQ(LastTunedFrequencyKHz(), c.tunedKHz);
    }
    EXPECT_EQ(StreamActive(), c.tunedKHz != 0 ? 1u : 0u);
    // The requested value is what the application reads back.
    EXPECT_EQ(GetTuner(KSPROPERTY_BDA_RF_TUNER_FREQUENCY), c.requestedKHz);
}

INSTANTIATE_TEST_SUITE_P(Cases, Window,
                         ::testing::Values(WindowCase{"below_threshold_unchanged", 473600, 473600},
                                           WindowCase{"rounds_down", 474400, 474000},
                                           WindowCase{"half_rounds_up", 474500, 475000},
                                           WindowCase{"top_rounds_down", 880499, 880000},
                                           WindowCase{"rounds_above_window", 880500, 0},
                                           WindowCase{"below_window", 449999, 0},
                                           WindowCase{"window_bottom", 450000, 450000}),
                         [](const auto& info) { return std::string(info.param.name); });

struct NodeValueCase {
    const char* name;
    const GUID* set;
    ULONG id;
    bool demodulatorNode;
    ULONG value;
    NTSTATUS setStatus;
    ULONG readBack;
};

class NodeValues : public TuningTest, public ::testing::WithParamInterface<NodeValueCase> {};

// Each value is set on its node after the field was given a known value (7, through the same
// property where it stores anything, else 3 or 8), then read back.
TEST_P(NodeValues, AreStoredOrRefusedLeavingTheFieldAsItWas) {
    const NodeValueCase& c = GetParam();
    host::KsPinHandle* pin = c.demodulatorNode ? app->OutputPinHandle() : app->InputPin();
    const ULONG node = c.demodulatorNode ? app->DemodulatorNode() : app->TunerNode();
    Context()->frequency = 530000;
    Context()->bandwidth = 7;
    Context()->modulationType = BDA_MOD_64QAM;
    Context()->innerFecRate = BDA_BCC_RATE_3_4;
    Context()->outerFecRate = BDA_BCC_RATE_3_4;
    EXPECT_EQ(pin->SetULong(*c.set, c.id, c.value, node), c.setStatus);
    ULONG value = 0xDEADBEEF;
    ASSERT_EQ(pin->GetULong(*c.set, c.id, &value, node), STATUS_SUCCESS);
    EXPECT_EQ(value, c.readBack);
    EXPECT_TRUE(stack->Frames().empty()) << "storing a value touches nothing on the stick";
}

const GUID* const kFrequency = &KSPROPSETID_BdaFrequencyFilter;
const GUID* const kDemodulator = &KSPROPSETID_BdaDigitalDemodulator;
INSTANTIATE_TEST_SUITE_P(
    Cases, NodeValues,
    ::testing::Values(
        NodeValueCase{"frequency", kFrequency, KSPROPERTY_BDA_RF_TUNER_FREQUENCY, false, 618000,
                      STATUS_SUCCESS, 618000},
        NodeValueCase{"frequency_not_defined_kept", kFrequency, KSPROPERTY_BDA_RF_TUNER_FREQUENCY,
                      false, 0, STATUS_SUCCESS, 530000},
        NodeValueCase{"frequency_not_set_kept", kFrequency, KSPROPERTY_BDA_RF_TUNER_FREQUENCY,
                      false, 0xFFFFFFFF, STATUS_SUCCESS, 530000},
        NodeValueCase{"multiplier_reads_zero", kFrequency,
                      KSPROPERTY_BDA_RF_TUNER_FREQUENCY_MULTIPLIER, false, 9, STATUS_SUCCESS, 0},
        NodeValueCase{"bandwidth_any", kFrequency, KSPROPERTY_BDA_RF_TUNER_BANDWIDTH, false, 5,
                      STATUS_SUCCESS, 5},
        NodeValueCase{"modulation_qpsk", kDemodulator, KSPROPERTY_BDA_MODULATION_TYPE, true, 20,
                      STATUS_SUCCESS, 20},
        NodeValueCase{"modulation_16qam", kDemodulator, KSPROPERTY_BDA_MODULATION_TYPE, true, 1,
                      STATUS_SUCCESS, 1},
        NodeValueCase{"modulation_32qam_refused", kDemodulator, KSPROPERTY_BDA_MODULATION_TYPE,
                      true, 2, STATUS_INVALID_PARAMETER, 3},
        NodeValueCase{"modulation_zero_refused", kDemodulator, KSPROPERTY_BDA_MODULATION_TYPE, true,
                      0, STATUS_INVALID_PARAMETER, 3},
        NodeValueCase{"inner_fec_viterbi", kDemodulator, KSPROPERTY_BDA_INNER_FEC_TYPE, true, 1,
                      STATUS_SUCCESS, 1},
        NodeValueCase{"inner_fec_other_refused", kDemodulator, KSPROPERTY_BDA_INNER_FEC_TYPE, true,
                      2, STATUS_INVALID_PARAMETER, 1},
        NodeValueCase{"outer_fec_other_refused", kDemodulator, KSPROPERTY_BDA_OUTER_FEC_TYPE, true,
                      0, STATUS_INVALID_PARAMETER, 1},
        NodeValueCase{"inner_rate_5_6", kDemodulator, KSPROPERTY_BDA_INNER_FEC_RATE, true, 6,
                      STATUS_SUCCESS, 6},
        NodeValueCase{"inner_rate_3_5_refused", kDemodulator, KSPROPERTY_BDA_INNER_FEC_RATE, true,
                      4, STATUS_INVALID_PARAMETER, 3},
        NodeValueCase{"outer_rate_7_8", kDemodulator, KSPROPERTY_BDA_OUTER_FEC_RATE, true, 8,
                      STATUS_SUCCESS, 8},
        NodeValueCase{"outer_rate_9_refused", kDemodulator, KSPROPERTY_BDA_OUTER_FEC_RATE, true, 9,
                      STATUS_INVALID_PARAMETER, 3},
        NodeValueCase{"symbol_rate_any", kDemodulator, KSPROPERTY_BDA_SYMBOL_RATE, true, 7560,
                      STATUS_SUCCESS, 7560},
        NodeValueCase{"guard_interval_any", kDemodulator, KSPROPERTY_BDA_GUARD_INTERVAL, true, 77,
                      STATUS_SUCCESS, 77},
        NodeValueCase{"transmission_mode_any", kDemodulator, KSPROPERTY_BDA_TRANSMISSION_MODE, true,
                      0xFFFFFFFF, STATUS_SUCCESS, 0xFFFFFFFF},
        NodeValueCase{"spectral_inversion_any", kDemodulator, KSPROPERTY_BDA_SPECTRAL_INVERSION,
                      true, 2, STATUS_SUCCESS, 2}),
    [](const auto& info) { return std::string(info.param.name); });

// The tune, then the default PID table, then the stream: the load frame follows the last chip
// access and the stream runs once the commit returns.
TEST_F(TuningTest, LockedCommitLoadsTheDefaultPidTableAfterTheTuneAndRestartsTheStream) {
    ASSERT_EQ(app->Tune(474400).Status(), STATUS_SUCCESS);
    const auto frames = stack->Frames();
    ASSERT_GT(frames.size(), 50u);
    EXPECT_EQ(frames[frames.size() - 2], kDefaultPidLoad);
    EXPECT_EQ(frames.back(), kCommand06);
    EXPECT_EQ(FramesOf(frames, 0x03).size(), 1u);
    EXPECT_EQ(StreamActive(), 1u);
    EXPECT_EQ(TunerKHz(stack->tuner), 474000u);
    EXPECT_EQ(GetLockFlag(), 1);
}

// A second commit of the same channel while locked leaves the chips alone but still stops the
// stream, reloads the PID table and restarts the stream.
TEST_F(TuningTest, CommitTwiceWhileLockedTouchesTheChipsOnce) {
    ASSERT_EQ(app->Tune(474000).Status(), STATUS_SUCCESS);
    const int resets = stack->demod->GetObservations().softResets;
    stack->ClearFrames();
    stack->tuner.ClearWrites();
    ASSERT_EQ(app->Tune(474000).Status(), STATUS_SUCCESS);
    EXPECT_EQ(stack->ChipFrames(), 0u);
    EXPECT_TRUE(stack->tuner.Writes().empty());
    EXPECT_EQ(stack->demod->GetObservations().softResets, resets);
    EXPECT_THAT(stack->Frames(), ElementsAre(kDefaultPidLoad, kCommand06));
    EXPECT_EQ(StreamActive(), 1u);
    EXPECT_EQ(app->ReadSignal().locked, 1u);
    // Once the lock is lost (a report without lock), the same frequency is tuned again.
    ASSERT_TRUE(DecodeStatusReport(std::vector<UCHAR>{0xBB, 0, 0, 0, 0, 0, 0}.data()));
    stack->ClearFrames();
    ASSERT_EQ(app->Tune(474000).Status(), STATUS_SUCCESS);
    EXPECT_GT(stack->ChipFrames(), 50u);
}

// Without a successful check the commit only answers the platform's status: no tune, no frame.
TEST_F(TuningTest, CommitWithoutCheckChangesNothing) {
    ASSERT_EQ(app->Tune(474000).Status(), STATUS_SUCCESS);
    stack->ClearFrames();
    ASSERT_EQ(Method(KSMETHOD_BDA_START_CHANGES), STATUS_SUCCESS);
    ASSERT_EQ(SetTuner(KSPROPERTY_BDA_RF_TUNER_FREQUENCY, 530000), STATUS_SUCCESS);
    EXPECT_EQ(Method(KSMETHOD_BDA_COMMIT_CHANGES), STATUS_SUCCESS);
    EXPECT_TRUE(stack->Frames().empty());
    EXPECT_EQ(TunerKHz(stack->tuner), 474000u);
    EXPECT_EQ(LastTunedFrequencyKHz(), 474000u);
}

// A stopped stick is not tuned; its pending mark waits for a commit after the next start.
TEST_F(TuningTest, CommitOnAStoppedStickIsRefusedAndTunesNothing) {
    ASSERT_EQ(Method(KSMETHOD_BDA_START_CHANGES), STATUS_SUCCESS);
    ASSERT_EQ(SetTuner(KSPROPERTY_BDA_RF_TUNER_FREQUENCY, 474000), STATUS_SUCCESS);
    ASSERT_EQ(Method(KSMETHOD_BDA_CHECK_CHANGES), STATUS_SUCCESS);
    stack->System().Stop(*stack->Hosted());
    stack->ClearFrames();
    EXPECT_EQ(Method(KSMETHOD_BDA_COMMIT_CHANGES), STATUS_DEVICE_NOT_CONNECTED);
    EXPECT_TRUE(stack->Frames().empty());
    EXPECT_EQ(Context()->changesPending, 1u);
    EXPECT_EQ(LastTunedFrequencyKHz(), 0u);
}

// The change state is pending from a start until the commit; a request without room for the
// 32-bit answer is refused before anything is asked or written.
TEST_F(TuningTest, ChangeStateFollowsStartAndCommitAndNeedsRoomForItsValue) {
    auto state = [this](ULONG room, NTSTATUS* status) {
        uint8_t buffer[8];
        std::fill(std::begin(buffer), std::end(buffer), 0xEE);
        ULONG returned = 0;
        *status = app->Filter()->Call(KSMETHODSETID_BdaChangeSync, KSMETHOD_BDA_GET_CHANGE_STATE,
                                      room != 0 ? buffer : nullptr, room, &returned);
        ULONG value = 0xEEEEEEEE;
        if (returned == sizeof(ULONG)) std::memcpy(&value, buffer, sizeof(value));
        return value;
    };
    NTSTATUS status;
    EXPECT_EQ(state(4, &status), 0u);
    EXPECT_EQ(status, STATUS_SUCCESS);
    ASSERT_EQ(Method(KSMETHOD_BDA_START_CHANGES), STATUS_SUCCESS);
    EXPECT_EQ(state(4, &status), 1u);
    for (ULONG room : {0u, 1u, 3u}) {
        EXPECT_EQ(state(room, &status), 0xEEEEEEEEu);
        EXPECT_EQ(status, STATUS_BUFFER_TOO_SMALL) << room;
    }
    EXPECT_EQ(state(8, &status), 1u);
    ASSERT_EQ(Method(KSMETHOD_BDA_COMMIT_CHANGES), STATUS_SUCCESS);
    EXPECT_EQ(state(4, &status), 0u);
}

// A node property sent to the filter itself (no pin carried it) reaches the stick through the
// filter.
TEST_F(TuningTest, NodePropertyWithoutAPinFindsTheStickThroughTheFilter) {
    ASSERT_EQ(app->Filter()->SetULong(KSPROPSETID_BdaFrequencyFilter,
                                      KSPROPERTY_BDA_RF_TUNER_FREQUENCY, 754000, app->TunerNode()),
              STATUS_SUCCESS);
    EXPECT_EQ(GetTuner(KSPROPERTY_BDA_RF_TUNER_FREQUENCY), 754000u);
    ULONG locked = 7;
    EXPECT_EQ(app->Filter()->GetULong(KSPROPSETID_BdaSignalStats, KSPROPERTY_BDA_SIGNAL_LOCKED,
                                      &locked, app->DemodulatorNode()),
              STATUS_SUCCESS);
    EXPECT_EQ(locked, 0u);
}

// What an application reads after a locked tune: the lock at once; strength and quality from the
// status reports that follow the stream's restart (the first two of them are passed over), and
// a locked stick without a fresh report shows 69 and 30.
TEST_F(TuningTest, SignalStatisticsComeFromTheReportsAfterTheRestart) {
    ASSERT_EQ(app->Tune(474000).Status(), STATUS_SUCCESS);
    host::BdaSignalReading signal = app->ReadSignal();
    EXPECT_EQ(signal.locked, 1u);
    EXPECT_EQ(signal.present, 1u);
    EXPECT_EQ(signal.strength, 69u);
    EXPECT_EQ(signal.quality, 30u);
    // Strength 0x1F05 and quality 105: 85 and 70 once a third report has arrived.
    for (int i = 0; i < 3; ++i)
        stack->Stick().QueueInterruptReport({0xBB, 0, 1, 0x05, 105, 0x1F, 0});
    stack->System().WaitForPnpIdle();
    signal = app->ReadSignal();
    EXPECT_EQ(signal.strength, 85u);
    EXPECT_EQ(signal.quality, 70u);
    EXPECT_EQ(signal.locked, 1u);
    // Read once, the figures are consumed.
    signal = app->ReadSignal();
    EXPECT_EQ(signal.strength, 69u);
    EXPECT_EQ(signal.quality, 30u);
}

}  // namespace
}  // namespace bda_test
