// The stream as an application receives it: pins created and running, a tune committed, frames
// from the output pin; then the pins stop and close, and the filter closes.
#include <gtest/gtest.h>

#include "platform/host/ks_services.h"
#include "receiver_stack.h"
#include "sim/ts_checker.h"

namespace bda_test {
namespace {

TEST(StreamThroughPins, FramesArriveAfterTheCommitAndStopWithTheAntenna) {
    StackOptions options;
    options.transfer = sim::StreamTransfer::Bulk;
    options.airStream = true;
    auto stack = std::make_unique<ReceiverStack>(std::move(options));
    {
        host::BdaReceiverApplication app(stack->Device(), 8);
        ASSERT_EQ(app.Open(), STATUS_SUCCESS);
        EXPECT_EQ(app.FrameBytes(), 96256u);
        ASSERT_EQ(app.Run(), STATUS_SUCCESS);
        // Nothing arrives before the tune: the demodulator is not locked.
        EXPECT_EQ(app.Frames().FramesCompleted(), 0u);
        ASSERT_EQ(app.Tune(474000).Status(), STATUS_SUCCESS);
        // The tune's last reset makes the demodulator acquire again: its detection and lock
        // times pass on the virtual clock.
        host::AdvanceVirtualTime(50 * 10000);
        ASSERT_TRUE(app.Frames().WaitForFrames(3, 10000));
        const auto frames = app.Frames().Take(3);
        ASSERT_EQ(frames.size(), 3u);
        // The frames are one transport stream, found from its first packet start on.
        sim::TsChecker checker({.wholePacketFrames = false, .checkCounting = false});
        for (const auto& frame : frames) {
            ASSERT_EQ(frame.size(), 96256u);
            checker.AddFrame(frame.data(), frame.size());
        }
        EXPECT_EQ(checker.Report().syncErrors, 0u) << checker.Describe();
        EXPECT_LT(checker.Report().skippedBytes, 188u) << checker.Describe();
        EXPECT_GE(checker.Report().packets, 3 * 512u - 2);
        ASSERT_EQ(app.Stop(), STATUS_SUCCESS);
        stack->System().WaitForPnpIdle();
        const uint64_t stopped = app.Frames().FramesCompleted();
        stack->System().WaitForPnpIdle();
        EXPECT_EQ(app.Frames().FramesCompleted(), stopped);
        EXPECT_EQ(app.Frames().Violations(), 0u);
    }
    EXPECT_EQ(host::KsFiltersOpen(), 0u);
    stack.reset();
    EXPECT_EQ(kvstest::HostSystem::DriverPoolBytes(), 0u);
}

}  // namespace
}  // namespace bda_test
