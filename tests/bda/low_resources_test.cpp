// Channel changes while about one in twenty of the driver's allocations and request packets fail,
// as Driver Verifier's low resources simulation makes them: nothing crashes or leaks, a change
// that fails says so to the application, and once the pool returns the stream comes back whole.
#include <gtest/gtest.h>

#include <memory>

#include "platform/host/clock.h"
#include "platform/host/kernel_errors.h"
#include "platform/host/ks_services.h"
#include "platform/host/pool_accounting.h"
#include "platform/pool.h"
#include "receiver_stack.h"
#include "sim/ts_checker.h"

namespace bda_test {
namespace {

constexpr int kChanges = 12;
constexpr uint64_t kSeed = 18;

struct Outcome {
    size_t failedTunes = 0;  // the tune told the application it failed
    size_t unlocked = 0;     // the tune went through, the signal statistics show no lock
    size_t withFrames = 0;   // frames arrived on the channel
    size_t silent = 0;       // success and lock reported, and yet no frame
};

class LowResources : public ::testing::TestWithParam<sim::StreamTransfer> {};

INSTANTIATE_TEST_SUITE_P(BothTransfers, LowResources,
                         ::testing::Values(sim::StreamTransfer::Bulk,
                                           sim::StreamTransfer::Isochronous),
                         [](const auto& info) {
                             return info.param == sim::StreamTransfer::Bulk ? "Bulk" : "Iso";
                         });

TEST_P(LowResources, ChannelChangesFailOpenlyAndTheStreamReturnsWithThePool) {
    StackOptions options;
    options.transfer = GetParam();
    options.airStream = true;
    const std::vector<sim::Transmitter> channels = options.air.transmitters;
    ASSERT_GE(channels.size(), 2u);
    auto stack = std::make_unique<ReceiverStack>(std::move(options));
    host::ClearKernelErrors();
    Outcome outcome;
    {
        host::BdaReceiverApplication app(stack->Device(), 16);
        ASSERT_EQ(app.Open(), STATUS_SUCCESS);
        ASSERT_EQ(app.Run(), STATUS_SUCCESS);
        host::SimulateLowResources(20, kSeed, {kDriverPoolTag, host::kIrpPoolTag});
        for (int change = 0; change < kChanges; ++change) {
            const uint64_t before = app.Frames().FramesCompleted();
            const host::BdaTuneResult tune =
                app.Tune(channels[change % channels.size()].frequencyKHz);
            host::AdvanceVirtualTime(50 * 10000);
            if (tune.Status() != STATUS_SUCCESS) {
                ++outcome.failedTunes;
                continue;
            }
            const host::BdaSignalReading signal = app.ReadSignal();
            if (signal.status != STATUS_SUCCESS || signal.locked == 0) {
                ++outcome.unlocked;
                continue;
            }
            if (app.Frames().WaitForFrames(before + 2, 3000)) {
                ++outcome.withFrames;
            } else {
                ++outcome.silent;
            }
            (void)app.Frames().Take();
        }
        // The pool returns: the next change brings a stream that is whole again.
        host::SimulateLowResources(0, 0, {});
        const auto counts = host::LowResourcesCounts();
        size_t failed = 0;
        for (const auto& [tag, count] : counts) failed += count.failed;
        EXPECT_GT(failed, 0u) << "the simulation failed nothing";
        (void)app.Frames().Take();
        ASSERT_EQ(app.Tune(channels[0].frequencyKHz).Status(), STATUS_SUCCESS);
        host::AdvanceVirtualTime(50 * 10000);
        const uint64_t before = app.Frames().FramesCompleted();
        ASSERT_TRUE(app.Frames().WaitForFrames(before + 3, 10000));
        const auto frames = app.Frames().Take();
        sim::TsChecker checker({.wholePacketFrames = false, .checkCounting = false});
        for (size_t i = frames.size() - 3; i < frames.size(); ++i)
            checker.AddFrame(frames[i].data(), frames[i].size());
        EXPECT_EQ(checker.Report().syncErrors, 0u) << checker.Describe();
        ASSERT_EQ(app.Stop(), STATUS_SUCCESS);
        EXPECT_EQ(app.Frames().Violations(), 0u);
    }
    EXPECT_EQ(outcome.silent, 0u) << "a change reported success and lock and brought no frame";
    EXPECT_EQ(outcome.failedTunes + outcome.unlocked + outcome.withFrames,
              static_cast<size_t>(kChanges));
    RecordProperty("failedTunes", static_cast<int>(outcome.failedTunes));
    RecordProperty("withFrames", static_cast<int>(outcome.withFrames));
    EXPECT_EQ(host::KsFiltersOpen(), 0u);
    stack.reset();
    EXPECT_EQ(kvstest::HostSystem::DriverPoolBytes(), 0u);
    EXPECT_EQ(kvstest::HostSystem::PacketPoolBlocks(), 0u);
    EXPECT_TRUE(host::KernelErrors().empty());
}

}  // namespace
}  // namespace bda_test
