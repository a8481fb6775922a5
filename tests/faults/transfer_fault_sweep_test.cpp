// A request that is never answered, fails or moves less than asked, at the k-th request of a
// start, of the firmware-download boot and of a tune, for every k until the sequence completes.
// Afterwards the same stick must tune: a reply lost on the way must not shift the channel's
// replies against its frames. Nothing of the driver is left once the stick is removed.
#include <gtest/gtest.h>

#include <cstdio>

#include "fault_rig.h"

namespace faulttest {
namespace {

std::string Describe(Fault fault, const char* sequence, size_t k) {
    return std::string(FaultName(fault)) + " request " + std::to_string(k) + " of " + sequence;
}

class TransferFault : public testing::TestWithParam<Fault> {};

INSTANTIATE_TEST_SUITE_P(Kinds, TransferFault,
                         testing::Values(Fault::Hang, Fault::Fail, Fault::Shorten),
                         [](const testing::TestParamInfo<Fault>& info) {
                             return info.param == Fault::Hang   ? "NeverAnswered"
                                    : info.param == Fault::Fail ? "Failed"
                                                                : "Short";
                         });

TEST_P(TransferFault, AtEveryRequestOfStart) {
    const Fault fault = GetParam();
    const size_t cases = Sweep(32, [&](size_t k) {
        Receiver r(kKind1, true);
        r.Arm(fault, k);
        r.Plug();
        const bool fired = r.Fired();
        const std::string what = Describe(fault, "start", k);
        ExpectUsableAfterwards(r, what);
        r.UnplugAndCheckClean(what);
        return fired;
    });
    std::printf("[ sweep    ] %s request during start: %zu cases\n", FaultName(fault), cases);
    EXPECT_GE(cases, 6u);
}

TEST_P(TransferFault, AtEveryRequestOfTheBoot) {
    const Fault fault = GetParam();
    const size_t cases = Sweep(400, [&](size_t k) {
        Receiver r(kKind2, false);
        r.Arm(fault, k);
        r.Plug();
        const bool fired = r.Fired();
        const std::string what = Describe(fault, "the boot", k);
        ExpectUsableAfterwards(r, what);
        r.UnplugAndCheckClean(what);
        return fired;
    });
    std::printf("[ sweep    ] %s request during the download boot: %zu cases\n", FaultName(fault),
                cases);
    EXPECT_GE(cases, 150u);
}

// One stick for the whole sweep: each faulted tune is followed by a tune that must lock.
TEST_P(TransferFault, AtEveryRequestOfATune) {
    const Fault fault = GetParam();
    Receiver r(kKind1, true);
    r.Plug();
    const size_t cases = Sweep(1000, [&](size_t k) {
        r.Arm(fault, k);
        const bool locked = r.Tune();
        const bool fired = r.Fired();
        const std::string what = Describe(fault, "a tune", k);
        if (locked) {
            EXPECT_TRUE(r.DemodSawLock()) << what;
        }
        ExpectUsableAfterwards(r, what);
        return fired;
    });
    r.UnplugAndCheckClean(std::string(FaultName(fault)) + " requests during tunes");
    std::printf("[ sweep    ] %s request during a tune: %zu cases\n", FaultName(fault), cases);
    EXPECT_GE(cases, 200u);
}

}  // namespace
}  // namespace faulttest
