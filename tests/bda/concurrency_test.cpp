// What several threads reach at once: commits on two filters of the same stick, a pin closed
// while a request on it is still inside the driver, pin state changes from two threads, and node
// values set and read from two threads. Each test fails when the lock or count that serialises
// its path is taken away (some only under ThreadSanitizer).
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <thread>

#include "bridge/signal_status.h"
#include "receiver_stack.h"
#include "usb/cqzusb.h"

namespace bda_test {
namespace {

// A commit runs its whole tune and stream restart under the device I/O mutex: while one commit is
// held inside its restart (the stick is stopped at its PID table load), another commit must not
// reach any of its steps - here visible as the lock flag, which a commit outside the window
// clears at once.
TEST(Concurrency, CommitsOnTwoFiltersDoNotInterleave) {
    ReceiverStack stack;
    host::BdaReceiverApplication first(stack.Device());
    host::BdaReceiverApplication second(stack.Device());
    ASSERT_EQ(first.Open(), STATUS_SUCCESS);
    ASSERT_EQ(second.Open(), STATUS_SUCCESS);
    ASSERT_EQ(first.Tune(474000).Status(), STATUS_SUCCESS);
    ASSERT_EQ(GetLockFlag(), 1);

    // The same channel again: no chip is touched, the commit goes straight to its PID table load,
    // where the stick holds it.
    stack.Gate().HoldAt([](const Bytes& frame) { return !frame.empty() && frame[0] == 0x03; });
    std::thread held([&] { EXPECT_EQ(first.Tune(474000).Status(), STATUS_SUCCESS); });
    ASSERT_TRUE(stack.Gate().WaitHeld());

    std::thread other([&] { EXPECT_EQ(second.Tune(900000).Status(), STATUS_SUCCESS); });
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    EXPECT_EQ(GetLockFlag(), 1) << "the second commit ran while the first was inside its restart";

    stack.Gate().Release();
    held.join();
    other.join();
    // The later commit was outside the window: parked, no lock, stream stopped.
    EXPECT_EQ(GetLockFlag(), 0);
    EXPECT_EQ(TunerKHz(stack.tuner), 458000u);
}

// A request that is inside a handler keeps its pin: closing the pin waits until the request has
// come back. The unlocked strength query is held at its command 06 (after its register reads).
TEST(Concurrency, PinCloseWaitsForARequestInsideTheDriver) {
    ReceiverStack stack;
    host::BdaReceiverApplication app(stack.Device());
    ASSERT_EQ(app.Open(), STATUS_SUCCESS);
    stack.Gate().HoldAt([](const Bytes& frame) { return frame == Bytes{0x06, 0x00}; });
    ULONG strength = 0;
    std::thread query([&] {
        EXPECT_EQ(
            app.InputPin()->GetULong(KSPROPSETID_BdaSignalStats, KSPROPERTY_BDA_SIGNAL_STRENGTH,
                                     &strength, app.TunerNode()),
            STATUS_SUCCESS);
    });
    ASSERT_TRUE(stack.Gate().WaitHeld());
    std::atomic<bool> closed{false};
    std::thread close([&] {
        EXPECT_EQ(app.InputPin()->Close(), STATUS_SUCCESS);
        closed = true;
    });
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    EXPECT_FALSE(closed) << "the pin closed under a request that was still inside the driver";
    stack.Gate().Release();
    query.join();
    close.join();
    EXPECT_TRUE(closed);
    EXPECT_EQ(strength, 20u);
}

// State changes of one pin from two threads go one at a time (the filter's control mutex): the
// pin ends in the state the driver was last told, and the stream follows it.
TEST(Concurrency, PinStateChangesFromTwoThreadsEndConsistent) {
    ReceiverStack stack;
    host::BdaReceiverApplication app(stack.Device());
    ASSERT_EQ(app.Open(), STATUS_SUCCESS);
    host::KsPinHandle* antenna = app.InputPin();
    auto toggle = [antenna](KSSTATE last) {
        for (int i = 0; i < 40; ++i) {
            EXPECT_EQ(antenna->SetState(i % 2 == 0 ? KSSTATE_RUN : KSSTATE_STOP), STATUS_SUCCESS);
        }
        EXPECT_EQ(antenna->SetState(last), STATUS_SUCCESS);
    };
    std::thread first(toggle, KSSTATE_PAUSE);
    std::thread second(toggle, KSSTATE_PAUSE);
    first.join();
    second.join();
    DeviceContext* context = stack.Hosted()->Context();
    EXPECT_EQ(antenna->State(), KSSTATE_PAUSE);
    EXPECT_EQ(context->antennaPinState, static_cast<ULONG>(KSSTATE_PAUSE));
    // Pause after run leaves the reader running; stop ends it.
    EXPECT_EQ(antenna->SetState(KSSTATE_STOP), STATUS_SUCCESS);
    EXPECT_EQ(stack.Hosted()->Transport()->streamActive, 0u);
}

// Node values are stored and read whole while other threads set them.
TEST(Concurrency, NodeValuesSetAndReadFromSeveralThreads) {
    ReceiverStack stack;
    host::BdaReceiverApplication first(stack.Device());
    host::BdaReceiverApplication second(stack.Device());
    ASSERT_EQ(first.Open(), STATUS_SUCCESS);
    ASSERT_EQ(second.Open(), STATUS_SUCCESS);
    auto setter = [](host::BdaReceiverApplication* app, ULONG base) {
        for (ULONG i = 0; i < 100; ++i) {
            EXPECT_EQ(app->InputPin()->SetULong(KSPROPSETID_BdaFrequencyFilter,
                                                KSPROPERTY_BDA_RF_TUNER_FREQUENCY, base + i,
                                                app->TunerNode()),
                      STATUS_SUCCESS);
        }
    };
    std::thread a(setter, &first, 500000);
    std::thread b(setter, &second, 600000);
    for (int i = 0; i < 100; ++i) {
        ULONG value = 0;
        ASSERT_EQ(first.InputPin()->GetULong(KSPROPSETID_BdaFrequencyFilter,
                                             KSPROPERTY_BDA_RF_TUNER_FREQUENCY, &value,
                                             first.TunerNode()),
                  STATUS_SUCCESS);
        EXPECT_TRUE(value == 0 || (value >= 500000 && value < 500100) ||
                    (value >= 600000 && value < 600100))
            << value;
    }
    a.join();
    b.join();
}

}  // namespace
}  // namespace bda_test
