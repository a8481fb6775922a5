// Two applications commit on two filters of the same stick. A commit runs its whole tune and
// stream restart under the device I/O mutex: while one commit is held inside its restart (the
// stick is stopped at its PID table load), another commit must not reach any of its steps - here
// visible as the lock flag, which a commit outside the window clears at once.
#include <gtest/gtest.h>

#include <chrono>
#include <thread>

#include "bridge/signal_status.h"
#include "receiver_stack.h"

namespace bda_test {
namespace {

TEST(CommitRace, CommitsOnTwoFiltersDoNotInterleave) {
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

}  // namespace
}  // namespace bda_test
